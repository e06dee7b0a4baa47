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
// The same within the first limit bytes of text (ended early by a zero byte);
// nothing at or past text + limit is read.
LONG FindSubstringWithin(const char* text, DWORD limit, const char* pattern);

// SHA-256 over bytes given in pieces; counts below 4 GiB.
struct Sha256 {
    DWORD hash[8];
    DWORD count;
    BYTE block[64];
};
void Sha256Start(Sha256* state);
void Sha256Add(Sha256* state, const void* data, DWORD length);
void Sha256Finish(Sha256* state, BYTE digest[32]);

// The setup's pinned SHA-256 (TEXT 2010) as bytes, and whether there is one.
extern BYTE setupHash[32];
extern DWORD setupHashPinned;
// 1 when text is exactly 64 hex digits (either case), read into digest.
DWORD ParseSha256(const char* text, BYTE digest[32]);
// Reads TEXT 2010: 1 when it is missing, empty or well-formed; 0 when it is
// not 64 hex digits, a broken distribution.
DWORD LoadSetupHash();
// The SHA-256 of an open file, read from its start; 0 when it cannot be
// read (errorCode says why) or the user cancelled.
DWORD HashFile(TransferState* state, HANDLE file, BYTE digest[32]);
// Renames a finished download to launchFile and holds it open: others may
// read it, not write, rename or delete it. The handle, or the invalid-handle
// value with errorCode set.
HANDLE HoldDownload(TransferState* state, const char* downloadFile, const char* launchFile);
// Lets go of a held download and gives it back its download name.
void ReturnDownload(HANDLE held, const char* launchFile, const char* downloadFile);
// The finished download (the transfer's result in ok), held under the launch
// name; with a pinned hash, only once it matches (a wrong file is fetched once
// more from zero). The invalid-handle value when there is nothing to start:
// cancelled, incomplete, or failed (errorCode says why when it knows).
HANDLE TakeDownload(InstallSession* session, TransferState* state, const char* downloadFile,
                    const char* launchFile, DWORD ok);

// The error of a setup that failed its check twice, with a box text of its
// own; newer headers name it.
#ifndef ERROR_INVALID_IMAGE_HASH
#define ERROR_INVALID_IMAGE_HASH 577
#endif

#ifdef STUB_SEAMS
// Test builds can look up another name, so the wininit.ini edit is reached
// where the system call exists.
extern const char* SeamMoveFileExName;
// Test builds see every chunk the file check is about to read.
extern void (*SeamHashHook)(TransferState* state);
// Called with the view of wininit.ini before it is searched, so tests can
// put bytes of their own past the old end.
extern void (*SeamMappedView)(char* view, DWORD oldLength, DWORD mappedLength);
#endif
