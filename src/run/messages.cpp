// The text of the final error box, from the error code of the run.
#include "run.h"

static const char errorIntro[] =
    "Setup could not download installation files.\n"
    "Please check your internet connection and firewall settings and try again.\n\n";

char* FormatErrorText(DWORD code) {
    char* systemText = 0;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   0, code, 0, (LPSTR)&systemText, 0, 0);
    char* text;
    if (systemText && systemText[0]) {
        // wsprintfA writes at most 1024 characters, so the buffer never
        // needs more than that however long the system text is.
        text = AllocBuffer(lstrlenA(systemText) + 256);
        if (text) wsprintfA(text, "%sError %d: %s", errorIntro, code, systemText);
    } else {
        text = AllocBuffer(256);
        if (text) wsprintfA(text, "%sError Code: %d", errorIntro, code);
    }
    if (systemText) LocalFree(systemText);
    return text;
}

