// A build without retries within the run (STUB_RETRY=OFF), made only to
// measure what they cost. It cannot honour a retry count or a second server,
// so a distribution that carries one is refused rather than run without it.
#include "transfer.h"

DWORD LoadRetries() {
    return !LoadTextResource(IDT_RETRIES)[0] && !LoadTextResource(IDT_FALLBACK_URL)[0];
}

DWORD FetchSetup(TransferState* state, const char* fileName, DWORD resume) {
    return WatchedDownload(state, GetDownloadUrl(), fileName, resume);
}
