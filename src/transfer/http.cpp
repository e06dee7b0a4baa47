// HTTP download into the hidden output file, continuing a partial file with
// a byte range when the server still offers the same file.
#include "transfer.h"
#include "../progress/progress.h"

static DWORD Fail(TransferState* state, DWORD code) {
    state->errorCode = code;
    return 0;
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
                        WATCHED(InternetOpenUrlA(state->internetHandle, url, header, (DWORD)-1,
                                                 requestFlags, 0)))) {
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
            if (!WATCHED(InternetQueryDataAvailable(state->requestHandle, &available, 0, 0))) {
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
                if (!WATCHED(InternetReadFile(state->requestHandle, buffer + received,
                                              available - received, &count))) {
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
