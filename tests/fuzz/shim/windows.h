// Just enough of the Windows API, for a native build of the product's text
// and number code under libFuzzer. The 32-bit types keep their Windows
// widths. The text calls work as the system's do; every other call exists
// only so that the files compile, and stops the run if it is ever reached.
#pragma once
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int BOOL;
typedef unsigned short WORD;
typedef unsigned char BYTE;
typedef unsigned int UINT;
typedef void* HANDLE;
typedef HANDLE HWND;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HICON;
typedef HANDLE HKEY;
typedef HANDLE HINTERNET;
typedef uintptr_t WPARAM;
typedef uintptr_t DWORD_PTR;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* LPVOID;
typedef WORD INTERNET_PORT;

#define WINAPI
#define CALLBACK
#define FALSE 0
#define TRUE 1
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define WM_USER 0x0400

typedef struct {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME;

typedef struct {
    DWORD dwStructSize;
    LPSTR lpszScheme;
    DWORD dwSchemeLength;
    int nScheme;
    LPSTR lpszHostName;
    DWORD dwHostNameLength;
    INTERNET_PORT nPort;
    LPSTR lpszUserName;
    DWORD dwUserNameLength;
    LPSTR lpszPassword;
    DWORD dwPasswordLength;
    LPSTR lpszUrlPath;
    DWORD dwUrlPathLength;
    LPSTR lpszExtraInfo;
    DWORD dwExtraInfoLength;
} URL_COMPONENTSA;

enum : DWORD {
    GENERIC_READ = 0x80000000u, GENERIC_WRITE = 0x40000000u, CREATE_ALWAYS = 2, OPEN_ALWAYS = 4,
    FILE_ATTRIBUTE_HIDDEN = 2, FILE_ATTRIBUTE_SYSTEM = 4, FILE_ATTRIBUTE_NORMAL = 0x80, FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000,
    FILE_BEGIN = 0, GMEM_ZEROINIT = 0x40, HEAP_ZERO_MEMORY = 8, PAGE_READWRITE = 4, FILE_MAP_WRITE = 2,
    MOVEFILE_REPLACE_EXISTING = 1, MOVEFILE_DELAY_UNTIL_REBOOT = 4,
    LOCALE_SYSTEM_DEFAULT = 0x800, NORM_IGNORECASE = 1, CSTR_EQUAL = 2,
    ERROR_NOT_ENOUGH_MEMORY = 8, ERROR_INVALID_DATA = 13, ERROR_WRITE_FAULT = 29,
    PBM_SETRANGE32 = 0x0406, PBM_GETRANGE = 0x0407, PBM_SETPOS = 0x0402,
};

// Stands for any result of a call that must not happen in this build.
struct ShimUnreached {
    template <class T> operator T() const { abort(); }
};
#define SHIM_UNREACHED(name) \
    template <class... A> inline ShimUnreached name(A...) { abort(); }

SHIM_UNREACHED(CreateFileA)
SHIM_UNREACHED(SetFileAttributesA)
SHIM_UNREACHED(GetFileSize)
SHIM_UNREACHED(SetFilePointer)
SHIM_UNREACHED(SetEndOfFile)
SHIM_UNREACHED(WriteFile)
SHIM_UNREACHED(CloseHandle)
SHIM_UNREACHED(CreateFileMappingA)
SHIM_UNREACHED(MapViewOfFile)
SHIM_UNREACHED(UnmapViewOfFile)
SHIM_UNREACHED(GetShortPathNameA)
SHIM_UNREACHED(GetWindowsDirectoryA)
SHIM_UNREACHED(LoadLibraryA)
SHIM_UNREACHED(GetProcAddress)
SHIM_UNREACHED(GetModuleHandleA)
SHIM_UNREACHED(FreeLibrary)
SHIM_UNREACHED(GlobalAlloc)
SHIM_UNREACHED(GlobalFree)
SHIM_UNREACHED(HeapAlloc)
SHIM_UNREACHED(HeapFree)
SHIM_UNREACHED(GetProcessHeap)
inline DWORD GetLastError() { abort(); }
SHIM_UNREACHED(SetLastError)
SHIM_UNREACHED(GetLocalTime)
inline DWORD GetTickCount() { abort(); }
SHIM_UNREACHED(CompareStringA)
SHIM_UNREACHED(IsWindow)
SHIM_UNREACHED(PostMessageA)
SHIM_UNREACHED(SendMessageA)
SHIM_UNREACHED(GetDlgItem)
SHIM_UNREACHED(SetDlgItemTextA)
SHIM_UNREACHED(InternetOpenA)
SHIM_UNREACHED(InternetCrackUrlA)
SHIM_UNREACHED(InternetConnectA)
SHIM_UNREACHED(InternetCloseHandle)
SHIM_UNREACHED(InternetGetLastResponseInfoA)
SHIM_UNREACHED(InternetQueryDataAvailable)
SHIM_UNREACHED(InternetReadFile)
SHIM_UNREACHED(FtpCommandA)
SHIM_UNREACHED(FtpOpenFileA)

enum : DWORD {
    ERROR_INTERNET_EXTENDED_ERROR = 12003, ERROR_INTERNET_INVALID_URL = 12005,
    ERROR_INTERNET_CONNECTION_RESET = 12031, FTP_TRANSFER_TYPE_ASCII = 1, FTP_TRANSFER_TYPE_BINARY = 2,
    ICU_ESCAPE = 0x80000000u, INTERNET_DEFAULT_FTP_PORT = 21, INTERNET_SERVICE_FTP = 1,
    INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY = 4,
};

inline int lstrlenA(const char* text) { return text ? (int)strlen(text) : 0; }
inline char* lstrcpyA(char* to, const char* from) { return strcpy(to, from); }
inline char* lstrcatA(char* to, const char* from) { return strcat(to, from); }

// wsprintfA: at most 1024 characters; "%lu" takes a 32-bit value as on
// Windows. Only the characters written reach the destination, so a sanitizer
// sees exactly the bytes the system would write.
inline int wsprintfA(char* out, const char* format, ...) {
    char native[256];
    size_t n = 0;
    for (const char* f = format; *f && n + 2 < sizeof native; f++) {
        native[n++] = *f;
        if (*f != '%') continue;
        while (f[1] == '-' || f[1] == '0' || (f[1] >= '1' && f[1] <= '9')) native[n++] = *++f;
        if (f[1] == 'l') f++;  // the size prefix of a 32-bit value
    }
    native[n] = 0;
    char text[1025];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, native, args);
    va_end(args);
    if (length < 0) length = 0;
    if (length > 1024) length = 1024;
    memcpy(out, text, (size_t)length + 1);
    return length;
}
