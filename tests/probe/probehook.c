/* probehook.dll: loaded by the system into a target process through a
 * WH_CALLWNDPROC hook that the probe sets on one of its threads. It answers
 * the probe's WM_NULL request from inside that thread, where WM_GETICON is
 * an ordinary call. */
#include "probehook.h"

static void icon_size(HICON icon, LONG *w, LONG *h)
{
    ICONINFO ii;
    BITMAP bm;
    *w = *h = 0;
    if (!icon || !GetIconInfo(icon, &ii))
        return;
    if (ii.hbmColor && GetObjectA(ii.hbmColor, sizeof bm, &bm)) {
        *w = bm.bmWidth;
        *h = bm.bmHeight;
    } else if (ii.hbmMask && GetObjectA(ii.hbmMask, sizeof bm, &bm)) {
        *w = bm.bmWidth;
        *h = bm.bmHeight / 2; /* monochrome icons stack AND and XOR masks */
    }
    if (ii.hbmColor)
        DeleteObject(ii.hbmColor);
    if (ii.hbmMask)
        DeleteObject(ii.hbmMask);
}

__declspec(dllexport) LRESULT CALLBACK ProbeCallWndProc(int code, WPARAM wp, LPARAM lp)
{
    const CWPSTRUCT *cwp = (const CWPSTRUCT *)lp;
    if (code == HC_ACTION && cwp && cwp->message == WM_NULL && cwp->wParam == PROBEHOOK_MAGIC) {
        char name[64];
        HANDLE map;
        wsprintfA(name, PROBEHOOK_MAPPING, (unsigned long)cwp->lParam);
        map = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
        if (map) {
            ProbeIconReport *r = (ProbeIconReport *)MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, sizeof *r);
            if (r) {
                HICON big = (HICON)SendMessageA(cwp->hwnd, WM_GETICON, ICON_BIG, 0);
                HICON small = (HICON)SendMessageA(cwp->hwnd, WM_GETICON, ICON_SMALL, 0);
                r->big = (DWORD)(ULONG_PTR)big;
                r->small = (DWORD)(ULONG_PTR)small;
                icon_size(big, &r->big_w, &r->big_h);
                icon_size(small, &r->small_w, &r->small_h);
                r->done = 1;
                UnmapViewOfFile(r);
            }
            CloseHandle(map);
        }
    }
    return CallNextHookEx(NULL, code, wp, lp);
}
