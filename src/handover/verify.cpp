// The check of a finished download against the SHA-256 the distribution
// carries (TEXT 2010). Without one, nothing here changes the run.
#include "handover.h"
#include "../progress/progress.h"
#include "../transfer/transfer.h"

BYTE setupHash[32];
DWORD setupHashPinned;

DWORD ParseSha256(const char* text, BYTE digest[32]) {
    for (DWORD i = 0; i < 64; i++) {
        // The terminator fails like any other character that is no digit,
        // so nothing is read past the end of a short text.
        int value = HexValue(text[i]);
        if (value < 0) return 0;
        digest[i >> 1] = (BYTE)(digest[i >> 1] << 4 | value);
    }
    return text[64] == 0;
}

DWORD LoadSetupHash() {
    const char* text = LoadTextResource(IDT_SETUP_SHA256);
    if (!text[0]) return 1;
    setupHashPinned = ParseSha256(text, setupHash);
    return setupHashPinned;
}

#ifdef STUB_SEAMS
void (*SeamHashHook)(TransferState* state);
#endif

DWORD HashFile(TransferState* state, const char* fileName, BYTE digest[32]) {
    enum { chunk = 65536 };
    // Nobody writes to the file while it is read.
    HANDLE file = CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE) {
        state->errorCode = GetLastError();
        return 0;
    }
    DWORD result = 0;
    char* buffer = AllocBuffer(chunk);
    if (!buffer) state->errorCode = ERROR_NOT_ENOUGH_MEMORY;
    Sha256 hash;
    Sha256Start(&hash);
    while (buffer && !state->stopRequested) {
#ifdef STUB_SEAMS
        if (SeamHashHook) SeamHashHook(state);
#endif
        DWORD count = 0;
        if (!ReadFile(file, buffer, chunk, &count, 0)) {
            state->errorCode = GetLastError();
            break;
        }
        if (!count) {
            Sha256Finish(&hash, digest);
            result = 1;
            break;
        }
        Sha256Add(&hash, buffer, count);
    }
    FreeBuffer(buffer);
    CloseHandle(file);
    return result;
}

// A file that fails the check goes, with its record, so that nothing of it
// is ever continued or started.
static void Discard(InstallSession* session, const char* fileName) {
    DeleteFileA(fileName);  // one that stays is emptied by the next transfer
    DeleteResumeRecord(session);  // one left behind is replaced by the second download
}

DWORD VerifyDownload(InstallSession* session, TransferState* state, const char* fileName, DWORD ok) {
    if (!setupHashPinned) return ok;
    // A wrong first file is mostly a stale partial file that was continued,
    // or a copy a proxy cut or changed: it is fetched once more, from zero.
    for (DWORD attempt = 0;; attempt++) {
        if (!ok || state->stopRequested || state->doneBytes < state->totalBytes) return ok;
        PostStatus(state, "Checking installation files...");
        BYTE digest[32];
        if (!HashFile(state, fileName, digest)) return 0;
        DWORD differ = 0;
        for (int i = 0; i < 32; i++) differ |= digest[i] ^ setupHash[i];
        if (!differ) return ok;
        Discard(session, fileName);
        if (attempt) {
            state->errorCode = ERROR_INVALID_IMAGE_HASH;
            return 0;
        }
        // The dialog is gone when the first file came within its grace
        // period; the second one may take longer.
        if (IsWindow(state->dialogWindow)) {
            state->startTick = GetTickCount();
            state->totalBytes = 0;
            state->doneBytes = 0;
        } else {
            StartProgressWindow(state);
        }
        state->baseBytes = 0;
        PostStatus(state, "Downloading installation files...");
        ok = DownloadFile(state, GetDownloadUrl(), fileName, 0);
    }
}
