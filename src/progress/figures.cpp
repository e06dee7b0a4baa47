// Progress figures: amounts, time left and rate, all in 32-bit integers,
// and the throttled refresh requests from the transfer.
#include "progress.h"
#include <commctrl.h>

DWORD downloadingShown;

void FormatSize(DWORD bytes, char* text) {
    DWORD kilobytes = bytes >> 10;
    if (kilobytes < 1000)
        wsprintfA(text, "%d KB", kilobytes);
    else
        wsprintfA(text, "%d.%d MB", kilobytes / 1024, ((kilobytes % 1024) * 10) / 1024);
}

void FormatProgressLines(const TransferState* state, DWORD now, char* timeLine, char* rateLine) {
    LONG elapsedSeconds = (LONG)(now - state->startTick) / 1000;
    if (elapsedSeconds == 0) elapsedSeconds = 1;
    LONG bytesThisRun = (LONG)(state->doneBytes - state->baseBytes);
    DWORD totalBytes = state->totalBytes;

    char timeBuffer[40];
    const char* timeText = "n/a";
    if (bytesThisRun > 0 && elapsedSeconds > 0) {
        LONG bytesPerSecond = bytesThisRun / elapsedSeconds;
        LONG secondsLeft = (LONG)(totalBytes - state->doneBytes);
        // With the size never learnt there is nothing to count down to.
        if (bytesPerSecond != 0 && totalBytes != 0 && secondsLeft >= 0) {
            secondsLeft /= bytesPerSecond;
            if (secondsLeft <= 60)
                wsprintfA(timeBuffer, "%d sec", secondsLeft);
            else
                wsprintfA(timeBuffer, "%d min %d sec", secondsLeft / 60, secondsLeft % 60);
            timeText = timeBuffer;
        }
    }

    char doneText[20], totalText[20];
    FormatSize(state->doneBytes, doneText);
    FormatSize(totalBytes, totalText);
    wsprintfA(timeLine, "%s (%s of %s downloaded)", timeText, doneText, totalText);

    // "n/a" has no field, so the number is ignored there.
    wsprintfA(rateLine, bytesThisRun <= 0 ? "n/a" : "%d KB/Sec", bytesThisRun / 1024 / elapsedSeconds);
}

DWORD BarFigure(DWORD bytes, DWORD totalBytes) {
    // The bar takes signed numbers: from 2 GiB on both are halved.
    return bytes >> (totalBytes >> 31);
}

int ProgressDue(const TransferState* state, DWORD now) {
    return state->doneBytes == state->totalBytes || now - state->lastRefreshTick >= 800;
}

#ifdef STUB_SEAMS
void (*SeamProgressHook)(TransferState* state);
#endif

void PostProgress(TransferState* state) {
#ifdef STUB_SEAMS
    if (SeamProgressHook) SeamProgressHook(state);
#endif
    if (!ProgressDue(state, GetTickCount())) return;
    // One refresh waits in the dialog's queue at most: it shows the counters
    // as they are when it is handled. Without the mark every chunk of the
    // grace period would post one, thousands, enough to fill the queue and
    // drop the messages that matter.
    if (InterlockedExchange(&state->refreshPending, 1)) return;
    if (!PostToDialog(state, UM_PROGRESS, (LPARAM)state))
        state->refreshPending = 0;  // no dialog, or lost: the next chunk asks again
}

void PostStatus(TransferState* state, const char* text) {
    PostToDialog(state, UM_STATUS, (LPARAM)text);  // lost: the old text stays
}

void RefreshProgress(TransferState* state) {
    state->lastRefreshTick = GetTickCount();
    HWND dialog = state->dialogWindow;
    DWORD totalBytes = state->totalBytes;
    DWORD doneBytes = state->doneBytes;

    HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
    DWORD range = BarFigure(totalBytes, totalBytes);
    if ((DWORD)SendMessageA(bar, PBM_GETRANGE, FALSE, 0) != range)
        SendMessageA(bar, PBM_SETRANGE32, 0, range);
    SendMessageA(bar, PBM_SETPOS, BarFigure(doneBytes, totalBytes), 0);

    char timeLine[80], rateLine[80];
    FormatProgressLines(state, GetTickCount(), timeLine, rateLine);
    SetDlgItemTextA(dialog, IDC_TIMELEFT, timeLine);
    SetDlgItemTextA(dialog, IDC_RATE, rateLine);

    if (doneBytes == totalBytes && totalBytes != 0) {
        SetDlgItemTextA(dialog, IDC_STATUS, "Download complete.");
    } else if (!downloadingShown && doneBytes != 0) {
        SetDlgItemTextA(dialog, IDC_STATUS, "Downloading installation files...");
        downloadingShown = 1;
    }
}
