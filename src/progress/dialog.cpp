// The progress dialog and the thread that owns it: hidden for a grace
// period, then shown until the run ends or the user cancels.
#include "progress.h"
#include "../transfer/transfer.h"
#include <commctrl.h>

#ifdef STUB_SEAMS
DWORD SeamGraceTicks = 2000;
#define graceTicks SeamGraceTicks
#else
enum { graceTicks = 2000 };
#endif

// How long a cancelled run may take to end by itself.
enum { cancelGrace = 3000 };

static void InitProgressDialog(HWND window) {
    SetWindowTextA(window, GetTitle());

    HWND icon = GetDlgItem(window, IDC_ICON);
    RECT box;
    GetWindowRect(icon, &box);
    POINT corner = {box.left, box.top};
    ScreenToClient(window, &corner);
    MoveWindow(icon, corner.x, corner.y, 48, 48, TRUE);

    HWND bar = GetDlgItem(window, IDC_PROGRESS);
    SendMessageA(bar, PBM_SETRANGE32, 0, 100);
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    SetDlgItemTextA(window, IDC_TIMELEFT, "n/a");
    SetDlgItemTextA(window, IDC_RATE, "n/a");

    if (theSession.quiet) {
        HWND cancel = GetDlgItem(window, IDCANCEL);
        if (cancel) DestroyWindow(cancel);
        SetWindowLongA(window, GWL_STYLE, GetWindowLongA(window, GWL_STYLE) & ~WS_SYSMENU);
    }

    HICON appIcon = LoadIconA(instanceHandle, MAKEINTRESOURCEA(IDI_APP));
    SendMessageA(window, WM_SETICON, ICON_BIG, (LPARAM)appIcon);
    SendMessageA(window, WM_SETICON, ICON_SMALL, (LPARAM)appIcon);
}

// The dialog stops being the run's dialog, before it goes: nobody posts to
// its handle from then on, which the system may give to another program's
// window once the dialog is gone (at once on the Windows 95 family).
static void ForgetDialog(TransferState* state, HWND dialog) {
    if (!state) return;
    LockHandles(state);
    if (state->dialogWindow == dialog) state->dialogWindow = 0;
    UnlockHandles(state);
}

static void AskCancel(HWND window) {
    if (MessageBoxA(window, "Do you want to cancel download ?", GetTitle(),
                    MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    TransferState* state = (TransferState*)GetWindowLongPtrA(window, DWLP_USER);
    if (state) state->stopRequested = 1;
    DestroyWindow(window);
    // Closing the transfer's handles cuts its blocking call short where the
    // client allows it. Where the call waits on all the same (Wine's client
    // does), the run ends here: the file holds what was written, a prefix of
    // the download, and the record names the download, as after any cancel.
    if (state && CutTransfer(state)) {
        Sleep(cancelGrace);
        TerminateProcess(GetCurrentProcess(), 0);
    }
}

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        InitProgressDialog(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDCANCEL) return 0;
        SendMessageA(window, WM_CLOSE, 0, 0);
        return 1;
    case WM_CLOSE:
        AskCancel(window);
        return 1;
    case WM_DESTROY:
        ForgetDialog((TransferState*)GetWindowLongPtrA(window, DWLP_USER), window);
        PostQuitMessage(0);
        return 1;
    case UM_PROGRESS:
        // Cleared before the counters are read: a post that finds the mark
        // still set is shown by this refresh.
        InterlockedExchange(&((TransferState*)lParam)->refreshPending, 0);
        RefreshProgress((TransferState*)lParam);
        return 0;
    case UM_STATUS:
        SetDlgItemTextA(window, IDC_STATUS, (const char*)lParam);
        return 0;
    case UM_ACTIVATE:
        if (IsWindowVisible(window)) {
            BringWindowToTop(window);
            SetActiveWindow(window);
            SetForegroundWindow(window);
        }
        return 0;
    }
    return 0;
}

static int TransferComplete(const TransferState* state) {
    return state->totalBytes != 0 && state->doneBytes >= state->totalBytes;
}

// Whether the grace period ends the thread: the download is complete, or
// the run no longer wants a window. Decided under the lock, so a run that
// takes the dialog over for another transfer either keeps it or sees it gone.
static int GivesUp(TransferState* state, HWND dialog) {
    LockHandles(state);
    int leave = state->uiQuit || TransferComplete(state);
    if (leave && state->dialogWindow == dialog) state->dialogWindow = 0;
    UnlockHandles(state);
    return leave;
}

DWORD WINAPI ProgressThread(LPVOID parameter) {
    TransferState* state = (TransferState*)parameter;
    HWND dialog = CreateDialogParamA(instanceHandle, MAKEINTRESOURCEA(IDD_PROGRESS),
                                     state->ownerWindow, ProgressDialogProc, (LPARAM)state);
    if (dialog) {
        SetWindowLongPtrA(dialog, DWLP_USER, (LONG_PTR)state);
        SetWindowTextA(dialog, GetTitle());
    }
    state->dialogWindow = dialog;
    SetEvent(state->readyEvent);

    // A download that finishes quickly never flashes a window; the thread
    // ends and its dialog goes with it.
    DWORD start = GetTickCount();
    while (GetTickCount() - start < graceTicks && !state->showNow) {
        Sleep(100);
        if (GivesUp(state, dialog)) return 0;
    }
    if (GivesUp(state, dialog)) return 0;
    if (!dialog) return (DWORD)-1;
    ShowWindow(dialog, SW_SHOW);

    MSG message;
    for (;;) {
        BOOL got = GetMessageA(&message, 0, 0, 0);
        if (got == 0 || state->uiQuit) break;
        if (got == -1) continue;
        if (!IsDialogMessageA(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    ForgetDialog(state, dialog);
    return 0;
}

HWND UseProgressWindow(TransferState* state) {
    LockHandles(state);
    HWND dialog = state->dialogWindow;
    if (dialog) {
        state->startTick = GetTickCount();
        state->totalBytes = 0;
        state->doneBytes = 0;
    }
    UnlockHandles(state);
    return dialog ? dialog : StartProgressWindow(state);
}

BOOL PostToDialog(TransferState* state, UINT message, LPARAM lParam) {
    LockHandles(state);
    HWND dialog = state->dialogWindow;
    BOOL posted = dialog && PostMessageA(dialog, message, 0, lParam);
    UnlockHandles(state);
    return posted;
}

void EndProgressWindow(TransferState* state) {
    LockHandles(state);
    state->uiQuit = 1;
    HWND dialog = state->dialogWindow;
    if (dialog) {
        // Made by the dialog's thread, which takes it also while it waits
        // for the lock held here.
        ShowWindow(dialog, SW_HIDE);
        PostMessageA(dialog, WM_NULL, 0, 0);  // wakes the loop to see uiQuit
    }
    UnlockHandles(state);
}

HWND StartProgressWindow(TransferState* state) {
    // A confirmed cancel is never cleared: it holds for the whole run.
    state->dialogWindow = 0;
    state->readyEvent = CreateEventA(0, TRUE, FALSE, 0);
    state->startTick = GetTickCount();
    state->totalBytes = 0;
    state->doneBytes = 0;
    state->lastRefreshTick = 0;
    state->refreshPending = 0;
    // Without the event or the thread the transfer runs without a window
    // rather than waiting for one that never comes.
    if (!state->readyEvent) return 0;
    HANDLE thread = CreateThread(0, 0, ProgressThread, state, 0, 0);
    if (thread) {
        WaitForSingleObject(state->readyEvent, INFINITE);
        CloseHandle(thread);
    }
    CloseHandle(state->readyEvent);
    return state->dialogWindow;
}
