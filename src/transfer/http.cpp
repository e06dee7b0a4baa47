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

static const DWORD requestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

static int QueryStatus(HINTERNET request, DWORD* status) {
    DWORD length = 4;
    return HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status, &length,
                          0);
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
        SetOutputAttributes(state, fileName, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
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

// The reply's Content-Length read as text: the client's own number stops at
// 2^31 - 1 and reads a text without digits as 0.
static int QueryLength(HINTERNET request, DWORD* length) {
    char text[32];
    DWORD size = sizeof(text), index = 0;
    if (HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) {
        if (ParseLength(text, length)) return 1;
    } else if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return 0;
    }
    // Not a number below 4 GiB, or too long to be one.
    SetLastError(ERROR_HTTP_INVALID_HEADER);
    return 0;
}

// The reply's Last-Modified, packed; 0 with the last error set when there
// is none that can be used.
static int QueryModified(HINTERNET request, DWORD* date, DWORD* time) {
    char text[32];
    DWORD length = sizeof(text), index = 0;
    // A text too long for the buffer is no date of the servers' form either.
    if (!HttpQueryInfoA(request, HTTP_QUERY_LAST_MODIFIED, text, &length, &index) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return 0;
    if (length >= sizeof(text) || !HttpDateUsable(text)) {
        SetLastError(ERROR_HTTP_INVALID_HEADER);
        return 0;
    }
    SYSTEMTIME modified;
    length = sizeof(modified);
    index = 0;
    if (!HttpQueryInfoA(request, HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &modified,
                        &length, &index))
        return 0;
    *date = PackDate(modified.wYear, modified.wMonth, modified.wDay);
    *time = PackTime(modified.wHour, modified.wMinute);
    return 1;
}

DWORD DownloadHttp(TransferState* state, const char* url, const char* fileName, DWORD resume) {
    const InstallSession* session = &theSession;
    char header[256];

    // kept: the bytes on disk this request continues; onDisk: the bytes in
    // the file. A continuation asks from resumeOverlap bytes before the kept
    // end (from 0 when fewer are kept) and compares those with the file
    // before it writes anything: a server that sends another place than
    // asked for never gets spliced onto the kept bytes.
    DWORD kept;
    if (!OpenTransfer(state, fileName, resume, &kept)) return 0;
    DWORD onDisk = kept;
    // Two requests at most: a continuation that is refused, or disproved
    // by its data, is followed by one request for the whole file. Only a
    // reply that carries the file costs the kept bytes; one that fails
    // (the server is down) leaves them for the next run.
    for (;;) {
        DWORD from = kept > resumeOverlap ? kept - resumeOverlap : 0;
        header[0] = 0;
        if (kept) wsprintfA(header, "Range: bytes=%lu-\r\n", from);
        if (!KeepHandle(state, &state->requestHandle,
                        InternetOpenUrlA(state->internetHandle, url, header, (DWORD)-1,
                                         requestFlags, 0))) {
            DWORD code = GetLastError();
            CloseSession(state);
            return Fail(state, code);
        }
        // Only a 200 or a 206 carries the file: an informational or empty
        // reply, or a redirection the client did not follow, is a failure
        // like an error status, never a download. A reply without a status
        // line (the connection closed before one) is a broken connection.
        DWORD status, length, date, time, whole;
        state->retryAfter = 0;
        if (!QueryStatus(state->requestHandle, &status)) return FailHeader(state, GetLastError());
        if (status < 100) return FailHeader(state, ERROR_INTERNET_CONNECTION_RESET);
        // To a range only a 206 continues; a 200 is a refusal, read no further.
        int carries = status == 206 || (status == 200 && !kept);
        if (carries) {
            // Each reply names the file it carries: the record gets the
            // identity of the one whose body is written. Nothing of 4 GiB
            // or more, and no empty setup.
            carries = QueryLength(state->requestHandle, &length) &&
                      QueryModified(state->requestHandle, &date, &time);
            whole = from + length;
            if (carries && (whole < from || !whole)) {
                SetLastError(ERROR_HTTP_INVALID_HEADER);
                carries = 0;
            }
            // A bad header fails the plain request; to a range it is one
            // more refusal of the continuation.
            if (!carries && !kept) return FailHeader(state, GetLastError());
            if (!kept) {
                // Asked for the whole file, given a part of it.
                if (status == 206 && !ReplyIsRest(state->requestHandle, 0, whole))
                    return FailHeader(state, ERROR_HTTP_INVALID_HEADER);
            } else if (carries) {
                // Continued only with the rest of the very file the record
                // names: from the asked place to the recorded size.
                carries = kept <= whole && ReplyIsRest(state->requestHandle, from, whole) &&
                          ResumeRecordMatches(session, fileName, date, time, whole);
            }
        }
        if (!carries) {
            // How long the server asks a client to wait before it asks again
            // (a delay in seconds; a date reads as none).
            DWORD size = 4, index = 0;
            if (status == 429 || status == 503)
                HttpQueryInfoA(state->requestHandle, HTTP_QUERY_RETRY_AFTER | HTTP_QUERY_FLAG_NUMBER,
                               &state->retryAfter, &size, &index);
            CloseRequest(state);
            // A refused continuation asks for the whole file; a busy server
            // is no refusal, and its failure keeps file and record.
            if (kept && !ServerBusy(status)) {
                kept = 0;
                continue;
            }
            state->errorCode = status;
            state->errorIsStatus = 1;
            CloseSession(state);
            return 0;
        }

        // Stored, or the file marked, before any byte of the body; the
        // handles left open are closed by the run.
        if (onDisk && !kept) {
            if (!EmptyOutput(state)) return Fail(state, GetLastError());
            onDisk = 0;
        }
        SeekOutput(state, from);
        if (!RecordTransfer(state, fileName, date, time, whole)) return 0;
        state->baseBytes = kept;
        state->totalBytes = whole;

        DWORD overlap = kept - from, written = 0, failure = 0;
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
                if (!InternetReadFile(state->requestHandle, buffer + received,
                                      available - received, &count)) {
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
            // On a cancel the bytes of this chunk are dropped, so file,
            // counter and record agree for the next run.
            if (!state->stopRequested && received) {
                DWORD taken = TakeData(state, buffer, received, &overlap, &written);
                if (taken == ERROR_INVALID_DATA) {
                    GlobalFree(buffer);
                    if (!EmptyOutput(state)) {
                        // Kept bytes that no server's data continues never
                        // serve another run.
                        SetOutputAttributes(state, fileName,
                                            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
                        return Fail(state, ERROR_INVALID_DATA);
                    }
                    CloseRequest(state);
                    kept = onDisk = 0;
                    goto again;
                }
                if (taken) failure = taken, last = 1;
                state->doneBytes = kept + written;
                PostProgress(state);
            }
            GlobalFree(buffer);
            if (last || state->stopRequested) break;
        }

        CloseOutput(state);
        CloseInternet(state);
        if (kept + written == whole) return 1;
        // A body that stopped short is reported, unless the user stopped it.
        if (!state->stopRequested)
            state->errorCode = failure ? failure : ERROR_INTERNET_CONNECTION_RESET;
        return 0;
    again:;
    }
}
