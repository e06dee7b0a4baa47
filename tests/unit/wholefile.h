// Files for the tests that edit them on disk: whole-file reads and writes,
// and a place for a wininit.ini and the program its entry names.
#pragma once
#include <windows.h>
#include <string>

// The file's bytes, or "<missing>" when it cannot be opened.
inline std::string ReadAll(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes(GetFileSize(file, 0), '\0');
    DWORD read = 0;
    if (!bytes.empty()) ReadFile(file, &bytes[0], (DWORD)bytes.size(), &read, 0);
    CloseHandle(file);
    return bytes;
}

inline void WriteAll(const char* path, const std::string& bytes) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    DWORD written = 0;
    if (!bytes.empty()) WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, 0);
    CloseHandle(file);
}

// A directory of its own under the temporary directory holding a program
// file (the target of a wininit.ini entry) and the place of a wininit.ini.
struct WininitPlace {
    char dir[MAX_PATH], ini[MAX_PATH], target[MAX_PATH], shortTarget[MAX_PATH];

    // False when the target has no short path.
    bool Make(const char* dirName, const char* targetName) {
        GetTempPathA(MAX_PATH, dir);
        lstrcatA(dir, dirName);
        CreateDirectoryA(dir, 0);
        wsprintfA(ini, "%s\\wininit.ini", dir);
        wsprintfA(target, "%s\\%s", dir, targetName);
        WriteAll(target, "MZ");
        DeleteFileA(ini);
        return GetShortPathNameA(target, shortTarget, MAX_PATH) != 0;
    }

    void Remove() {
        DeleteFileA(ini);
        DeleteFileA(target);
        RemoveDirectoryA(dir);
    }
};
