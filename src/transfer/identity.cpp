// The client's name for servers: product code and Windows version.
#include "transfer.h"

DWORD OsKind;
static OSVERSIONINFOA versionInfo;
static DWORD probed;
static const char* agentString;

DWORD OsKindFor(DWORD major, DWORD minor, DWORD platform) {
    if (major == 4) {
        if (minor == 10) return 3;   // Windows 98
        if (minor == 90) return 2;   // Windows ME
        return platform == VER_PLATFORM_WIN32_NT ? 6 : 1;
    }
    if (major == 3) return 5;
    if (major < 5) return 0;
    if (minor == 1) return 9;
    if (minor == 2) return 10;
    return 8;
}

void DetectOsKind() {
    if (probed) return;
    versionInfo.dwOSVersionInfoSize = sizeof(versionInfo);
    GetVersionExA(&versionInfo);  // a failure leaves zeros: "Windows NT 0.0"
    OsKind = OsKindFor(versionInfo.dwMajorVersion, versionInfo.dwMinorVersion,
                       versionInfo.dwPlatformId);
    probed = 1;
}

void FormatOsName(DWORD kind, DWORD major, DWORD minor, char* buffer) {
    static const char* const names[] = {
        0, "Windows 95", "Windows ME", "Windows 98", 0, 0, "Windows NT 4.0",
        0, "Windows 2000", "Windows XP", "Windows 2003 Server"};
    // The fixed names have no fields, so the numbers are ignored there.
    const char* name = kind < sizeof(names) / sizeof(names[0]) ? names[kind] : 0;
    wsprintfA(buffer, name ? name : "Windows NT %d.%d", major, minor);
}

void GetOsName(char* buffer) {
    DetectOsKind();
    FormatOsName(OsKind, versionInfo.dwMajorVersion, versionInfo.dwMinorVersion, buffer);
}

const char* GetAgentString() {
    if (agentString) return agentString;
    const char* code = theSession.productCode;
    char* text = (char*)GlobalAlloc(GMEM_ZEROINIT, lstrlenA(code) + 72);
    // Without memory the product code alone still names the client.
    if (!text) return code;
    agentString = text;
    char osName[128];
    GetOsName(osName);
    wsprintfA(text, "%s (%s)", code, osName);
    return text;
}

#ifdef STUB_SEAMS
HINTERNET(WINAPI* SeamInternetOpen)(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD) = InternetOpenA;
#define InternetOpenA SeamInternetOpen
#endif

// Every internet session of the run: the agent text, the system's own
// settings without proxy auto-detection, synchronous calls. Older clients
// do not know that access type and refuse it as a bad parameter: the
// system's settings as they are then.
HINTERNET OpenInternetSession() {
    const char* agent = GetAgentString();
    HINTERNET session =
        InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY, 0, 0, 0);
    if (!session && GetLastError() == ERROR_INVALID_PARAMETER)
        session = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, 0, 0, 0);
    return session;
}
