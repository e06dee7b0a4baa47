// Deletion of the started copy at the next reboot: the system's request
// where it exists, else an entry in wininit.ini for the Windows 95 family.
#include "handover.h"

#ifdef STUB_SEAMS
const char* SeamMoveFileExName = "MoveFileExA";
void (*SeamMappedView)(char* view, DWORD oldLength, DWORD mappedLength);
#define MOVE_FILE_EX_NAME SeamMoveFileExName
#else
#define MOVE_FILE_EX_NAME "MoveFileExA"
#endif

LONG FindSubstringWithin(const char* text, DWORD limit, const char* pattern) {
    for (DWORD i = 0; i < limit && text[i]; i++) {
        DWORD j = 0;
        while (pattern[j] && i + j < limit && text[i + j] == pattern[j]) j++;
        if (!pattern[j]) return i;
    }
    return -1;
}

LONG FindSubstring(const char* text, const char* pattern) {
    return FindSubstringWithin(text, 0x7FFFFFFF, pattern);
}

static const char renameHeader[] = "[Rename]\r\n";

// Writes a line break at 'at' when the text before it ends without one, so
// the existing last line stays intact; returns the offset behind it.
static DWORD EndLastLine(char* view, DWORD at) {
    if (at > 0 && view[at - 1] != '\n') {
        view[at++] = '\r';
        view[at++] = '\n';
    }
    return at;
}

DWORD AddWininitEntry(const char* iniPath, const char* path) {
    DWORD result = 0;
    char* line = AllocBuffer(1024);
    char* shortPath = AllocBuffer(1024);
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD lineLength, oldLength, finalLength;
    HANDLE mapping;
    if (!line || !shortPath) goto done;

    lineLength = GetShortPathNameA(path, shortPath, 1024);
    if (!lineLength || lineLength >= 1024) shortPath[0] = 0;
    // A cut entry would lose its line end and spoil the next line.
    if (lstrlenA(shortPath) > 1016) goto done;
    lineLength = wsprintfA(line, "%s=%s\r\n", "NUL", shortPath);

    file = CreateFileA(iniPath, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, 0);
    if (file == INVALID_HANDLE_VALUE) goto done;
    oldLength = GetFileSize(file, 0);
    finalLength = oldLength;

    // Room for a line break, the section header and the entry.
    mapping = CreateFileMappingA(file, 0, PAGE_READWRITE, 0, oldLength + 2 + 10 + lineLength, 0);
    if (mapping) {
        char* view = (char*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
        if (view) {
#ifdef STUB_SEAMS
            if (SeamMappedView) SeamMappedView(view, oldLength, oldLength + 12 + lineLength);
#endif
            // Only the old text is searched: what the grown part of the
            // view reads is not promised.
            DWORD insertAt;
            LONG section = FindSubstringWithin(view, oldLength, renameHeader);
            LONG next = section < 0 ? -1
                                    : FindSubstringWithin(view + section + 9, oldLength - section - 9,
                                                          "\n[");
            if (section < 0) {
                insertAt = EndLastLine(view, oldLength);
                for (int i = 0; i < 10; i++) view[insertAt++] = renameHeader[i];
                finalLength = insertAt + lineLength;
            } else if (next < 0) {
                insertAt = EndLastLine(view, oldLength);
                finalLength = insertAt + lineLength;
            } else {
                // Make room in front of the next section's header.
                insertAt = section + 9 + next + 1;
                for (DWORD i = oldLength; i > insertAt; i--) view[i - 1 + lineLength] = view[i - 1];
                finalLength = oldLength + lineLength;
            }
            for (DWORD i = 0; i < lineLength; i++) view[insertAt + i] = line[i];
            UnmapViewOfFile(view);
            result = 1;
        }
        CloseHandle(mapping);
    }
    // The mapping grew the file; cut it to what was written (or back to its
    // old size). A mapped file cannot be cut, hence after the unmap.
    SetFilePointer(file, finalLength, 0, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);

done:
    FreeBuffer(line);
    FreeBuffer(shortPath);
    return result;
}

DWORD ScheduleDeleteAtReboot(const char* path) {
    typedef BOOL(WINAPI * MoveFileExProc)(LPCSTR, LPCSTR, DWORD);
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    if (kernel) {
        MoveFileExProc moveFileEx = (MoveFileExProc)GetProcAddress(kernel, MOVE_FILE_EX_NAME);
        BOOL scheduled =
            moveFileEx && moveFileEx(path, 0, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
        FreeLibrary(kernel);
        if (scheduled) return 1;
    }

    char* iniPath = AllocBuffer(1024);
    if (!iniPath) return 0;
    DWORD result = 0;
    DWORD length = GetWindowsDirectoryA(iniPath, 1008);
    if (length && length < 1008) {
        wsprintfA(iniPath + length, "\\wininit.ini");
        result = AddWininitEntry(iniPath, path);
    }
    FreeBuffer(iniPath);
    return result;
}
