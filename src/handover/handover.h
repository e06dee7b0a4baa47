// Hand-over: the file names in the temporary directory, the launch of the
// finished download, and its deletion at the next reboot.
#pragma once
#include "../run/run.h"

const char* GetTempDirectory();
DWORD DownloadAndLaunch(InstallSession* session, TransferState* state);
DWORD ScheduleDeleteAtReboot(const char* path);

// Adds "NUL=<short path>" to the [Rename] section of the given wininit.ini.
DWORD AddWininitEntry(const char* iniPath, const char* path);

// Position of pattern in text, or -1.
LONG FindSubstring(const char* text, const char* pattern);

// SHA-256 over bytes given in pieces; counts below 4 GiB.
struct Sha256 {
    DWORD hash[8];
    DWORD count;
    BYTE block[64];
};
void Sha256Start(Sha256* state);
void Sha256Add(Sha256* state, const void* data, DWORD length);
void Sha256Finish(Sha256* state, BYTE digest[32]);

#ifdef STUB_SEAMS
// Test builds can look up another name, so the wininit.ini edit is reached
// where the system call exists.
extern const char* SeamMoveFileExName;
#endif
