// Whole-file reads and writes for the tests that edit files on disk.
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
