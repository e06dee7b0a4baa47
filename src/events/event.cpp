// Event ping: one GET of the event script with the campaign and a mode;
// the reply is read to its end and thrown away.
#include "events.h"
#include "../transfer/transfer.h"

#ifdef STUB_SEAMS
DWORD SeamReplyCapacity;
#endif

DWORD SendEvent(const InstallSession* session, int mode) {
    const char* eventUrl = session->eventUrl;
    if (!eventUrl || !eventUrl[0]) return 0;
    char* requestUrl = AllocBuffer(lstrlenA(session->campaign) + lstrlenA(eventUrl) + 32);
    if (!requestUrl) return 0;
    wsprintfA(requestUrl, "%s?camp=%s&mode=%d", eventUrl, session->campaign, mode);

    HINTERNET internet = OpenInternetSession();
    if (!internet) {
        FreeBuffer(requestUrl);
        return 0;
    }
    HINTERNET request = InternetOpenUrlA(internet, requestUrl, "", 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    DWORD capacity = 512, held = 0;
    char* reply = AllocBuffer(capacity);
    while (reply && request) {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request, &available, 0, 0) || !available) break;
        if (held + available > capacity) {
            DWORD larger = ((held + available) / 1024 + 1) * 1024;
            char* grown = AllocBuffer(larger);
            if (!grown) break;  // keep what arrived
            for (DWORD i = 0; i < held; i++) grown[i] = reply[i];
            FreeBuffer(reply);
            reply = grown;
            capacity = larger;
        }
        DWORD count = 0;
        if (!InternetReadFile(request, reply + held, available, &count) || !count) break;
        held += count;
    }
#ifdef STUB_SEAMS
    SeamReplyCapacity = capacity;
#endif
    FreeBuffer(reply);
    FreeBuffer(requestUrl);
    if (request) InternetCloseHandle(request);
    InternetCloseHandle(internet);
    return held > 0;
}
