// The final error box: its text from the error code of the run, and the
// box for a fault.
#include "run.h"
#include "../handover/handover.h"  // ERROR_INVALID_IMAGE_HASH
#include "../events/events.h"

const char errorIntro[] =
    "Setup could not download installation files.\n"
    "Please check your internet connection and firewall settings and try again.\n\n";

// A download that failed its pinned SHA-256 is no connection problem.
static const char wrongSetupIntro[] =
    "The downloaded file is not the expected setup.\n"
    "It may have been damaged or replaced on its way, so it was not started.\n"
    "Please try again later.\n\n";

char* FormatErrorText(DWORD code, DWORD isStatus) {
    int wrongSetup = code == ERROR_INVALID_IMAGE_HASH && !isStatus;
    char* systemText = 0;
    // A status is never looked up: the system's table has unrelated texts
    // for many of those numbers; nor is the code of a wrong setup.
    if (!isStatus && !wrongSetup) {
        // The client's own codes have their texts in the client's message
        // table; the system's table is searched after it, and alone for
        // every other code.
        HMODULE client = code - INTERNET_ERROR_BASE < 1000 ? GetModuleHandleA("wininet.dll") : 0;
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_ALLOCATE_BUFFER | (client ? FORMAT_MESSAGE_FROM_HMODULE : 0),
                       client, code, 0, (LPSTR)&systemText, 0, 0);
    }
    int known = systemText && systemText[0];
    // Sized for the system text; wsprintfA writes at most 1024 characters
    // however long that is. The code-only forms have no field for the text.
    char* text = AllocBuffer((known ? lstrlenA(systemText) : 0) + 256);
    if (text) {
        // Codes with the top bit set (a fault's code, 0xC0000005) are known
        // and searched for in hexadecimal.
        char number[16];
        wsprintfA(number, (LONG)code < 0 ? "0x%08lX" : "%lu", code);
        wsprintfA(text,
                  isStatus ? "%sThe server answered with HTTP status %s."
                  : known  ? "%sError %s: %s"
                           : "%sError Code: %s",
                  wrongSetup ? wrongSetupIntro : errorIntro, number, systemText);
    }
    LocalFree(systemText);  // nothing happens to a null pointer
    return text;
}

void ShowErrorBox(DWORD code, DWORD isStatus) {
    char* text = FormatErrorText(code, isStatus);
    MessageBoxA(0, text ? text : errorIntro, GetTitle(), MB_ICONERROR);
    FreeBuffer(text);
}

// A fault inside a system library still ends with the error box, named by
// the fault's code, not with the program gone without a word: Wine's FTP
// client faults when a data connection is reset before it takes it up. What
// is on disk and in the registry stays for the next run to continue.
LONG WINAPI ReportFault(EXCEPTION_POINTERS* fault) {
    // Pings are best effort, and one may outlive its wait into the setup's
    // start: its fault ends its own thread, without a word.
    if (OnPingThread()) ExitThread(0);
    // Without the lock: the fault may have come while it was held.
    TransferState* state = &theState;
    state->uiQuit = 1;
    HWND dialog = state->dialogWindow;
    if (dialog) PostMessageA(dialog, WM_NULL, 0, 0);
    ShowErrorBox(fault->ExceptionRecord->ExceptionCode, 0);
    ExitProcess(0);
}
