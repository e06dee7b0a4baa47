// HTTP download into the hidden output file, continuing a partial file with
// a byte range when the server still offers the same file.
#include "transfer.h"
#include "../progress/progress.h"

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

static void CloseSession(TransferState* state) {
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

static void CloseOutput(TransferState* state) {
    if (HasHandle(state->fileHandle)) CloseHandle(state->fileHandle);
    state->fileHandle = 0;
}

// Empties the output file by creating it anew; on failure the field keeps
// the invalid-handle value.
static int RecreateOutput(TransferState* state, const char* fileName) {
    CloseHandle(state->fileHandle);
    state->fileHandle = CreateFileA(fileName, GENERIC_WRITE, 0, 0, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN, 0);
    return state->fileHandle != INVALID_HANDLE_VALUE;
}

// The session, then the output file: kept when resuming (its position past
// the kept bytes, their count in kept), emptied otherwise; hidden either way.
int OpenTransfer(TransferState* state, const char* fileName, DWORD resume, DWORD* kept) {
    *kept = 0;
    if (!KeepHandle(state, &state->internetHandle, OpenInternetSession()))
        return Fail(state, GetLastError());
    HANDLE file = state->fileHandle = CreateFileA(fileName, GENERIC_WRITE, 0, 0,
                                                  resume ? OPEN_ALWAYS : CREATE_ALWAYS, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return Fail(state, GetLastError());
    // Marked by a run that could not store its record (attributes that
    // cannot be read count as the mark); setting them anew removes it.
    DWORD unrecorded = GetFileAttributesA(fileName) & FILE_ATTRIBUTE_SYSTEM;
    SetFileAttributesA(fileName, FILE_ATTRIBUTE_HIDDEN);
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
            SetFilePointer(file, 0, 0, FILE_BEGIN);  // position 0 cannot be refused
            if (!SetEndOfFile(file)) return Fail(state, GetLastError());
            size = 0;
        }
        *kept = size;
    }
    return 1;
}

static const DWORD requestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

static int QueryNumber(HINTERNET request, DWORD query, DWORD* value) {
    DWORD length = 4, index = 0;
    return HttpQueryInfoA(request, query | HTTP_QUERY_FLAG_NUMBER, value, &length,
                          query == HTTP_QUERY_STATUS_CODE ? 0 : &index);
}

// A missing or unusable header ends the transfer. The request goes with its
// session, so its field is cleared too: the run's end must not close it again.
static DWORD FailHeader(TransferState* state, DWORD code) {
    CloseInternet(state);
    return Fail(state, code);
}

int RecordTransfer(TransferState* state, const char* fileName, DWORD date, DWORD time,
                   DWORD size) {
    // The record is shared by the machine's users and may not be writable
    // for this one; an older record left there would vouch for this file
    // next time. The mark stays whatever becomes of this run, even a killed
    // one, until the next run opens the file and starts it afresh.
    if (SaveResumeRecord(&theSession, fileName, date, time, size) ||
        SetFileAttributesA(fileName, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
        return 1;
    return Fail(state, GetLastError());
}

// Wine's client reads the date at fixed places, converts it with mktime and
// gmtime and dies on a date they cannot place. Only the form servers send
// ("Sun, 06 Nov 1994 08:49:37 GMT"), dated 2 January 1970 to the end of
// 2037, goes on to the query that converts it.
int HttpDateUsable(const char* text) {
    // Digits at 5 and 6 (the day) and at 12 to 15 (the year); no end before 16.
    for (DWORD i = 0; i < 16; i++)
        if (!text[i] || ((0xF060 >> i) & 1 && (BYTE)(text[i] - '0') > 9)) return 0;
    DWORD day = ParseDecimal(text + 5, 2), year = ParseDecimal(text + 12, 4);
    return day - 1 < 31 && year - 1970 < 68 && (year > 1970 || day > 1);
}

int SameText(const char* a, const char* b) {
    while (*a && *a == *b) a++, b++;
    return *a == *b;
}

int ContentRangeFits(const char* text, DWORD first, DWORD total) {
    // Servers write the range in this one form; any other only costs a
    // fresh start.
    char expected[48];
    wsprintfA(expected, "bytes %lu-%lu/%lu", first, total - 1, total);
    return SameText(text, expected);
}

// A 206 speaks for the part its Content-Range names; without one, only
// the lengths can tell. A text that does not fit the buffer is no range of
// a file below 4 GiB.
static int ReplyIsRest(HINTERNET request, DWORD first, DWORD total) {
    char text[64];
    DWORD length = sizeof(text);
    if (HttpQueryInfoA(request, HTTP_QUERY_CONTENT_RANGE, text, &length, 0))
        return ContentRangeFits(text, first, total);
    return GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND;
}

DWORD DownloadHttp(TransferState* state, const char* url, const char* fileName, DWORD resume) {
    const InstallSession* session = &theSession;
    char header[256];
    header[0] = 0;

    DWORD present;
    if (!OpenTransfer(state, fileName, resume, &present)) return 0;
    if (present > 0) wsprintfA(header, "Range: bytes=%lu-\r\n", present);
    // One request, or two: a reply of 416 to the range, or a reply that is
    // not the rest of the file the kept bytes came from, empties the file
    // and asks for the whole file again, once. The second reply is held to
    // the same rules.
    DWORD status, contentLength, packedDate = 0, packedTime = 0;
    int restarted = 0, identified = 0;
    for (;;) {
        if (!KeepHandle(state, &state->requestHandle,
                        InternetOpenUrlA(state->internetHandle, url, header, (DWORD)-1,
                                         requestFlags, 0))) {
            DWORD code = GetLastError();
            CloseSession(state);
            return Fail(state, code);
        }
        // Only a 200 or a 206 carries the file: an informational or empty
        // reply, or a redirection the client did not follow, is a failure
        // like an error status, never a download.
        if (!QueryNumber(state->requestHandle, HTTP_QUERY_STATUS_CODE, &status))
            return FailHeader(state, GetLastError());
        // 416: the range starts at or past the end, the kept file is no use.
        int startOver = status == 416 && !restarted;
        if (!startOver && status != 200 && status != 206) {
            state->errorCode = status;
            state->errorIsStatus = 1;
            // How long the server asks a client to wait (a delay in
            // seconds; a date reads as none).
            if (status == 429 || status == 503)
                QueryNumber(state->requestHandle, HTTP_QUERY_RETRY_AFTER, &state->retryAfter);
            CloseInternet(state);
            return 0;
        }
        if (!startOver) {
            contentLength = 0;
            if (!QueryNumber(state->requestHandle, HTTP_QUERY_CONTENT_LENGTH, &contentLength))
                return FailHeader(state, GetLastError());
            if (!identified) {
                char text[32];
                DWORD length = sizeof(text), index = 0;
                if (!HttpQueryInfoA(state->requestHandle, HTTP_QUERY_LAST_MODIFIED, text, &length,
                                    &index))
                    return FailHeader(state, GetLastError());
                if (!HttpDateUsable(text)) return FailHeader(state, ERROR_HTTP_INVALID_HEADER);
                SYSTEMTIME modified;
                length = sizeof(modified);
                index = 0;
                if (!HttpQueryInfoA(state->requestHandle,
                                    HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &modified,
                                    &length, &index))
                    return FailHeader(state, GetLastError());
                identified = 1;
                packedDate = PackDate(modified.wYear, modified.wMonth, modified.wDay);
                packedTime = PackTime(modified.wHour, modified.wMinute);
            }
            DWORD whole = present + contentLength;
            if (present > 0) {
                // Continued only with the rest of the very file the record
                // names: a 200 is the file from its start whatever its
                // length, a 206 must start at the kept size and end at the
                // recorded size.
                startOver = !(status == 206 && ReplyIsRest(state->requestHandle, present, whole) &&
                              ResumeRecordMatches(session, fileName, packedDate, packedTime, whole));
            } else if (status == 206 && !ReplyIsRest(state->requestHandle, 0, whole)) {
                // Asked for the whole file, given a part of it.
                return FailHeader(state, ERROR_HTTP_INVALID_HEADER);
            }
        }
        if (!startOver) break;
        present = 0;
        restarted = 1;
        if (!RecreateOutput(state, fileName)) return Fail(state, GetLastError());
        header[0] = 0;
        CloseRequest(state);
    }

    // Stored, or the file marked, before any byte of the body; the handles
    // left open are closed by the run.
    if (!RecordTransfer(state, fileName, packedDate, packedTime, present + contentLength))
        return 0;
    state->baseBytes = present;
    state->totalBytes = present + contentLength;

    if (contentLength == 0) {
        // Nothing left to fetch: the kept bytes are the whole file.
        state->doneBytes = present;
        CloseOutput(state);
        CloseInternet(state);
        return 1;
    }

    DWORD written = 0;
    DWORD failure = 0;
    for (;;) {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(state->requestHandle, &available, 0, 0)) {
            failure = LastErrorOr(ERROR_INTERNET_CONNECTION_RESET);
            break;
        }
        if (available == 0 || state->stopRequested) break;
        char* buffer = (char*)GlobalAlloc(GMEM_ZEROINIT, available + 1);
        if (!buffer) {
            failure = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }

        DWORD received = 0;
        int last = 0;
        while (received < available) {
            DWORD count = 0;
            if (!InternetReadFile(state->requestHandle, buffer + received, available - received,
                                  &count)) {
                failure = LastErrorOr(ERROR_INTERNET_CONNECTION_RESET);
                last = 1;
                break;
            }
            if (count == 0) {
                last = 1;
                break;
            }
            received += count;
            if (received < available && state->stopRequested) break;
        }
        if (state->stopRequested) {
            // The bytes of this chunk are dropped, so file, counter and
            // record agree for the next run.
            GlobalFree(buffer);
            break;
        }

        DWORD put = 0;
        while (put < received && !state->stopRequested) {
            DWORD count = 0;
            if (!WriteFile(state->fileHandle, buffer + put, received - put, &count, 0) || !count) {
                failure = LastErrorOr(ERROR_WRITE_FAULT);
                last = 1;
                break;
            }
            put += count;
            written += count;
        }
        state->doneBytes = present + written;
        PostProgress(state);
        GlobalFree(buffer);
        if (last || state->stopRequested) break;
    }

    CloseOutput(state);
    CloseInternet(state);
    if (written == contentLength) return 1;
    // A body that stopped short is reported, unless the user stopped it.
    if (!state->stopRequested)
        state->errorCode = failure ? failure : ERROR_INTERNET_CONNECTION_RESET;
    return 0;
}
