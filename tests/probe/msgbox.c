/*
 * msgbox: windows of known shape for the harness's own tests.
 *
 *   msgbox TEXT CAPTION [TYPE]     MessageBoxA(NULL, TEXT, CAPTION, TYPE);
 *                                  exit code = the button pressed
 *   msgbox --dialog TITLE POS [icons]
 *                                  a dialog with a progress bar (0..100 at
 *                                  POS), a status line, a label and OK and
 *                                  Cancel buttons; exit code = the command
 *                                  that ended it (WM_CLOSE gives 3); with
 *                                  "icons" it sets a big (32x32) and a small
 *                                  (16x16) window icon
 *   msgbox --stall TITLE MS        shows the same dialog, then sleeps MS
 *                                  without handling a message; exit code 0
 *   msgbox --exit N                exits at once with code N
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>
#include <string.h>

#define IDC_BAR 1000
#define IDC_STATUS 1004

static int bar_pos;
static int with_icons;
static const char *dialog_title;

static INT_PTR CALLBACK dialog_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp)
{
    (void)lp;
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowTextA(h, dialog_title);
        SendDlgItemMessageA(h, IDC_BAR, PBM_SETRANGE32, 0, 100);
        SendDlgItemMessageA(h, IDC_BAR, PBM_SETPOS, (WPARAM)bar_pos, 0);
        if (with_icons) {
            HICON big = (HICON)LoadImageA(NULL, (LPCSTR)IDI_APPLICATION, IMAGE_ICON, 32, 32, LR_SHARED);
            HICON small = (HICON)LoadImageA(NULL, (LPCSTR)IDI_APPLICATION, IMAGE_ICON, 16, 16, LR_SHARED);
            SendMessageA(h, WM_SETICON, ICON_BIG, (LPARAM)big);
            SendMessageA(h, WM_SETICON, ICON_SMALL, (LPARAM)small);
        }
        return TRUE;
    case WM_COMMAND:
        EndDialog(h, LOWORD(wp));
        return TRUE;
    case WM_CLOSE:
        EndDialog(h, 3);
        return TRUE;
    }
    return FALSE;
}

/* In-memory DLGTEMPLATE: WORD-aligned header, then DWORD-aligned items. */
static WORD *put_wstr(WORD *p, const char *s)
{
    while (*s)
        *p++ = (WORD)(unsigned char)*s++;
    *p++ = 0;
    return p;
}

static WORD *align4(WORD *p)
{
    return (WORD *)(((ULONG_PTR)p + 3) & ~(ULONG_PTR)3);
}

static WORD *put_item(WORD *p, DWORD style, short x, short y, short cx, short cy,
                      WORD id, WORD cls_atom, const char *cls_name, const char *text)
{
    DLGITEMTEMPLATE *it;
    p = align4(p);
    it = (DLGITEMTEMPLATE *)p;
    it->style = style;
    it->dwExtendedStyle = 0;
    it->x = x;
    it->y = y;
    it->cx = cx;
    it->cy = cy;
    it->id = id;
    p = (WORD *)(it + 1);
    if (cls_name) {
        p = put_wstr(p, cls_name);
    } else {
        *p++ = 0xFFFF;
        *p++ = cls_atom;
    }
    p = put_wstr(p, text);
    *p++ = 0; /* no creation data */
    return p;
}

static DLGTEMPLATE *build_template(void)
{
    static DWORD buffer[1024];
    DLGTEMPLATE *t = (DLGTEMPLATE *)buffer;
    WORD *p;

    memset(buffer, 0, sizeof buffer);
    t->style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | WS_VISIBLE;
    t->cdit = 5;
    t->x = 0;
    t->y = 0;
    t->cx = 200;
    t->cy = 90;
    p = (WORD *)(t + 1);
    *p++ = 0; /* no menu */
    *p++ = 0; /* default class */
    p = put_wstr(p, "placeholder");
    p = put_item(p, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 140, 70, 50, 14, IDCANCEL, 0x0080, NULL, "Cancel");
    p = put_item(p, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 85, 70, 50, 14, IDOK, 0x0080, NULL, "OK");
    p = put_item(p, WS_CHILD | WS_VISIBLE, 10, 40, 180, 8, IDC_BAR, 0, PROGRESS_CLASSA, "");
    p = put_item(p, WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 10, 180, 20, IDC_STATUS, 0x0082, NULL, "Working...");
    p = put_item(p, WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 55, 60, 8, 0xFFFF, 0x0082, NULL, "Label:");
    (void)p;
    return t;
}

int main(int argc, char **argv)
{
    InitCommonControls();
    if (argc >= 3 && !strcmp(argv[1], "--exit"))
        ExitProcess((UINT)strtol(argv[2], NULL, 0));
    if (argc >= 4 && !strcmp(argv[1], "--dialog")) {
        dialog_title = argv[2];
        bar_pos = atoi(argv[3]);
        with_icons = argc >= 5 && !strcmp(argv[4], "icons");
        return (int)DialogBoxIndirectParamA(GetModuleHandleA(NULL), build_template(), NULL, dialog_proc, 0);
    }
    if (argc >= 4 && !strcmp(argv[1], "--stall")) {
        dialog_title = argv[2];
        CreateDialogIndirectParamA(GetModuleHandleA(NULL), build_template(), NULL, dialog_proc, 0);
        Sleep((DWORD)atoi(argv[3]));
        return 0;
    }
    if (argc < 3)
        return 100;
    return MessageBoxA(NULL, argv[1], argv[2], argc >= 4 ? (UINT)strtoul(argv[3], NULL, 0) : MB_OK);
}
