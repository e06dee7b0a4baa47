// What both transfers share: the internet handles, stored and closed under
// the lock a cancel's cut takes, the cut itself, the output file (opened,
// emptied, moved in, marked, written), byte counts as servers send them,
// the choice of protocol, and the watchdog that cuts a stalled try.
#include "transfer.h"

// How long a try may wait for the network without a byte arriving. A test
// image may shorten it through its environment.
#ifdef STUB_STALL_SEAM
static DWORD StallLimit() {
    char text[8];
    return GetEnvironmentVariableA("STUB_STALL_SECONDS", text, sizeof(text))
               ? ParseDecimal(text, 0) * 1000
               : 60000;
}
#define stallLimit StallLimit()
#else
enum { stallLimit = 60000 };
#endif

static DWORD Fail(TransferState* state, DWORD code) {
    state->errorCode = code;
    return 0;
}

DWORD LastErrorOr(DWORD fallback) {
    DWORD code = GetLastError();
    return code ? code : fallback;
}

// The internet handles are closed by the transfer, by the run at its end
// and by a confirmed cancel on the progress thread. Every close is made
// under one lock and clears its field, so the two threads never close the
// same handle, nor one whose parent the other has closed (closing a parent
// frees its children with it).
static void CloseField(TransferState* state, HINTERNET* field) {
    LockHandles(state);
    if (*field) InternetCloseHandle(*field);
    *field = 0;
    UnlockHandles(state);
}

HINTERNET KeepHandle(TransferState* state, HINTERNET* field, HINTERNET handle) {
    LockHandles(state);
    if (state->stopRequested) {
        // A session the cut found no trace of is closed here; a handle opened
        // on the session went with the session's close (or the cut is about
        // to take it): closed again later, it could be another handle by then.
        if (field == &state->internetHandle && handle) InternetCloseHandle(handle);
        handle = 0;
        SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
    }
    *field = handle;
    UnlockHandles(state);
    return handle;
}

void CloseRequest(TransferState* state) {
    CloseField(state, &state->requestHandle);
}

void CloseSession(TransferState* state) {
    CloseField(state, &state->internetHandle);
}

void CloseChild(TransferState* state, HINTERNET child) {
    LockHandles(state);
    // Gone with its parent when a cancel has closed that.
    if (child && state->requestHandle) InternetCloseHandle(child);
    UnlockHandles(state);
}

int CutTransfer(TransferState* state) {
    LockHandles(state);
    HINTERNET session = state->internetHandle;
    if (session) {
        // Closing a handle from here makes the transfer's blocking call on
        // it return at once, where the client supports that.
        if (state->requestHandle) InternetCloseHandle(state->requestHandle);
        InternetCloseHandle(session);
    }
    state->requestHandle = state->internetHandle = 0;
    UnlockHandles(state);
    return session != 0;
}

// The request (or FTP connection) first, then its session.
void CloseInternet(TransferState* state) {
    CloseRequest(state);
    CloseSession(state);
}

void CloseOutput(TransferState* state) {
    if (HasHandle(state->fileHandle)) CloseHandle(state->fileHandle);
    state->fileHandle = 0;
}

int EmptyOutput(TransferState* state) {
    SeekOutput(state, 0);
    return SetEndOfFile(state->fileHandle);
}

void SeekOutput(TransferState* state, DWORD at) {
    // With its high word, so that a place from 2 GiB on is not read as a
    // negative distance.
    LONG high = 0;
    SetFilePointer(state->fileHandle, at, &high, FILE_BEGIN);  // within the file
}

int SetOutputAttributes(TransferState* state, const char* fileName, DWORD attributes) {
    if (SetFileAttributesA(fileName, attributes)) return 1;
    // The Windows 95 family refuses while the file is open without
    // sharing: closed, set, and opened again at the same place.
    LONG high = 0;
    DWORD at = SetFilePointer(state->fileHandle, 0, &high, FILE_CURRENT);
    CloseOutput(state);
    int set = SetFileAttributesA(fileName, attributes);
    state->fileHandle = CreateFileA(fileName, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING,
                                    0, 0);
    if (state->fileHandle == INVALID_HANDLE_VALUE) return 0;
    SeekOutput(state, at);
    return set;
}

// The session, then the output file: kept when resuming (its position past
// the kept bytes, their count in kept), emptied otherwise; hidden either way.
int OpenTransfer(TransferState* state, const char* fileName, DWORD resume, DWORD* kept) {
    *kept = 0;
    if (!KeepHandle(state, &state->internetHandle, OpenInternetSession()))
        return Fail(state, GetLastError());
    // The client's own limit where it keeps one (Windows, for the session's
    // requests and connections); refused or ignored (Wine), the watchdog
    // stands in, so its result is not checked.
    DWORD limit = stallLimit;
    InternetSetOptionA(state->internetHandle, INTERNET_OPTION_RECEIVE_TIMEOUT, &limit, 4);
    // Marked by a run that could not store its record (attributes that
    // cannot be read count as the mark): the file goes, and its mark with
    // it. Read as well as written, so a continuation can compare the kept
    // bytes; hidden from its creation on.
    DWORD unrecorded = GetFileAttributesA(fileName) & FILE_ATTRIBUTE_SYSTEM;
    if (unrecorded) DeleteFileA(fileName);  // one that stays is emptied below
    HANDLE file = state->fileHandle =
        CreateFileA(fileName, GENERIC_READ | GENERIC_WRITE, 0, 0,
                    resume ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, 0);
    if (file == INVALID_HANDLE_VALUE) return Fail(state, GetLastError());
    if (resume) {
        // The position goes to the end, with its high word: from 2 GiB on
        // the low word alone would fail, and the rest would be written over
        // the start of the file.
        LONG high = 0;
        SetLastError(0);
        DWORD size = SetFilePointer(file, 0, &high, FILE_END);
        if (size == INVALID_SET_FILE_POINTER && GetLastError()) return Fail(state, GetLastError());
        // Byte counts stop below 4 GiB: a larger file cannot be continued,
        // nor one that no record names.
        if (high || unrecorded) {
            if (!EmptyOutput(state)) return Fail(state, GetLastError());
            size = 0;
        }
        *kept = size;
    }
    // Only now may a mark go: the file it warned of is empty.
    SetOutputAttributes(state, fileName, FILE_ATTRIBUTE_HIDDEN);  // a mark that stays costs a restart
    if (state->fileHandle == INVALID_HANDLE_VALUE) return Fail(state, GetLastError());
    return 1;
}

DWORD TakeData(TransferState* state, const char* data, DWORD count, DWORD* overlap,
               DWORD* written) {
    while (count && *overlap) {
        char kept[512];
        DWORD piece = count < *overlap ? count : *overlap, got = 0;
        if (piece > sizeof(kept)) piece = sizeof(kept);
        if (!ReadFile(state->fileHandle, kept, piece, &got, 0)) return LastErrorOr(ERROR_READ_FAULT);
        if (got != piece) return ERROR_INVALID_DATA;
        for (DWORD i = 0; i < piece; i++)
            if (kept[i] != data[i]) return ERROR_INVALID_DATA;
        data += piece;
        count -= piece;
        *overlap -= piece;
    }
    while (count) {
        DWORD wrote = 0;
        if (!WriteFile(state->fileHandle, data, count, &wrote, 0) || !wrote)
            return LastErrorOr(ERROR_WRITE_FAULT);
        data += wrote;
        count -= wrote;
        *written += wrote;
    }
    return 0;
}

int ParseLength(const char* text, DWORD* length) {
    DWORD value = 0, digits = 0;
    for (; (BYTE)(*text - '0') <= 9; text++, digits++) {
        DWORD digit = *text - '0';
        if (value > (0xFFFFFFFFu - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    while (*text == ' ' || *text == '\r' || *text == '\n') text++;
    *length = value;
    return digits && !*text;
}

int RecordTransfer(TransferState* state, const char* fileName, DWORD date, DWORD time,
                   DWORD size) {
    // The record is shared by the machine's users and may not be writable
    // for this one; an older record left there would vouch for this file
    // next time. The mark stays whatever becomes of this run, even a killed
    // one, until the next run opens the file and starts it afresh.
    if (SaveResumeRecord(&theSession, fileName, date, time, size) ||
        SetOutputAttributes(state, fileName, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
        return 1;
    return Fail(state, GetLastError());
}

DWORD DownloadFile(TransferState* state, const char* url, const char* fileName, DWORD resume) {
    // After a confirmed cancel nothing more is fetched: not even a connection.
    if (state->stopRequested) return 0;
    // Compare no further than the URL goes: a shorter URL is not FTP.
    int length = 0;
    while (length < 3 && url[length]) length++;
    if (length == 3 &&
        CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, url, 3, "FTP", 3) == CSTR_EQUAL)
        return DownloadFtp(state, url, fileName, resume);
    return DownloadHttp(state, url, fileName, resume);
}

void AwaitNetwork() {
    theState.waitStart = GetTickCount() | 1;
}

void ArriveNetwork() {
    TransferState* state = &theState;
    DWORD error = GetLastError(), me = GetCurrentThreadId();
    LockHandles(state);
    DWORD cut = state->worker && state->worker != me;
    if (!cut) state->waitStart = 0;
    UnlockHandles(state);
    // Cut while it waited: the run has closed the file and may have opened
    // it again for the next try, or started it; what came is dropped.
    if (cut) ExitThread(0);
    SetLastError(error);
}

static const char* tryUrl;
static const char* tryFile;
static DWORD tryResume;

static DWORD WINAPI TryThread(LPVOID parameter) {
    TransferState* state = (TransferState*)parameter;
    state->worker = GetCurrentThreadId();
    return DownloadFile(state, tryUrl, tryFile, tryResume);
}

DWORD WatchedDownload(TransferState* state, const char* url, const char* fileName,
                      DWORD resume) {
    tryUrl = url;
    tryFile = fileName;
    tryResume = resume;
    state->waitStart = 0;
    DWORD result = 0;
    HANDLE thread = CreateThread(0, 0, TryThread, state, 0, 0);
    // Without a thread of its own the try runs here, unwatched.
    if (!thread) return TryThread(state);
    for (;;) {
        if (WaitForSingleObject(thread, 200) != WAIT_TIMEOUT) {
            GetExitCodeThread(thread, &result);  // failing, the try counts as failed
            break;
        }
        // A wait is cut only while it lasts: one that has just returned
        // cleared its mark under the lock, and goes on.
        LockHandles(state);
        DWORD since = state->waitStart;
        // The mark carries its low bit set; so must the clock it is taken
        // from, or a wait marked in this very tick reads as 2^32 - 1 ms old.
        int stalled = since && (GetTickCount() | 1) - since >= stallLimit && !state->stopRequested;
        // From now on the try's thread is nobody's: no thread but this one
        // has its id.
        if (stalled) state->worker = GetCurrentThreadId();
        UnlockHandles(state);
        if (stalled) {
            CutTransfer(state);  // wakes the wait where the client allows it
            state->errorCode = ERROR_INTERNET_TIMEOUT;
            state->errorIsStatus = 0;
            break;
        }
    }
    CloseHandle(thread);
    return result;
}
