/*
 * bareloop: the floor the stub's transfers are measured against. The least
 * a WinINet client can do to copy a URL to a file: open, read into one fixed
 * buffer, write, repeat. Same session and request flags as the stub, so the
 * only differences are in the loop.
 *
 *   bareloop http URL FILE [options]   InternetOpenUrlA + InternetReadFile
 *   bareloop ftp URL FILE [options]    InternetConnectA + FtpOpenFileA + InternetReadFile
 *
 * Options (the defaults are the bare loop; the others put back one piece of
 * the stub's loop at a time, to find what costs):
 *   --buffer N   bytes asked for per read (default 65536)
 *   --query      before each read ask InternetQueryDataAvailable and read
 *                exactly what it announces (capped at the buffer)
 *   --query-only ask InternetQueryDataAvailable before each read, but read
 *                the whole buffer all the same (the FTP loop's pattern)
 *   --alloc      a zero-filled GlobalAlloc of the chunk's size per chunk,
 *                read into it, GlobalFree after the write
 *   --post       per chunk: IsWindow + GetTickCount on a window of a second
 *                thread, and a PostMessage to it when 800 ms have passed since
 *                that thread last took one (on every chunk with --post-always)
 *   --grace MS   the receiving thread takes no messages for its first MS ms,
 *                like the progress dialog's grace period (with --post)
 *   --nowrite    read only: no output file writes
 *   --nowait     read with InternetReadFileExA(IRF_NO_WAIT): whatever is
 *                there, up to the buffer, without waiting for more
 *
 * Prints one JSON line: bytes, ms (GetTickCount from InternetOpenA to the
 * last close), reads, writes, queries, and result 1/0.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <wininet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static DWORD bufferSize = 65536;
static int useQuery, queryOnly, useAlloc, usePost, postAlways, noWrite, noWait;
static DWORD graceMs;
static DWORD reads, writes, queries, posts;
static HWND postWindow;
static volatile DWORD lastTakenTick;

static const DWORD requestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

static LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER + 700) {
        lastTakenTick = GetTickCount();  /* the receiver sets the throttle, as the stub's does */
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

/* A hidden receiver window on its own thread, like the stub's progress dialog. */
static DWORD WINAPI SinkThread(LPVOID ready) {
    WNDCLASSA wc;
    MSG msg;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = SinkProc;
    wc.hInstance = GetModuleHandleA(0);
    wc.lpszClassName = "BareLoopSink";
    RegisterClassA(&wc);
    postWindow = CreateWindowA("BareLoopSink", "", 0, 0, 0, 0, 0, 0, 0, wc.hInstance, 0);
    SetEvent((HANDLE)ready);
    if (graceMs) Sleep(graceMs);
    while (GetMessageA(&msg, 0, 0, 0) > 0) DispatchMessageA(&msg);
    return 0;
}

static void Post(void) {
    if (!IsWindow(postWindow)) return;
    if (!postAlways && GetTickCount() - lastTakenTick < 800) return;
    posts++;
    PostMessageA(postWindow, WM_USER + 700, 0, 0);
}

static int WriteAll(HANDLE file, const char* data, DWORD size) {
    DWORD put = 0;
    while (put < size) {
        DWORD count = 0;
        writes++;
        if (!WriteFile(file, data + put, size - put, &count, 0) || !count) return 0;
        put += count;
    }
    return 1;
}

/* Copies the data of handle into file; returns 1 at the end of the data. */
static int Copy(HINTERNET handle, HANDLE file, char* fixed, DWORD* total) {
    for (;;) {
        DWORD want = bufferSize;
        if (useQuery) {
            DWORD available = 0;
            queries++;
            if (!InternetQueryDataAvailable(handle, &available, 0, 0)) return 0;
            if (available == 0) return 1;
            if (available < want) want = available;
        } else if (queryOnly) {
            DWORD available = 0;
            queries++;
            InternetQueryDataAvailable(handle, &available, 0, 0);
        }
        char* buffer = fixed;
        if (useAlloc) {
            buffer = (char*)GlobalAlloc(GMEM_ZEROINIT, want + 1);
            if (!buffer) return 0;
        }
        DWORD count = 0;
        reads++;
        BOOL ok;
        if (noWait) {
            INTERNET_BUFFERSA ib;
            memset(&ib, 0, sizeof ib);
            ib.dwStructSize = sizeof ib;
            ib.lpvBuffer = buffer;
            ib.dwBufferLength = want;
            ok = InternetReadFileExA(handle, &ib, IRF_NO_WAIT, 0);
            count = ib.dwBufferLength;
            /* Nothing there yet is not the end: wait for data and go on. */
            if (ok && count == 0) {
                DWORD available = 0;
                queries++;
                if (!InternetQueryDataAvailable(handle, &available, 0, 0)) return 0;
                if (available == 0) return 1;
                if (useAlloc) GlobalFree(buffer);
                continue;
            }
        } else {
            ok = InternetReadFile(handle, buffer, want, &count);
        }
        int done = !ok || count == 0;
        if (ok && count && !noWrite && !WriteAll(file, buffer, count)) ok = FALSE;
        if (useAlloc) GlobalFree(buffer);
        if (!ok) return 0;
        if (done) return 1;
        *total += count;
        if (usePost) Post();
    }
}

static int Option(int argc, char** argv, const char* name) {
    for (int i = 4; i < argc; i++)
        if (!strcmp(argv[i], name)) return i;
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 4 || (strcmp(argv[1], "http") && strcmp(argv[1], "ftp"))) {
        fprintf(stderr, "usage: bareloop http|ftp URL FILE [--buffer N] [--query] [--alloc] "
                        "[--query-only] [--post] [--post-always] [--grace MS] [--nowrite] [--nowait]\n");
        return 2;
    }
    int ftp = !strcmp(argv[1], "ftp");
    const char* url = argv[2];
    int at = Option(argc, argv, "--buffer");
    if (at && at + 1 < argc) bufferSize = strtoul(argv[at + 1], 0, 10);
    useQuery = Option(argc, argv, "--query") != 0;
    queryOnly = Option(argc, argv, "--query-only") != 0;
    noWrite = Option(argc, argv, "--nowrite") != 0;
    noWait = Option(argc, argv, "--nowait") != 0;
    at = Option(argc, argv, "--grace");
    if (at && at + 1 < argc) graceMs = strtoul(argv[at + 1], 0, 10);
    useAlloc = Option(argc, argv, "--alloc") != 0;
    postAlways = Option(argc, argv, "--post-always") != 0;
    usePost = postAlways || Option(argc, argv, "--post") != 0;
    if (usePost) {
        HANDLE ready = CreateEventA(0, TRUE, FALSE, 0);
        CreateThread(0, 0, SinkThread, ready, 0, 0);
        WaitForSingleObject(ready, 5000);
    }

    char* fixed = (char*)VirtualAlloc(0, bufferSize + 1, MEM_COMMIT, PAGE_READWRITE);
    HANDLE file = CreateFileA(argv[3], GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    if (!fixed || file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "bareloop: cannot open %s (%lu)\n", argv[3], GetLastError());
        return 1;
    }

    DWORD start = GetTickCount();
    DWORD total = 0;
    int result = 0;
    DWORD error = 0;
    HINTERNET session = InternetOpenA("bareloop", INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY,
                                      0, 0, 0);
    HINTERNET connection = 0, handle = 0;
    if (session && !ftp) {
        handle = InternetOpenUrlA(session, url, "", (DWORD)-1, requestFlags, 0);
    } else if (session) {
        char host[128], user[64], password[64], path[256];
        URL_COMPONENTSA parts;
        memset(&parts, 0, sizeof parts);
        parts.dwStructSize = sizeof parts;
        parts.lpszHostName = host;
        parts.dwHostNameLength = sizeof host;
        parts.lpszUserName = user;
        parts.dwUserNameLength = sizeof user;
        parts.lpszPassword = password;
        parts.dwPasswordLength = sizeof password;
        parts.lpszUrlPath = path;
        parts.dwUrlPathLength = sizeof path;
        host[0] = user[0] = password[0] = path[0] = 0;
        if (InternetCrackUrlA(url, lstrlenA(url), ICU_ESCAPE, &parts)) {
            /* Active mode, as the stub connects. */
            connection = InternetConnectA(session, host,
                                          parts.nPort ? parts.nPort : INTERNET_DEFAULT_FTP_PORT,
                                          user, password, INTERNET_SERVICE_FTP, 0, 0);
            if (connection)
                handle = FtpOpenFileA(connection, path, GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 0);
        }
    }
    if (handle) result = Copy(handle, file, fixed, &total);
    else error = GetLastError();
    if (handle) InternetCloseHandle(handle);
    if (connection) InternetCloseHandle(connection);
    if (session) InternetCloseHandle(session);
    CloseHandle(file);
    DWORD ms = GetTickCount() - start;

    printf("{\"result\": %d, \"error\": %lu, \"bytes\": %lu, \"ms\": %lu, \"reads\": %lu, "
           "\"writes\": %lu, \"queries\": %lu, \"posts\": %lu}\n",
           result, error, total, ms, reads, writes, queries, posts);
    fflush(stdout);
    return result ? 0 : 1;
}
