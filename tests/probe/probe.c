/*
 * probe: looks at the windows of other processes that share our wineserver
 * (or desktop, on Windows) and prints what it finds as JSON on stdout.
 *
 *   probe find [filters] [--timeout MS] [--all]
 *        filters: --class C, --title T, --title-contains T, --pid PID,
 *        --exe PART (of the process image path), --hwnd H, --owner H,
 *        --child-id ID, --visible, --hidden, --foreground
 *   probe list [--pid PID] [--exe PART]
 *   probe gone --hwnd H [--hidden] [--timeout MS]
 *   probe click --hwnd H --id ID [--method command|bmclick]
 *   probe post --hwnd H --msg M [--wparam W] [--lparam L]
 *   probe send --hwnd H --msg M [--wparam W] [--lparam L] [--timeout MS]
 *   probe foreground [--hwnd H]
 *   probe tempdir                  GetTempPathA, Windows directory, TMP, TEMP
 *   probe osversion                GetVersionExA as this program sees it
 *
 * Exit code 0 on success, 1 when nothing matched or the wait timed out,
 * 2 on a usage error. Every message to a foreign window goes through
 * SendMessageTimeout: a target that does not pump messages (the stub's
 * progress thread sleeps through its grace period) must not hang us.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "probehook.h"

#define TEXT_MAX 4096
#define POLL_MS 50

/* ---- numbers and arguments ------------------------------------------- */

static int parse_number(const char *s, unsigned long *out)
{
    char *end;
    int neg = 0;
    unsigned long v;
    if (!s || !*s)
        return 0;
    if (*s == '-') {
        neg = 1;
        s++;
    }
    v = strtoul(s, &end, 0); /* base 0: 0x.. hex, otherwise decimal */
    if (*end)
        return 0;
    *out = neg ? (unsigned long)(-(long)v) : v;
    return 1;
}

typedef struct {
    const char *cls;
    const char *title;
    const char *title_contains;
    const char *exe;
    unsigned long pid;
    int has_pid;
    HWND hwnd;
    HWND owner;
    int has_owner;
    long child_id;
    int has_child_id;
    int visible;  /* 1: must be visible */
    int hidden;   /* 1: must be hidden */
    int foreground;
    int all;
    DWORD timeout;
    unsigned long msg, wparam, lparam;
    int has_msg;
    const char *method;
} Options;

static void usage(const char *why)
{
    fprintf(stderr, "probe: %s\n", why);
    exit(2);
}

static void need_number(const char *name, const char *value, unsigned long *out)
{
    char buf[128];
    if (!value || !parse_number(value, out)) {
        _snprintf(buf, sizeof buf, "%s needs a number", name);
        buf[sizeof buf - 1] = 0;
        usage(buf);
    }
}

static void parse_options(int argc, char **argv, Options *o)
{
    int i;
    unsigned long v;
    memset(o, 0, sizeof *o);
    o->timeout = 10000;
    for (i = 0; i < argc; i++) {
        const char *a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : NULL;
        if (!strcmp(a, "--class") && next) {
            o->cls = next; i++;
        } else if (!strcmp(a, "--title") && next) {
            o->title = next; i++;
        } else if (!strcmp(a, "--title-contains") && next) {
            o->title_contains = next; i++;
        } else if (!strcmp(a, "--exe") && next) {
            o->exe = next; i++;
        } else if (!strcmp(a, "--pid")) {
            need_number(a, next, &o->pid); o->has_pid = 1; i++;
        } else if (!strcmp(a, "--hwnd")) {
            need_number(a, next, &v); o->hwnd = (HWND)(ULONG_PTR)v; i++;
        } else if (!strcmp(a, "--owner")) {
            need_number(a, next, &v); o->owner = (HWND)(ULONG_PTR)v; o->has_owner = 1; i++;
        } else if (!strcmp(a, "--child-id") || !strcmp(a, "--id")) {
            need_number(a, next, &v); o->child_id = (long)v; o->has_child_id = 1; i++;
        } else if (!strcmp(a, "--timeout")) {
            need_number(a, next, &v); o->timeout = (DWORD)v; i++;
        } else if (!strcmp(a, "--msg")) {
            need_number(a, next, &o->msg); o->has_msg = 1; i++;
        } else if (!strcmp(a, "--wparam")) {
            need_number(a, next, &o->wparam); i++;
        } else if (!strcmp(a, "--lparam")) {
            need_number(a, next, &o->lparam); i++;
        } else if (!strcmp(a, "--method") && next) {
            o->method = next; i++;
        } else if (!strcmp(a, "--visible")) {
            o->visible = 1;
        } else if (!strcmp(a, "--hidden")) {
            o->hidden = 1;
        } else if (!strcmp(a, "--foreground")) {
            o->foreground = 1;
        } else if (!strcmp(a, "--all")) {
            o->all = 1;
        } else {
            char buf[256];
            _snprintf(buf, sizeof buf, "unknown or incomplete option '%s'", a);
            buf[sizeof buf - 1] = 0;
            usage(buf);
        }
    }
}

/* ---- messages that cannot hang us ------------------------------------ */

/* Threads that already let one message time out are not asked again in
 * this run: one stalled dialog would otherwise cost a timeout per control. */
static DWORD hung_tids[64];
static int hung_count;
static DWORD send_timeout_ms = 1000;

static int thread_is_hung(DWORD tid)
{
    int i;
    for (i = 0; i < hung_count; i++)
        if (hung_tids[i] == tid)
            return 1;
    return 0;
}

static int send_safe(HWND h, UINT msg, WPARAM w, LPARAM l, DWORD_PTR *result)
{
    DWORD tid = GetWindowThreadProcessId(h, NULL);
    DWORD_PTR r = 0;
    if (thread_is_hung(tid))
        return 0;
    SetLastError(0);
    if (!SendMessageTimeoutA(h, msg, w, l, SMTO_NORMAL | SMTO_ABORTIFHUNG, send_timeout_ms, &r)) {
        DWORD err = GetLastError();
        if ((err == ERROR_TIMEOUT || err == 0) && hung_count < 64)
            hung_tids[hung_count++] = tid;
        return 0;
    }
    if (result)
        *result = r;
    return 1;
}

/* Text of any window. WM_GETTEXT reaches controls of other processes;
 * when the owner thread does not answer, fall back to the text the window
 * manager keeps, and say so. */
static void window_text(HWND h, char *buf, int size, int *stale)
{
    DWORD_PTR r;
    buf[0] = 0;
    if (!send_safe(h, WM_GETTEXT, (WPARAM)size, (LPARAM)buf, &r)) {
        buf[0] = 0;
        GetWindowTextA(h, buf, size);
        *stale = 1;
    }
    buf[size - 1] = 0;
}

/* ---- processes ----------------------------------------------------------- */

typedef BOOL (WINAPI *QueryImageNameFn)(HANDLE, DWORD, LPSTR, PDWORD);

/* Full image path of a process ("" when it cannot be read); the last answer
 * is kept, since one window list asks about the same few processes. */
static const char *process_image(DWORD pid)
{
    static DWORD cached_pid = (DWORD)-1;
    static char cached[MAX_PATH + 1];
    static QueryImageNameFn query;
    HANDLE proc;
    DWORD size;
    if (pid == cached_pid)
        return cached;
    cached_pid = pid;
    cached[0] = 0;
    if (!query)
        query = (QueryImageNameFn)GetProcAddress(GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameA");
    proc = OpenProcess(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */, FALSE, pid);
    if (!proc)
        proc = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (proc) {
        size = sizeof cached;
        if (!query || !query(proc, 0, cached, &size))
            cached[0] = 0;
        CloseHandle(proc);
    }
    return cached;
}

/* Case-insensitive substring test, as Windows paths compare. */
static int contains_nocase(const char *hay, const char *needle)
{
    size_t n = strlen(needle), i;
    for (; *hay; hay++) {
        for (i = 0; i < n; i++) {
            char a = hay[i], b = needle[i];
            if (!a)
                return 0;
            if (a >= 'A' && a <= 'Z') a = (char)(a - 'A' + 'a');
            if (b >= 'A' && b <= 'Z') b = (char)(b - 'A' + 'a');
            if (a != b)
                break;
        }
        if (i == n)
            return 1;
    }
    return n == 0;
}

/* ---- JSON output ------------------------------------------------------ */

static void json_string(const char *s)
{
    static WCHAR wide[TEXT_MAX + 1];
    int n, i;
    if (!s) {
        fputs("null", stdout);
        return;
    }
    n = MultiByteToWideChar(CP_ACP, 0, s, -1, wide, TEXT_MAX);
    if (n <= 0) {
        n = 0;
        wide[0] = 0;
    }
    putchar('"');
    for (i = 0; wide[i]; i++) {
        WCHAR c = wide[i];
        if (c == '"' || c == '\\') {
            putchar('\\');
            putchar((char)c);
        } else if (c == '\n') {
            fputs("\\n", stdout);
        } else if (c == '\r') {
            fputs("\\r", stdout);
        } else if (c == '\t') {
            fputs("\\t", stdout);
        } else if (c < 0x20 || c > 0x7e) {
            printf("\\u%04x", (unsigned)c);
        } else {
            putchar((char)c);
        }
    }
    putchar('"');
}

static void json_key(const char *k, int *first)
{
    if (!*first)
        putchar(',');
    *first = 0;
    json_string(k);
    putchar(':');
}

static void kv_str(const char *k, const char *v, int *first) { json_key(k, first); json_string(v); }
static void kv_uint(const char *k, unsigned long v, int *first) { json_key(k, first); printf("%lu", v); }
static void kv_int(const char *k, long v, int *first) { json_key(k, first); printf("%ld", v); }
static void kv_bool(const char *k, int v, int *first) { json_key(k, first); fputs(v ? "true" : "false", stdout); }
static void kv_hwnd(const char *k, HWND h, int *first) { kv_uint(k, (unsigned long)(ULONG_PTR)h, first); }

static void kv_rect(const char *k, HWND h, int *first)
{
    RECT r;
    json_key(k, first);
    if (GetWindowRect(h, &r))
        printf("[%ld,%ld,%ld,%ld]", (long)r.left, (long)r.top, (long)r.right, (long)r.bottom);
    else
        fputs("null", stdout);
}

/* ---- window icons ------------------------------------------------------ */

/* Wine does not carry WM_GETICON to another process, so the question is put
 * from inside the window's own thread: probehook.dll (next to this program)
 * is hooked into that thread, and answers a WM_NULL carrying PROBEHOOK_MAGIC
 * through a named mapping. */
static int query_icons(HWND h, ProbeIconReport *out)
{
    static HMODULE hook_dll;
    static HOOKPROC hook_proc;
    char path[MAX_PATH + 32], name[64], *slash;
    DWORD pid = 0, tid;
    HANDLE map;
    ProbeIconReport *view;
    HHOOK hook;
    int ok = 0;

    memset(out, 0, sizeof *out);
    tid = GetWindowThreadProcessId(h, &pid);
    if (!tid || thread_is_hung(tid))
        return 0;
    if (pid == GetCurrentProcessId()) {
        out->big = (DWORD)SendMessageA(h, WM_GETICON, ICON_BIG, 0);
        out->small = (DWORD)SendMessageA(h, WM_GETICON, ICON_SMALL, 0);
        return 1;
    }
    if (!hook_dll) {
        path[0] = 0;
        GetModuleFileNameA(NULL, path, MAX_PATH);
        slash = strrchr(path, '\\');
        strcpy(slash ? slash + 1 : path, "probehook.dll");
        hook_dll = LoadLibraryA(path);
        if (hook_dll)
            hook_proc = (HOOKPROC)GetProcAddress(hook_dll, "ProbeCallWndProc@12");
        if (hook_dll && !hook_proc)
            hook_proc = (HOOKPROC)GetProcAddress(hook_dll, "ProbeCallWndProc");
    }
    if (!hook_proc)
        return 0;

    _snprintf(name, sizeof name, PROBEHOOK_MAPPING, (unsigned long)GetCurrentProcessId());
    name[sizeof name - 1] = 0;
    map = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof *view, name);
    if (!map)
        return 0;
    view = (ProbeIconReport *)MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, sizeof *view);
    if (view) {
        memset(view, 0, sizeof *view);
        hook = SetWindowsHookExA(WH_CALLWNDPROC, hook_proc, hook_dll, tid);
        if (hook) {
            if (send_safe(h, WM_NULL, PROBEHOOK_MAGIC, (LPARAM)GetCurrentProcessId(), NULL) && view->done) {
                *out = *view;
                ok = 1;
            }
            UnhookWindowsHookEx(hook);
        }
        UnmapViewOfFile(view);
    }
    CloseHandle(map);
    return ok;
}

/* ---- describing windows ---------------------------------------------- */

static char text_buf[TEXT_MAX];
static char class_buf[256];

static void print_child(HWND c)
{
    int first = 1, stale = 0;
    DWORD_PTR r;
    GetClassNameA(c, class_buf, sizeof class_buf);
    putchar('{');
    kv_hwnd("hwnd", c, &first);
    kv_hwnd("parent", GetParent(c), &first);
    kv_int("id", (long)GetWindowLongA(c, GWL_ID), &first);
    kv_str("class", class_buf, &first);
    window_text(c, text_buf, sizeof text_buf, &stale);
    kv_str("text", text_buf, &first);
    kv_uint("style", (unsigned long)GetWindowLongA(c, GWL_STYLE), &first);
    kv_uint("exstyle", (unsigned long)GetWindowLongA(c, GWL_EXSTYLE), &first);
    kv_bool("visible", IsWindowVisible(c), &first);
    kv_bool("enabled", IsWindowEnabled(c), &first);
    kv_rect("rect", c, &first);
    if (!lstrcmpiA(class_buf, PROGRESS_CLASSA)) {
        /* lParam NULL: the limit named by wParam comes back as the result */
        json_key("range_low", &first);
        if (send_safe(c, PBM_GETRANGE, TRUE, 0, &r)) printf("%ld", (long)r); else { fputs("null", stdout); stale = 1; }
        json_key("range_high", &first);
        if (send_safe(c, PBM_GETRANGE, FALSE, 0, &r)) printf("%ld", (long)r); else { fputs("null", stdout); stale = 1; }
        json_key("pos", &first);
        if (send_safe(c, PBM_GETPOS, 0, 0, &r)) printf("%ld", (long)r); else { fputs("null", stdout); stale = 1; }
    }
    kv_bool("stale", stale, &first);
    putchar('}');
}

typedef struct {
    HWND list[256];
    int n;
} HwndList;

static BOOL CALLBACK collect_proc(HWND h, LPARAM lp)
{
    HwndList *l = (HwndList *)lp;
    if (l->n < 256)
        l->list[l->n++] = h;
    return TRUE;
}

static void print_window(HWND h)
{
    int first = 1, stale = 0, i;
    DWORD pid = 0, tid;
    ProbeIconReport icons;
    HwndList kids;

    tid = GetWindowThreadProcessId(h, &pid);
    GetClassNameA(h, class_buf, sizeof class_buf);
    putchar('{');
    kv_hwnd("hwnd", h, &first);
    kv_uint("pid", pid, &first);
    kv_uint("tid", tid, &first);
    kv_str("exe", process_image(pid), &first);
    kv_str("class", class_buf, &first);
    /* Top-level captions live in the window manager: no message needed. */
    text_buf[0] = 0;
    GetWindowTextA(h, text_buf, sizeof text_buf);
    kv_str("title", text_buf, &first);
    kv_uint("style", (unsigned long)GetWindowLongA(h, GWL_STYLE), &first);
    kv_uint("exstyle", (unsigned long)GetWindowLongA(h, GWL_EXSTYLE), &first);
    kv_bool("visible", IsWindowVisible(h), &first);
    kv_bool("enabled", IsWindowEnabled(h), &first);
    kv_rect("rect", h, &first);
    kv_hwnd("owner", GetWindow(h, GW_OWNER), &first);
    kv_bool("foreground", GetForegroundWindow() == h, &first);
    kv_bool("has_sysmenu", (GetWindowLongA(h, GWL_STYLE) & WS_SYSMENU) != 0, &first);
    if (query_icons(h, &icons)) {
        kv_bool("icon_big", icons.big != 0, &first);
        kv_bool("icon_small", icons.small != 0, &first);
        json_key("icon_big_size", &first);
        printf("[%ld,%ld]", (long)icons.big_w, (long)icons.big_h);
        json_key("icon_small_size", &first);
        printf("[%ld,%ld]", (long)icons.small_w, (long)icons.small_h);
    } else {
        json_key("icon_big", &first);
        fputs("null", stdout);
        json_key("icon_small", &first);
        fputs("null", stdout);
        stale = 1;
    }

    kids.n = 0;
    EnumChildWindows(h, collect_proc, (LPARAM)&kids);
    json_key("children", &first);
    putchar('[');
    for (i = 0; i < kids.n; i++) {
        if (i)
            putchar(',');
        print_child(kids.list[i]);
    }
    putchar(']');
    for (i = 0; i < hung_count; i++)
        if (hung_tids[i] == tid)
            stale = 1;
    kv_bool("stale", stale, &first);
    putchar('}');
}

/* ---- matching ---------------------------------------------------------- */

static int has_child_id(HWND h, long id)
{
    HwndList kids;
    int i;
    kids.n = 0;
    EnumChildWindows(h, collect_proc, (LPARAM)&kids);
    for (i = 0; i < kids.n; i++)
        if ((long)GetWindowLongA(kids.list[i], GWL_ID) == id)
            return 1;
    return 0;
}

static int matches(HWND h, const Options *o)
{
    char buf[TEXT_MAX];
    DWORD pid = 0;
    if (!IsWindow(h))
        return 0;
    if (o->hwnd && h != o->hwnd)
        return 0;
    if (o->cls) {
        buf[0] = 0;
        GetClassNameA(h, buf, sizeof buf);
        if (lstrcmpiA(buf, o->cls))
            return 0;
    }
    if (o->title || o->title_contains) {
        buf[0] = 0;
        GetWindowTextA(h, buf, sizeof buf);
        if (o->title && strcmp(buf, o->title))
            return 0;
        if (o->title_contains && !strstr(buf, o->title_contains))
            return 0;
    }
    if (o->has_pid || o->exe)
        GetWindowThreadProcessId(h, &pid);
    if (o->has_pid && pid != o->pid)
        return 0;
    if (o->exe && !contains_nocase(process_image(pid), o->exe))
        return 0;
    if (o->has_owner && GetWindow(h, GW_OWNER) != o->owner)
        return 0;
    if (o->visible && !IsWindowVisible(h))
        return 0;
    if (o->hidden && IsWindowVisible(h))
        return 0;
    if (o->foreground && GetForegroundWindow() != h)
        return 0;
    if (o->has_child_id && !has_child_id(h, o->child_id))
        return 0;
    return 1;
}

static HwndList found;

static BOOL CALLBACK find_proc(HWND h, LPARAM lp)
{
    if (matches(h, (const Options *)lp) && found.n < 256)
        found.list[found.n++] = h;
    return TRUE;
}

static void search(const Options *o)
{
    found.n = 0;
    if (o->hwnd) {
        /* a given handle may also be a child window */
        if (matches(o->hwnd, o))
            found.list[found.n++] = o->hwnd;
        return;
    }
    EnumWindows(find_proc, (LPARAM)o);
}

/* ---- commands ------------------------------------------------------------ */

static int cmd_find(const Options *o)
{
    DWORD start = GetTickCount();
    int i;
    for (;;) {
        search(o);
        if (found.n)
            break;
        if (GetTickCount() - start >= o->timeout)
            break;
        Sleep(POLL_MS);
    }
    if (!found.n) {
        fputs(o->all ? "[]\n" : "null\n", stdout);
        return 1;
    }
    if (o->all) {
        putchar('[');
        for (i = 0; i < found.n; i++) {
            if (i)
                putchar(',');
            print_window(found.list[i]);
        }
        putchar(']');
    } else {
        print_window(found.list[0]);
    }
    putchar('\n');
    return 0;
}

static BOOL CALLBACK list_proc(HWND h, LPARAM lp)
{
    const Options *o = (const Options *)lp;
    DWORD pid = 0;
    char title[512];
    int first = 1;
    static int n;
    GetWindowThreadProcessId(h, &pid);
    if (o->has_pid && pid != o->pid)
        return TRUE;
    GetClassNameA(h, class_buf, sizeof class_buf);
    title[0] = 0;
    GetWindowTextA(h, title, sizeof title);
    if (o->exe && !contains_nocase(process_image(pid), o->exe))
        return TRUE;
    if (n++)
        putchar(',');
    putchar('{');
    kv_hwnd("hwnd", h, &first);
    kv_uint("pid", pid, &first);
    kv_str("exe", process_image(pid), &first);
    kv_str("class", class_buf, &first);
    kv_str("title", title, &first);
    kv_bool("visible", IsWindowVisible(h), &first);
    kv_hwnd("owner", GetWindow(h, GW_OWNER), &first);
    kv_uint("style", (unsigned long)GetWindowLongA(h, GWL_STYLE), &first);
    putchar('}');
    return TRUE;
}

static int cmd_list(const Options *o)
{
    putchar('[');
    EnumWindows(list_proc, (LPARAM)o);
    fputs("]\n", stdout);
    return 0;
}

static int cmd_gone(const Options *o)
{
    DWORD start = GetTickCount();
    int first = 1, done;
    if (!o->hwnd)
        usage("gone needs --hwnd");
    for (;;) {
        done = !IsWindow(o->hwnd) || (o->hidden && !IsWindowVisible(o->hwnd));
        if (done || GetTickCount() - start >= o->timeout)
            break;
        Sleep(POLL_MS);
    }
    putchar('{');
    kv_hwnd("hwnd", o->hwnd, &first);
    kv_bool("exists", IsWindow(o->hwnd), &first);
    kv_bool("visible", IsWindowVisible(o->hwnd), &first);
    kv_bool("done", done, &first);
    fputs("}\n", stdout);
    return done ? 0 : 1;
}

static int cmd_click(const Options *o)
{
    HWND button;
    int first = 1, ok;
    const char *method = o->method ? o->method : "command";
    if (!o->hwnd || !o->has_child_id)
        usage("click needs --hwnd and --id");
    button = IsWindow(o->hwnd) ? GetDlgItem(o->hwnd, (int)o->child_id) : NULL;
    if (!button) {
        putchar('{');
        kv_hwnd("hwnd", o->hwnd, &first);
        kv_int("id", o->child_id, &first);
        kv_bool("exists", IsWindow(o->hwnd), &first);
        kv_str("error", "no such control", &first);
        fputs("}\n", stdout);
        return 1;
    }
    if (!strcmp(method, "bmclick")) {
        ok = PostMessageA(button, BM_CLICK, 0, 0);
    } else if (!strcmp(method, "command")) {
        /* What the button itself sends on a click: works whether or not the
         * dialog is active, and on message boxes as on dialogs. */
        ok = PostMessageA(o->hwnd, WM_COMMAND, MAKEWPARAM((WORD)o->child_id, BN_CLICKED), (LPARAM)button);
    } else {
        usage("--method is command or bmclick");
        return 2;
    }
    putchar('{');
    kv_hwnd("hwnd", o->hwnd, &first);
    kv_int("id", o->child_id, &first);
    kv_hwnd("button", button, &first);
    kv_bool("enabled", IsWindowEnabled(button), &first);
    kv_str("method", method, &first);
    kv_bool("ok", ok, &first);
    fputs("}\n", stdout);
    return ok ? 0 : 1;
}

static int cmd_post(const Options *o)
{
    int first = 1, ok;
    if (!o->hwnd || !o->has_msg)
        usage("post needs --hwnd and --msg");
    ok = PostMessageA(o->hwnd, (UINT)o->msg, (WPARAM)o->wparam, (LPARAM)o->lparam);
    putchar('{');
    kv_hwnd("hwnd", o->hwnd, &first);
    kv_uint("msg", o->msg, &first);
    kv_bool("ok", ok, &first);
    if (!ok)
        kv_uint("error", GetLastError(), &first);
    fputs("}\n", stdout);
    return ok ? 0 : 1;
}

static int cmd_send(const Options *o, int timeout_given)
{
    DWORD_PTR r = 0;
    int first = 1, ok;
    DWORD err;
    if (!o->hwnd || !o->has_msg)
        usage("send needs --hwnd and --msg");
    SetLastError(0);
    ok = SendMessageTimeoutA(o->hwnd, (UINT)o->msg, (WPARAM)o->wparam, (LPARAM)o->lparam,
                             SMTO_NORMAL, timeout_given ? o->timeout : 5000, &r) != 0;
    err = GetLastError();
    putchar('{');
    kv_hwnd("hwnd", o->hwnd, &first);
    kv_uint("msg", o->msg, &first);
    kv_bool("ok", ok, &first);
    json_key("result", &first);
    if (ok)
        printf("%ld", (long)r);
    else
        fputs("null", stdout);
    if (!ok)
        kv_uint("error", err, &first);
    fputs("}\n", stdout);
    return ok ? 0 : 1;
}

static void print_foreground(HWND want, int ok)
{
    HWND fg = GetForegroundWindow();
    DWORD pid = 0;
    int first = 1;
    char title[512];
    title[0] = 0;
    class_buf[0] = 0;
    if (fg) {
        GetWindowThreadProcessId(fg, &pid);
        GetClassNameA(fg, class_buf, sizeof class_buf);
        GetWindowTextA(fg, title, sizeof title);
    }
    putchar('{');
    kv_hwnd("requested", want, &first);
    kv_hwnd("foreground", fg, &first);
    kv_uint("pid", pid, &first);
    kv_str("class", class_buf, &first);
    kv_str("title", title, &first);
    kv_bool("ok", ok, &first);
    fputs("}\n", stdout);
}

static int cmd_foreground(const Options *o)
{
    HWND h = o->hwnd;
    DWORD start, me, fg_tid, target_tid;
    HWND fg;
    int ok;
    if (!h) {
        print_foreground(NULL, GetForegroundWindow() != NULL);
        return 0;
    }
    if (!IsWindow(h)) {
        print_foreground(h, 0);
        return 1;
    }
    /* Foreground changes are only honoured for the thread that has the
     * input focus; borrow its input state while we ask. */
    me = GetCurrentThreadId();
    fg = GetForegroundWindow();
    fg_tid = fg ? GetWindowThreadProcessId(fg, NULL) : 0;
    target_tid = GetWindowThreadProcessId(h, NULL);
    if (fg_tid && fg_tid != me)
        AttachThreadInput(me, fg_tid, TRUE);
    if (target_tid && target_tid != me && target_tid != fg_tid)
        AttachThreadInput(me, target_tid, TRUE);
    if (IsIconic(h))
        ShowWindowAsync(h, SW_RESTORE);
    BringWindowToTop(h);
    SetForegroundWindow(h);
    if (target_tid && target_tid != me && target_tid != fg_tid)
        AttachThreadInput(me, target_tid, FALSE);
    if (fg_tid && fg_tid != me)
        AttachThreadInput(me, fg_tid, FALSE);

    start = GetTickCount();
    while (!(ok = GetForegroundWindow() == h) && GetTickCount() - start < 2000) {
        SetForegroundWindow(h);
        Sleep(POLL_MS);
    }
    print_foreground(h, ok);
    return ok ? 0 : 1;
}

static int cmd_tempdir(void)
{
    char temp[MAX_PATH + 1], win[MAX_PATH + 1], env[MAX_PATH + 1];
    int first = 1;
    temp[0] = win[0] = 0;
    GetTempPathA(sizeof temp, temp);
    GetWindowsDirectoryA(win, sizeof win);
    putchar('{');
    kv_str("temp", temp, &first);
    kv_str("windows", win, &first);
    json_key("TMP", &first);
    json_string(GetEnvironmentVariableA("TMP", env, sizeof env) ? env : NULL);
    json_key("TEMP", &first);
    json_string(GetEnvironmentVariableA("TEMP", env, sizeof env) ? env : NULL);
    fputs("}\n", stdout);
    return 0;
}

static int cmd_osversion(void)
{
    OSVERSIONINFOA v;
    int first = 1;
    memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    GetVersionExA(&v);
    putchar('{');
    kv_uint("major", v.dwMajorVersion, &first);
    kv_uint("minor", v.dwMinorVersion, &first);
    kv_uint("build", v.dwBuildNumber, &first);
    kv_uint("platform", v.dwPlatformId, &first);
    kv_str("csd", v.szCSDVersion, &first);
    fputs("}\n", stdout);
    return 0;
}

int main(int argc, char **argv)
{
    Options o;
    int rc, i, timeout_given = 0;
    const char *cmd;

    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2)
        usage("command missing: find, list, gone, click, post, send, foreground, tempdir, osversion");
    cmd = argv[1];
    parse_options(argc - 2, argv + 2, &o);
    for (i = 2; i < argc; i++)
        if (!strcmp(argv[i], "--timeout"))
            timeout_given = 1;

    if (!strcmp(cmd, "find"))
        rc = cmd_find(&o);
    else if (!strcmp(cmd, "list"))
        rc = cmd_list(&o);
    else if (!strcmp(cmd, "gone"))
        rc = cmd_gone(&o);
    else if (!strcmp(cmd, "click"))
        rc = cmd_click(&o);
    else if (!strcmp(cmd, "post"))
        rc = cmd_post(&o);
    else if (!strcmp(cmd, "send"))
        rc = cmd_send(&o, timeout_given);
    else if (!strcmp(cmd, "foreground"))
        rc = cmd_foreground(&o);
    else if (!strcmp(cmd, "tempdir"))
        rc = cmd_tempdir();
    else if (!strcmp(cmd, "osversion"))
        rc = cmd_osversion();
    else {
        usage("unknown command");
        rc = 2;
    }
    fflush(stdout);
    return rc;
}
