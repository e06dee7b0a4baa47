// The text of the final error box, from the error code of the run.
#include "run.h"

const char errorIntro[] =
    "Setup could not download installation files.\n"
    "Please check your internet connection and firewall settings and try again.\n\n";

char* FormatErrorText(DWORD code) {
    char* systemText = 0;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   0, code, 0, (LPSTR)&systemText, 0, 0);
    int known = systemText && systemText[0];
    // Sized for the system text; wsprintfA writes at most 1024 characters
    // however long that is. The code-only form has no field for the text.
    char* text = AllocBuffer((known ? lstrlenA(systemText) : 0) + 256);
    if (text)
        wsprintfA(text, known ? "%sError %d: %s" : "%sError Code: %d", errorIntro, code, systemText);
    LocalFree(systemText);  // nothing happens to a null pointer
    return text;
}

