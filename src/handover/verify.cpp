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

DWORD HashFile(TransferState* state, HANDLE file, BYTE digest[32]) {
    enum { chunk = 65536 };
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
    return result;
}

// A file that fails the check goes, with its record, so that nothing of it
// is ever continued or started.
static void Discard(InstallSession* session, const char* fileName) {
    DeleteFileA(fileName);  // one that stays makes the next rename fail and say why
    DeleteResumeRecord(session);  // one left behind is replaced by the second download
}

HANDLE TakeDownload(InstallSession* session, TransferState* state, const char* downloadFile,
                    const char* launchFile, DWORD ok) {
    // A wrong first file is mostly a stale partial file that was continued,
    // or a copy a proxy cut or changed: it is fetched once more, from zero.
    // The file is checked where it is held, so the checked file is the one
    // started.
    for (DWORD attempt = 0;; attempt++) {
        if (!ok || state->stopRequested || state->doneBytes < state->totalBytes)
            return INVALID_HANDLE_VALUE;
        HANDLE held = HoldDownload(state, downloadFile, launchFile);
        if (held == INVALID_HANDLE_VALUE || !setupHashPinned) return held;
        PostStatus(state, "Checking installation files...");
        BYTE digest[32];
        if (!HashFile(state, held, digest)) {
            // Cancelled or unreadable: kept as it is for the next run.
            ReturnDownload(held, launchFile, downloadFile);
            return INVALID_HANDLE_VALUE;
        }
        DWORD differ = 0;
        for (int i = 0; i < 32; i++) differ |= digest[i] ^ setupHash[i];
        if (!differ) return held;
        CloseHandle(held);
        Discard(session, launchFile);
        if (attempt) {
            state->errorCode = ERROR_INVALID_IMAGE_HASH;
            return INVALID_HANDLE_VALUE;
        }
        // A cancel confirmed during the check, or since, ends the run here.
        if (state->stopRequested) return INVALID_HANDLE_VALUE;
        // The dialog is gone when the first file came within its grace
        // period; the second one may take longer.
        UseProgressWindow(state);
        state->baseBytes = 0;
        PostStatus(state, "Downloading installation files...");
        ok = FetchSetup(state, downloadFile, 0);
    }
}
