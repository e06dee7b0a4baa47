// Progress window: the dialog on its own thread, the cancel question, and
// the figures it shows.
#pragma once
#include "../run/run.h"

HWND StartProgressWindow(TransferState* state);
// A live dialog for the next transfer of the run: the one it has while its
// thread still runs (counters started afresh), else a new one.
HWND UseProgressWindow(TransferState* state);
// Posts to the run's dialog; 0 when it has none or the post failed.
BOOL PostToDialog(TransferState* state, UINT message, LPARAM lParam);
// Hides the dialog and lets its thread end (uiQuit): before the setup
// starts and at the run's end.
void EndProgressWindow(TransferState* state);
DWORD WINAPI ProgressThread(LPVOID state);
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void PostProgress(TransferState* state);
// Asks the dialog to show text (a constant) as its status line.
void PostStatus(TransferState* state, const char* text);
void RefreshProgress(TransferState* state);

// "%d KB" or "%d.%d MB" into text (20 bytes).
void FormatSize(DWORD bytes, char* text);

// The two figure lines of a refresh made at tick count now: timeLine for the
// time left with the amounts, rateLine for the rate (80 bytes each).
void FormatProgressLines(const TransferState* state, DWORD now, char* timeLine, char* rateLine);

// A byte count as the bar shows it, for a file of totalBytes: both below
// 2 GiB, in the same ratio.
DWORD BarFigure(DWORD bytes, DWORD totalBytes);

// The post throttle: non-zero when a refresh should be requested at now.
int ProgressDue(const TransferState* state, DWORD now);

extern DWORD downloadingShown;

#ifdef STUB_SEAMS
// Test builds see every progress report of the transfer.
extern void (*SeamProgressHook)(TransferState* state);
// How long a new dialog stays hidden, so a test can make a download come
// within it however loaded the machine is.
extern DWORD SeamGraceTicks;
#endif
