// FTP download with restart, and the reading of the FTP server's replies.
#include "transfer.h"
#include "../progress/progress.h"
#include "../handover/handover.h"

typedef BOOL(WINAPI* FtpCommandCall)(HINTERNET, BOOL, DWORD, LPCSTR, DWORD_PTR, HINTERNET*);

#ifdef STUB_SEAMS
FtpCommandCall SeamFtpCommand;
const char* SeamFtpCommandName = "FtpCommandA";
#define FTP_COMMAND_NAME SeamFtpCommandName
#else
#define FTP_COMMAND_NAME "FtpCommandA"
#endif

// FtpCommandA came with the client of Internet Explorer 5: imported, it
// would keep the program from starting at all where an older client is
// installed, so it is looked up.
static FtpCommandCall LookUpFtpCommand() {
    FtpCommandCall call =
        (FtpCommandCall)GetProcAddress(GetModuleHandleA("wininet.dll"), FTP_COMMAND_NAME);
#ifdef STUB_SEAMS
    if (call && SeamFtpCommand) call = SeamFtpCommand;
#endif
    return call;
}

enum { replyLimit = 8192, bufferSize = 65536 };

DWORD ParseDecimal(const char* text, DWORD maxChars) {
    DWORD value = 0;
    for (DWORD i = 0; text[i] && (maxChars == 0 || i < maxChars); i++)
        if (text[i] >= '0' && text[i] <= '9') value = value * 10 + (text[i] - '0');
    return value;
}

// The value behind the reply code: past the first run of blanks. A reply
// without a blank has an empty number part.
const char* ReplyNumberPart(const char* reply) {
    const char* at = reply;
    while (*at && *at != ' ') at++;
    while (*at == ' ') at++;
    return at;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c |= 0x20;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Turns %xx escapes into the characters they stand for, in place.
void DecodeEscapes(char* text) {
    char* out = text;
    for (const char* in = text; *in;) {
        int high, low;
        if (*in == '%' && (high = HexValue(in[1])) >= 0 && (low = HexValue(in[2])) >= 0) {
            *out++ = (char)(high * 16 + low);
            in += 3;
        } else {
            *out++ = *in++;
        }
    }
    *out = 0;
}

#ifdef STUB_SEAMS
BOOL(WINAPI* SeamLastResponse)(LPDWORD, LPSTR, LPDWORD) = InternetGetLastResponseInfoA;
#define InternetGetLastResponseInfoA SeamLastResponse
#endif

// The server's last reply as text in buffer, or 0 when there is none that
// fits; the text is cut at its own length so no scan reads an older reply.
DWORD FetchReply(char* buffer) {
    DWORD code = 0, length = replyLimit;
    BOOL got = InternetGetLastResponseInfoA(&code, buffer, &length);
    if (!got || length >= replyLimit) length = 0;
    buffer[length] = 0;
    return length;
}

// The server's reply to a command that failed, read before anything else
// is said on the connection (closing it may bring another reply).
static char failedReply[replyLimit];

// A failed call of the transfer: the client's code (with stand-in) in
// errorCode, the server's reply code with it; 0.
static DWORD FailCall(TransferState* state, DWORD fallback) {
    state->errorCode = LastErrorOr(fallback);
    state->replyCode = FetchReply(failedReply) ? ParseDecimal(failedReply, 3) : 0;
    return 0;
}

// A command the server does not know or has not implemented (500 to 504):
// an extension it lacks, which the transfer does without.
static int Unsupported(TransferState* state) {
    FailCall(state, ERROR_INTERNET_EXTENDED_ERROR);
    if (state->errorCode != ERROR_INTERNET_EXTENDED_ERROR || state->replyCode - 500 >= 5) return 0;
    state->errorCode = state->replyCode = 0;
    return 1;
}

// Without FtpCommandA there is no SIZE, MDTM or REST, and a server may not
// tell the size: the whole file is fetched afresh with a total that stays
// unknown until the end, and only the server's word that the transfer
// completed (226 or 250 once the data has ended) tells a whole file from one
// whose data connection was cut.
static DWORD FetchWholeFile(TransferState* state, const char* fileName, const char* path) {
    HINTERNET data = 0;
    DWORD result = 0, running = 0;
    char* buffer = (char*)GlobalAlloc(GMEM_ZEROINIT, bufferSize);
    state->baseBytes = 0;
    state->totalBytes = 0;
    state->startTick = GetTickCount();
    if (!buffer) {
        state->errorCode = ERROR_NOT_ENOUGH_MEMORY;
        goto end;
    }
    // Bytes an earlier run kept go: the file starts empty. No record may
    // vouch for what this run writes, or a later run that learns the size
    // would continue a file that may be another version; where the record
    // cannot go, the file is marked.
    if (!EmptyOutput(state) ||
        (!DeleteResumeRecord(&theSession) &&
         !SetOutputAttributes(state, fileName, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
        state->errorCode = GetLastError();
        goto end;
    }
    PostProgress(state);
    data = WATCHED(
        FtpOpenFileA(state->requestHandle, path, GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 0));
    if (!data) {
        FailCall(state, ERROR_INTERNET_EXTENDED_ERROR);
        goto end;
    }
    result = 1;
    while (!state->stopRequested) {
        DWORD count = 0, wrote = 0;
        if (!WATCHED(InternetReadFile(data, buffer, bufferSize, &count))) {
            state->errorCode = LastErrorOr(ERROR_INTERNET_CONNECTION_RESET);
            result = 0;
            break;
        }
        // A chunk read across a confirmed cancel is dropped.
        if (count == 0 || state->stopRequested) break;
        if (!WriteFile(state->fileHandle, buffer, count, &wrote, 0) || wrote != count) {
            state->errorCode = LastErrorOr(ERROR_WRITE_FAULT);
            result = 0;
            break;
        }
        running += count;
        state->doneBytes = running;
        PostProgress(state);
    }
    // Closing the data handle has the client read the server's final reply.
    CloseChild(state, data);
    if (result && !state->stopRequested) {
        DWORD code = FetchReply(buffer) ? ParseDecimal(buffer, 3) : 0;
        if (code == 226 || code == 250) {
            state->totalBytes = running;
        } else {
            state->errorCode = ERROR_INTERNET_CONNECTION_RESET;
            result = 0;
        }
    }
end:
    // What is on disk now can never be continued: the next run starts afresh.
    if (!result || state->stopRequested) {
        EmptyOutput(state);  // emptied, or left for the next run to overwrite
        running = 0;
    }
    state->doneBytes = running;
    PostProgress(state);
    if (buffer) GlobalFree(buffer);
    CloseOutput(state);
    CloseInternet(state);
    return result;
}

DWORD DownloadFtp(TransferState* state, const char* url, const char* fileName, DWORD resume) {
    const InstallSession* session = &theSession;

    DWORD kept;
    if (!OpenTransfer(state, fileName, resume, &kept)) return 0;

    char host[128], user[64], password[64], path[256];
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof(host);
    parts.lpszUserName = user;
    parts.dwUserNameLength = sizeof(user);
    parts.lpszPassword = password;
    parts.dwPasswordLength = sizeof(password);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof(path);
    host[0] = user[0] = password[0] = path[0] = 0;
    // A part too long for its buffer would be cut and name another file.
    if (!InternetCrackUrlA(url, lstrlenA(url), ICU_ESCAPE, &parts)) {
        CloseInternet(state);
        state->errorCode = ERROR_INTERNET_INVALID_URL;
        return 0;
    }
    // Asked to, Windows turns the path's %xx escapes into characters; Wine
    // hands the path back as written. Decode it here then, and only then,
    // so an escape is never decoded twice.
    if (FindSubstring(url, path) >= 0) DecodeEscapes(path);
    INTERNET_PORT port = parts.nPort ? parts.nPort : INTERNET_DEFAULT_FTP_PORT;

    if (!KeepHandle(state, &state->requestHandle,
                    WATCHED(InternetConnectA(state->internetHandle, host, port, user, password,
                                             INTERNET_SERVICE_FTP, 0, 0)))) {
        FailCall(state, ERROR_INTERNET_CANNOT_CONNECT);
        CloseInternet(state);
        return 0;
    }
    HINTERNET connection = state->requestHandle;
    FtpCommandCall FtpCommandA = LookUpFtpCommand();
    if (!FtpCommandA) return FetchWholeFile(state, fileName, path);

    char* buffer = (char*)GlobalAlloc(GMEM_ZEROINIT, bufferSize);
    if (!buffer) {
        CloseInternet(state);
        state->errorCode = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    state->baseBytes = kept;
    state->totalBytes = kept;
    state->startTick = GetTickCount();
    PostProgress(state);

    char command[512];
    HINTERNET data = 0;
    DWORD result = 0, restart = 0;
    DWORD running = kept;

    // Servers refuse SIZE in ASCII mode, and the byte count of the binary
    // file is the one that matters.
    WATCHED(FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_ASCII, "TYPE I", 0, 0));
    // SIZE and MDTM are extensions: a server without them still serves
    // the file. A size of 0, or one that is no number below 4 GiB, is
    // unknown, as is a refused one: no check of the length could hold the
    // data to it.
    wsprintfA(command, "SIZE %s", path);
    DWORD size = 0;
    if (!WATCHED(FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_ASCII, command, 0, &data))) {
        if (!Unsupported(state)) {
            CloseInternet(state);
            GlobalFree(buffer);
            return 0;
        }
    } else if (!FetchReply(buffer) || !ParseLength(ReplyNumberPart(buffer), &size)) {
        size = 0;
    }
    if (!size) {
        GlobalFree(buffer);
        return FetchWholeFile(state, fileName, path);
    }
    state->totalBytes = size;

    SYSTEMTIME now;
    GetLocalTime(&now);
    DWORD date = PackDate(now.wYear, now.wMonth, now.wDay);
    DWORD time = PackTime(now.wHour, now.wMinute);

    // Without MDTM, or without a usable reply to it, the local clock stands in.
    wsprintfA(command, "MDTM %s", path);
    if (!WATCHED(FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_ASCII, command, 0, &data))) {
        if (!Unsupported(state)) {
            CloseInternet(state);
            GlobalFree(buffer);
            return 0;
        }
    } else if (FetchReply(buffer) >= 14) {
        const char* stamp = ReplyNumberPart(buffer);
        if (*stamp) {
            date = ParseDecimal(stamp, 8);
            DWORD skip = 0;
            while (skip < 8 && stamp[skip]) skip++;
            time = ParseDecimal(stamp + skip, 4) + 10000;
        }
    }
    data = 0;

    // Kept bytes are continued only as a part of the file the record names,
    // and never when there are more of them than the whole file has.
    if (kept > 0 && !(kept <= size && ResumeRecordMatches(session, fileName, date, time, size))) {
        if (!EmptyOutput(state)) {
            state->errorCode = GetLastError();
            goto end;
        }
        kept = 0;
    }
    state->baseBytes = kept;
    running = kept;

    if (!RecordTransfer(state, fileName, date, time, size)) goto end;

    {
        // The whole file is there already: nothing to ask the server for.
        if (kept == size) {
            result = 1;
            goto end;
        }
        // A continuation starts resumeOverlap bytes before the kept end
        // (at 0 when fewer are kept) and compares those bytes with the file
        // before it writes: a server that forgets the offset (REST must come
        // right before RETR, and the client puts TYPE and PORT between) sends
        // the file from its start, which is never spliced on.
        DWORD from = kept > resumeOverlap ? kept - resumeOverlap : 0;
        DWORD overlap = kept - from, written = 0, refused = 0;
        if (from) {
            wsprintfA(command, "REST %lu", from);
            refused =
                !WATCHED(FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_ASCII, command, 0, 0));
        }

        wsprintfA(command, "RETR %s", path);
        SetLastError(0);
        if (!WATCHED(FtpCommandA(connection, TRUE, FTP_TRANSFER_TYPE_BINARY, command, 0, &data))) {
            data = 0;
            // Some clients cannot open the data connection this way and say
            // nothing; opening the file on the same connection sends its own
            // TYPE, PORT and RETR after our REST.
            if (GetLastError() == 0)
                data = WATCHED(
                    FtpOpenFileA(connection, path, GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 0));
            if (!data) {
                FailCall(state, ERROR_INTERNET_EXTENDED_ERROR);
                goto end;
            }
        }
        // A server that refuses to continue sends the whole file: only now
        // that it does do the kept bytes go.
        if (refused) {
            if (!EmptyOutput(state)) {
                state->errorCode = GetLastError();
                goto end;
            }
            state->baseBytes = kept = running = from = overlap = 0;
        }
        SeekOutput(state, from);

        result = 1;
        for (;;) {
            DWORD count = 0;
            WATCHED(InternetQueryDataAvailable(data, &count, 0, 0));  // only waits for data
            if (state->stopRequested) break;
            // No more than has come: a client that fills its buffer before
            // it returns would hold a slow transfer's bytes past the limit.
            if (count - 1 >= bufferSize) count = bufferSize;
            if (!WATCHED(InternetReadFile(data, buffer, count, &count))) {
                state->errorCode = LastErrorOr(ERROR_INTERNET_CONNECTION_RESET);
                result = 0;
                break;
            }
            // A chunk read across a confirmed cancel is dropped.
            if (count == 0 || state->stopRequested) break;
            // The overlap is judged before the length: it lies within the file.
            DWORD rest = size - (running - overlap);
            DWORD taken = TakeData(state, buffer, count < rest ? count : rest, &overlap, &written);
            running = kept + written;
            state->doneBytes = running;
            PostProgress(state);
            if (taken == ERROR_INVALID_DATA || count > rest) {
                // Data that does not continue the kept bytes, or more data
                // than the file has (a splice the overlap could not tell):
                // the file is emptied and a continuation fetched afresh,
                // once; a file that cannot be emptied is marked as one that
                // no run continues.
                result = 0;
                if (EmptyOutput(state)) {
                    running = 0;
                    restart = kept;
                } else {
                    SetOutputAttributes(state, fileName,
                                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);  // last resort
                }
                if (!restart) state->errorCode = ERROR_INVALID_DATA;
                break;
            }
            if (taken) {
                state->errorCode = taken;
                result = 0;
                break;
            }
        }
        // Data that ended before the announced size is a broken transfer,
        // not a finished one.
        if (result && !state->stopRequested && running < size) {
            state->errorCode = ERROR_INTERNET_CONNECTION_RESET;
            result = 0;
        }
    }

end:
    state->doneBytes = running;
    PostProgress(state);
    GlobalFree(buffer);
    CloseChild(state, data);
    CloseOutput(state);
    CloseInternet(state);
    if (restart) return DownloadFtp(state, url, fileName, 0);
    return result;
}
