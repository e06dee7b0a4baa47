// Resume record: date, time and size of the file a partial download belongs
// to, and the full name of that partial file, one registry key per install
// number.
#include "transfer.h"

static char* ResumeKeyPath(const InstallSession* session) {
    const char* registryKey = GetRegistryKey();
    char* path = AllocBuffer(lstrlenA(registryKey) + 40);
    if (path) wsprintfA(path, "%s\\Install\\%08d", registryKey, session->installNumber);
    return path;
}

// The key of the record, created when writing; 0 when it cannot be had.
static HKEY OpenRecord(const InstallSession* session, int write) {
    char* path = ResumeKeyPath(session);
    if (!path) return 0;
    HKEY key = 0;
    DWORD disposition;
    LONG opened = write ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, 0, REG_OPTION_NON_VOLATILE,
                                          KEY_ALL_ACCESS, 0, &key, &disposition)
                        : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    FreeBuffer(path);
    return opened == ERROR_SUCCESS ? key : 0;
}

// The number stored under name; 0 when missing or of another type than a
// 4-byte number.
static DWORD QueryNumber(HKEY key, const char* name) {
    DWORD type = REG_DWORD, value = 0, length = 4;
    if (RegQueryValueExA(key, name, 0, &type, (BYTE*)&value, &length) != ERROR_SUCCESS ||
        type != REG_DWORD)
        value = 0;
    return value;
}

DWORD SaveResumeValue(const InstallSession* session, const char* name, DWORD value) {
    HKEY key = OpenRecord(session, 1);
    if (!key) return 0;
    DWORD stored = RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&value, 4) == ERROR_SUCCESS;
    RegCloseKey(key);
    return stored;
}

DWORD LoadResumeValue(const InstallSession* session, const char* name) {
    HKEY key = OpenRecord(session, 0);
    if (!key) return 0;
    DWORD value = QueryNumber(key, name);
    RegCloseKey(key);
    return value;
}

// "File" holds the full name of the partial file the record was written for.
static const char* const valueNames[4] = {"Date", "Time", "Size", "File"};

// The key is shared by every user of the machine, the partial file is not:
// the record speaks only for the file whose full name it holds, byte for
// byte.
int ResumeRecordMatches(const InstallSession* session, const char* fileName, DWORD date,
                        DWORD time, DWORD size) {
    HKEY key = OpenRecord(session, 0);
    if (!key) return 0;
    DWORD wanted[3] = {date, time, size};
    // No file name this program can open is longer.
    char stored[MAX_PATH + 1];
    int same = 1;
    for (int i = 0; i < 4; i++) {
        DWORD type, length = sizeof(stored);
        same &= RegQueryValueExA(key, valueNames[i], 0, &type, (BYTE*)stored, &length) ==
                    ERROR_SUCCESS &&
                (i < 3 ? type == REG_DWORD && length == 4 && wanted[i] &&
                             *(DWORD*)stored == wanted[i]
                       : type == REG_SZ && length && !stored[length - 1] &&
                             SameText(stored, fileName));
    }
    RegCloseKey(key);
    return same;
}

DWORD SaveResumeRecord(const InstallSession* session, const char* fileName, DWORD date,
                       DWORD time, DWORD size) {
    HKEY key = OpenRecord(session, 1);
    if (!key) return 0;
    DWORD values[3] = {date, time, size};
    // The name is emptied first and written last: a run killed in between
    // leaves a record that vouches for no file.
    RegSetValueExA(key, valueNames[3], 0, REG_SZ, (const BYTE*)EmptyString, 1);  // checked below
    DWORD stored = 1;
    for (int i = 0; i < 4; i++) {
        const BYTE* data = (const BYTE*)&values[i];
        DWORD type = REG_DWORD, length = 4;
        if (i == 3) data = (const BYTE*)fileName, type = REG_SZ, length = lstrlenA(fileName) + 1;
        stored &= RegSetValueExA(key, valueNames[i], 0, type, data, length) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return stored;
}

int DeleteResumeRecord(const InstallSession* session) {
    char* path = ResumeKeyPath(session);
    if (!path) return 0;
    LONG deleted = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    FreeBuffer(path);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}
