// A build without the SHA-256 check (STUB_SHA256_CHECK=OFF), made only to
// measure what the check costs. It cannot honour a pin, so a distribution
// that carries one is refused rather than started unchecked.
#include "handover.h"

DWORD setupHashPinned;

DWORD LoadSetupHash() {
    return !LoadTextResource(IDT_SETUP_SHA256)[0];
}

HANDLE TakeDownload(InstallSession*, TransferState* state, const char* downloadFile,
                    const char* launchFile, DWORD ok) {
    if (!ok || state->stopRequested || state->doneBytes < state->totalBytes)
        return INVALID_HANDLE_VALUE;
    return HoldDownload(state, downloadFile, launchFile);
}
