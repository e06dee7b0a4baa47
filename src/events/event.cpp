// Event ping: one GET of the event script with the campaign and a mode;
// the reply is read to its end and thrown away.
#include "events.h"
#include "../transfer/transfer.h"

#ifdef STUB_SEAMS
void (*SeamPingHook)();
#endif

// The threads of the start and the finish ping.
static DWORD pingThreads[2];

int OnPingThread() {
    DWORD self = GetCurrentThreadId();
    return self == pingThreads[0] || self == pingThreads[1];
}

// Connect, send and receive each get pingTimeout ms; the whole ping is
// waited for at most pingLimit ms.
enum { pingTimeout = 5000, pingLimit = 10000 };

// The request itself, on a thread of its own; frees the request URL.
static DWORD WINAPI PingThread(LPVOID parameter) {
    char* requestUrl = (char*)parameter;
    DWORD held = 0;
    HINTERNET internet = OpenInternetSession();
    if (internet) {
        // Short fixed time-outs and a single connect attempt, so a host that
        // drops packets cannot hold the run; the results are left alone, a
        // client without these options simply keeps its own.
        static const DWORD options[] = {INTERNET_OPTION_CONNECT_TIMEOUT,
                                        INTERNET_OPTION_SEND_TIMEOUT,
                                        INTERNET_OPTION_RECEIVE_TIMEOUT,
                                        INTERNET_OPTION_CONNECT_RETRIES};
        for (DWORD i = 0; i < 4; i++) {
            DWORD value = i < 3 ? pingTimeout : 1;
            InternetSetOptionA(internet, options[i], &value, sizeof(value));
        }
        HINTERNET request = InternetOpenUrlA(internet, requestUrl, "", 0,
                                             INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
#ifdef STUB_SEAMS
        if (SeamPingHook) SeamPingHook();
#endif
        // Whatever the reply holds is read into a fixed buffer and dropped.
        char reply[512];
        DWORD count = 0;
        while (request && InternetReadFile(request, reply, sizeof(reply), &count) && count)
            held = 1;
        if (request) InternetCloseHandle(request);
        InternetCloseHandle(internet);
    }
    FreeBuffer(requestUrl);
    return held > 0;
}

DWORD SendEvent(const InstallSession* session, int mode) {
    const char* eventUrl = session->eventUrl;
    if (!eventUrl || !eventUrl[0]) return 0;
    char* requestUrl = AllocBuffer(lstrlenA(session->campaign) + lstrlenA(eventUrl) + 32);
    if (!requestUrl) return 0;
    wsprintfA(requestUrl, "%s?camp=%s&mode=%d", eventUrl, session->campaign, mode);

    // Not every client keeps to the time-outs (Wine's ignores them for a URL
    // request), so the run waits for the ping a bounded time; one still
    // going then is left to finish, or to end with the process.
    GetAgentString();  // made here, before a second thread can ask for it
    // Known as a ping's before it runs, so a fault in it is never reported.
    HANDLE thread = CreateThread(0, 0, PingThread, requestUrl, CREATE_SUSPENDED,
                                 &pingThreads[mode & 1]);
    if (!thread) {
        FreeBuffer(requestUrl);  // no thread, no ping
        return 0;
    }
    ResumeThread(thread);
    DWORD result = 0;
    if (WaitForSingleObject(thread, pingLimit) != WAIT_OBJECT_0 ||
        !GetExitCodeThread(thread, &result))
        result = 0;
    CloseHandle(thread);
    return result;
}
