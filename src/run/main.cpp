// Process entry and the run sequence: single-instance guard, relay window,
// start and finish events, the download, and the final error box.
#include "run.h"
#include "../handover/handover.h"
#include "../events/events.h"
#include "../transfer/transfer.h"
#include "../progress/progress.h"
#include <commctrl.h>

static const char* instanceName;

LRESULT CALLBACK RelayWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == UM_ACTIVATE) {
        PostToDialog(&theState, UM_ACTIVATE, 0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The relay window lives on a thread of its own with its own message loop,
// so a second copy's SendMessage is answered at once instead of waiting for
// the download to end.
static DWORD WINAPI RelayThread(LPVOID) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = RelayWndProc;
    windowClass.hInstance = instanceHandle;
    windowClass.lpszClassName = instanceName;
    RegisterClassA(&windowClass);  // failure shows as a failed create below
    if (!CreateWindowExA(0, instanceName, EmptyString, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, instanceHandle, 0))
        return 0;
    MSG message;
    while (GetMessageA(&message, 0, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}

// From Windows 98 and 2000 on a process may take the foreground only when
// the foreground process lets it, and the user has just started this copy,
// not the first one. Windows 95 and NT 4.0 have neither the rule nor the call.
static void AllowAnyForeground() {
    typedef BOOL(WINAPI * AllowCall)(DWORD);
    AllowCall allow = (AllowCall)GetProcAddress(GetModuleHandleA("user32.dll"),
                                                "AllowSetForegroundWindow");
    if (allow) allow((DWORD)-1);  // ASFW_ANY; refused, the dialog only flashes
}

static void CloseLeftovers(TransferState* state) {
    CloseInternet(state);  // the way a cancel's closes are kept apart from ours
    if (HasHandle(state->fileHandle)) CloseHandle(state->fileHandle);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    InstallSession* session = &theSession;
    TransferState* state = &theState;

    instanceHandle = GetModuleHandleA(0);
    session->installNumber = stampBlock.installNumber;
    session->quiet = stampBlock.quiet;
    InitCommonControls();
    LoadConfiguration();

    char* name = AllocBuffer(lstrlenA(session->productCode) + 24);
    if (!name) return -1;
    wsprintfA(name, "MiniMutex.%s", session->productCode);
    instanceName = name;

    HANDLE mutex = CreateMutexA(0, FALSE, name);
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (mutex) CloseHandle(mutex);
        HWND other = FindWindowA(name, 0);
        if (IsWindow(other)) {
            AllowAnyForeground();
            SendMessageA(other, UM_ACTIVATE, 0, 0);
        }
        return -1;
    }

    // A pinned hash that is not 64 hex digits, or a retry count that is no
    // number in range, makes a broken distribution: it stores, reports and
    // fetches nothing.
    if (!LoadSetupHash() || !LoadRetries()) {
        ShowErrorBox(ERROR_BAD_CONFIGURATION, 0);
        return 0;
    }

    ReadTag(session);
    HANDLE relay = CreateThread(0, 0, RelayThread, 0, 0, 0);
    if (relay) CloseHandle(relay);

    HKEY key = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, session->registryKey, 0, 0, 0, KEY_ALL_ACCESS,
                        0, &key, 0) == ERROR_SUCCESS && key) {
        RegSetValueExA(key, "Campaign", 0, REG_SZ, (const BYTE*)session->campaign,
                       lstrlenA(session->campaign) + 1);
        RegCloseKey(key);
    }

    SetUnhandledExceptionFilter(ReportFault);
    SendEvent(session, 1);
    DWORD ok = DownloadAndLaunch(session, state);
    EndProgressWindow(state);

    if (ok) {
        if (state->doneBytes == state->totalBytes) SendEvent(session, 0);
    } else if (state->errorCode && !state->stopRequested) {
        // After a cancel, calls the cancel cut short report failures of
        // their own; the user asked to stop and hears nothing more.
        ShowErrorBox(state->errorCode, state->errorIsStatus);
    }
    CloseLeftovers(state);
    ExitProcess(0);
}

extern "C" int EntryStub() {
    HMODULE module = GetModuleHandleA(0);
    STARTUPINFOA startup;
    startup.cb = sizeof(startup);
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    // Ending through ExitProcess makes WinMain's result the exit code even
    // while other threads still run.
    ExitProcess(WinMain(module, 0, GetCommandLineA(), show));
}
