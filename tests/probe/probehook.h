/* Shared between probe.exe and probehook.dll: how the probe asks a window's
 * own thread for things only that process can see (its window icons;
 * Wine cannot carry WM_GETICON across processes). */
#ifndef PROBEHOOK_H
#define PROBEHOOK_H
#include <windows.h>

/* The probe sends WM_NULL with this wParam and its own process id as
 * lParam; the hook answers in the mapping "probehook.<process id>". */
#define PROBEHOOK_MAGIC 0x50524F42u
#define PROBEHOOK_MAPPING "probehook.%lu"

typedef struct {
    LONG done;
    DWORD big, small; /* WM_GETICON results, non-zero when an icon is set */
    LONG big_w, big_h, small_w, small_h;
} ProbeIconReport;

#endif
