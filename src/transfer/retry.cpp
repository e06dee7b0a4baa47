// Retries within the run: a download that failed in a way another try may
// cure is continued after a wait, as many times as the distribution allows.
#include "transfer.h"
#include "../progress/progress.h"

DWORD retryLimit;

DWORD ParseRetries(const char* text, DWORD* count) {
    DWORD value = 0;
    for (; *text; text++) {
        DWORD digit = (BYTE)(*text - '0');
        if (digit > 9) return 0;
        value = value * 10 + digit;
        if (value > maxRetries) return 0;
    }
    *count = value;
    return 1;
}

// The second server's URL (TEXT 2012): empty when the distribution has none.
static const char* fallbackUrl;

DWORD LoadRetries() {
    fallbackUrl = LoadTextResource(IDT_FALLBACK_URL);
    return ParseRetries(LoadTextResource(IDT_RETRIES), &retryLimit);
}

int WorthRetrying(DWORD code, DWORD isStatus, DWORD reply) {
    if (isStatus) return ServerBusy(code);
    // An FTP server's reply of the 4xx range says: not now, try again.
    if (code == ERROR_INTERNET_EXTENDED_ERROR) return reply - 400 < 100;
    // More data than the FTP server's SIZE: the file may have grown in
    // between (the caller allows this one retry only).
    if (code == ERROR_INVALID_DATA) return 1;
    // The client's time-out, name not resolved, cannot connect, connection
    // aborted or reset (12002, 12007, 12029, 12030, 12031); and the same
    // from the sockets below it, which the body's reads report as they are:
    // network down, unreachable or reset, connection aborted or reset,
    // timed out, refused, host down or unreachable (10050 to 10065).
    if (code - 12000 < 32) return 0xE0000084 >> (code - 12000) & 1;
    return code - 10050 < 16 && 0xCC1F >> (code - 10050) & 1;
}

// The status line's text while waiting; rewritten each second, a second
// after the dialog was asked to show it.
static char countdown[64];

// A new try, at this server or the next: the usual status, figures from
// now, no failure left over to decide on or report.
static void RestartFigures(TransferState* state) {
    PostStatus(state, "Downloading installation files...");
    state->startTick = GetTickCount();
    state->errorCode = state->errorIsStatus = state->retryAfter = state->replyCode = 0;
}

// Waits seconds, counting down on the status line; 0 as soon as the user
// has cancelled.
static DWORD WaitBeforeRetry(TransferState* state, DWORD seconds) {
    state->showNow = 1;
    for (; seconds; seconds--) {
        wsprintfA(countdown, "Connection lost. Trying again in %lu seconds...", seconds);
        PostStatus(state, countdown);
        for (DWORD step = 0; step < 10; step++) {
            if (state->stopRequested) return 0;
            Sleep(100);
        }
    }
    return !state->stopRequested;
}

// A failure of the server or of the way to it, which another server may not
// have: the client's and the sockets' errors, an HTTP status, and data that
// does not continue what was kept. A local failure (the disk, memory) would
// fail the same way with any server.
int ServerFailure(DWORD code, DWORD isStatus) {
    return isStatus || code - 10000 < 3000 || code == ERROR_INVALID_DATA;
}

// One server's download, retried as the distribution allows.
static DWORD FetchFrom(TransferState* state, const char* url, const char* fileName,
                       DWORD resume) {
    DWORD wait = 2, overruns = 0;
    for (DWORD tries = 0;; tries++) {
        DWORD ok = WatchedDownload(state, url, fileName, resume);
        if (ok || state->stopRequested) return ok;
        // What a failed try leaves open is closed as at the run's end, so
        // the next try can open the file and no stale handle outlives it.
        CloseInternet(state);
        if (HasHandle(state->fileHandle)) CloseHandle(state->fileHandle);
        state->fileHandle = 0;
        DWORD code = state->errorCode;
        if (tries >= retryLimit || !WorthRetrying(code, state->errorIsStatus, state->replyCode) ||
            (code == ERROR_INVALID_DATA && overruns++))
            return 0;
        DWORD seconds = state->retryAfter - 1 < 60 ? state->retryAfter : wait;
        wait = wait < 30 ? wait * 2 : 60;
        if (!WaitBeforeRetry(state, seconds)) return 0;
        // A retry is a continuation like a new run's; its figures start now.
        RestartFigures(state);
        resume = 1;
    }
}

DWORD FetchSetup(TransferState* state, const char* fileName, DWORD resume) {
    DWORD ok = FetchFrom(state, GetDownloadUrl(), fileName, resume);
    if (ok || state->stopRequested || !*fallbackUrl ||
        !ServerFailure(state->errorCode, state->errorIsStatus))
        return ok;
    // The second server continues the kept bytes only where the record
    // vouches for its file, as any continuation.
    RestartFigures(state);
    return FetchFrom(state, fallbackUrl, fileName, 1);
}
