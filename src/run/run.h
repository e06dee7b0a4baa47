// Run control: the two process-wide records, the private messages, the
// configuration loader and the run sequence.
#pragma once
#include <windows.h>
#include <wininet.h>
#include "../../resources/resource.h"

enum {
    UM_PROGRESS = WM_USER + 700,  // 1724: dialog, refresh from the record in lParam
    UM_ACTIVATE = WM_USER + 701,  // 1725: fixed across builds, travels between copies
    UM_STATUS = WM_USER + 702     // 1726: dialog, the status line's text in lParam
};

// Configuration of this distribution, loaded once at start.
struct InstallSession {
    DWORD size;
    const char* productCode;
    const char* registryKey;
    const char* downloadUrl;
    const char* title;
    const char* campaign;
    const char* eventUrl;
    DWORD installNumber;
    DWORD quiet;
};

// Patchable block in the initialised data; found in the built file by its
// marker, so the layout must not change.
struct StampBlock {
    unsigned char marker[12];
    DWORD installNumber;
    DWORD quiet;
    DWORD reserved;
};

// Shared by the main thread (transfer, launch) and the progress thread.
// Every field is one 32-bit value read and written whole; no locks.
struct TransferState {
    HWND ownerWindow;
    HWND volatile dialogWindow;
    HANDLE readyEvent;
    volatile DWORD startTick;
    volatile DWORD totalBytes;
    volatile DWORD doneBytes;
    volatile DWORD lastRefreshTick;
    volatile DWORD baseBytes;
    volatile DWORD stopRequested;
    volatile DWORD errorCode;
    volatile DWORD uiQuit;
    HINTERNET internetHandle;
    HINTERNET requestHandle;
    HANDLE fileHandle;
    // errorCode holds an HTTP status, not a system code: the same numbers
    // name unrelated system errors.
    volatile DWORD errorIsStatus;
    // Held while an internet handle of the transfer is stored or closed (by
    // the transfer, the run's end or a cancel on the progress thread), and
    // while another thread posts to or hides the dialog: dialogWindow is a
    // live dialog or none, since its thread clears it under this lock before
    // the dialog can go.
    volatile LONG handleLock;
    // A refresh has been posted and not yet handled.
    volatile LONG refreshPending;
    // The seconds a 429 or 503 asked the client to wait (0: none said).
    DWORD retryAfter;
    // Set when a retry waits: the dialog shows at once, not after its grace.
    volatile DWORD showNow;
    // The FTP server's reply code to the command that failed (0: none), kept
    // when it failed: closing the connection may bring another reply.
    DWORD replyCode;
    // The watchdog's view of a try on a thread of its own: the thread that
    // owns the try (0: a try on the caller's thread, unwatched), and the
    // tick its wait for the network began (0: not waiting). Both change
    // under handleLock.
    volatile DWORD worker;
    volatile DWORD waitStart;
};

extern InstallSession theSession;
extern TransferState theState;
extern HINSTANCE instanceHandle;
extern const char EmptyString[1];
extern volatile StampBlock stampBlock;

// Zero-filled blocks from the process heap (the global allocator draws on
// it too, and costs less code per call); every buffer but the cached texts
// goes back through FreeBuffer.
inline char* AllocBuffer(DWORD size) {
    return (char*)GlobalAlloc(GMEM_ZEROINIT, size);
}
inline void FreeBuffer(void* block) {
    GlobalFree(block);  // nothing happens to a null block
}
inline int HasHandle(const void* handle) {
    return handle != 0 && handle != INVALID_HANDLE_VALUE;
}
void LockHandles(TransferState* state);
void UnlockHandles(TransferState* state);

const char* LoadTextResource(UINT id);
// A valid campaign tag in the file's certificate table replaces the stamped
// campaign (and install number, when it gives one); anything else is ignored.
void ReadTag(InstallSession* session);
void LoadConfiguration();
const char* GetRegistryKey();
const char* GetTitle();
const char* GetDownloadUrl();

// The text of the final error box for a system or client code, or for an
// HTTP status when isStatus is non-zero; the caller frees it.
char* FormatErrorText(DWORD code, DWORD isStatus);
extern const char errorIntro[];
void ShowErrorBox(DWORD code, DWORD isStatus);
// The process's fault filter: the error box, then the end of the run.
LONG WINAPI ReportFault(EXCEPTION_POINTERS* fault);

extern "C" int EntryStub();
LRESULT CALLBACK RelayWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
