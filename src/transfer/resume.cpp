// Resume record: date, time and size of the file a partial download belongs
// to, one registry key per install number.
#include "transfer.h"

static char* ResumeKeyPath(const InstallSession* session) {
    const char* registryKey = GetRegistryKey();
    char* path = AllocBuffer(lstrlenA(registryKey) + 40);
    if (path) wsprintfA(path, "%s\\Install\\%08d", registryKey, session->installNumber);
    return path;
}

DWORD SaveResumeValue(const InstallSession* session, const char* name, DWORD value) {
    char* path = ResumeKeyPath(session);
    if (!path) return 0;
    HKEY key;
    DWORD disposition;
    DWORD stored = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, 0, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        0, &key, &disposition) == ERROR_SUCCESS) {
        stored = RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&value, 4) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    FreeBuffer(path);
    return stored;
}

DWORD LoadResumeValue(const InstallSession* session, const char* name) {
    char* path = ResumeKeyPath(session);
    if (!path) return 0;
    DWORD result = 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD type = REG_DWORD, value = 0, length = 4;
        // Anything but a 4-byte number counts as missing.
        if (RegQueryValueExA(key, name, 0, &type, (BYTE*)&value, &length) == ERROR_SUCCESS &&
            type == REG_DWORD)
            result = value;
        RegCloseKey(key);
    }
    FreeBuffer(path);
    return result;
}

static const char* const valueNames[3] = {"Date", "Time", "Size"};

void LoadResumeRecord(const InstallSession* session, DWORD values[3]) {
    for (int i = 0; i < 3; i++) values[i] = LoadResumeValue(session, valueNames[i]);
}

void SaveResumeRecord(const InstallSession* session, DWORD date, DWORD time, DWORD size) {
    DWORD values[3] = {date, time, size};
    for (int i = 0; i < 3; i++) SaveResumeValue(session, valueNames[i], values[i]);  // failures only cost the resume
}

void DeleteResumeRecord(const InstallSession* session) {
    char* path = ResumeKeyPath(session);
    if (!path) return;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);  // a key left behind is overwritten next time
    FreeBuffer(path);
}
