// Test driver: runs the stub's own code piece by piece and prints JSON.
//
//   stubdriver transfer URL FILE [--resume 0|1] [--window] [--cancel-at BYTES]
//              [--retr-seam open|fail] [--old-client] [--fail-seek CODE] [--product P]
//              [--regkey K] [--install N]
//   stubdriver launch URL [--product P] [--regkey K] [--install N]
//       the whole download and hand-over; reports what was passed to CreateProcessA
//   stubdriver regkey-access KEY read|full
//       lets everyone only read HKLM\KEY (as a limited user may), or do anything
//   stubdriver progress [--quiet] [--title T] STEP...
//       steps: total=N base=N done=N elapsed=MS (start that long ago) post
//              sleep=MS grace (wait 2.3 s) wait-stop=MS hold=MS hide
//              gate=PATH (wait for the file) watch=MS (did the dialog show?)
//              wait-thread=MS (for the progress thread to end)
//   stubdriver reboot PATH [--no-movefileex]
//   stubdriver event URL CAMPAIGN MODE [--old-client]
//
// --old-client: the internet client of Internet Explorer 3 and 4 as the
// product sees it: no FtpCommandA, and InternetOpenA refuses access type 4
// (preconfigured without proxy detection) as a bad parameter.
// transfer and event print "openTypes": the access types of the sessions the
// product opened, in order.
//   stubdriver agent
//   stubdriver tempdir
//   stubdriver hash FILE
//   stubdriver verify URL FILE --pin HEX [--gate PATH] [--cancel-at-read N]
//              [--cancel-on-restart]
//       a download with its check against the pin, in the progress window;
//       the file is held as FILE-launch.exe; with a gate, each check waits
//       for PATH before it reads the file; a cancel confirmed before the
//       first check's Nth read, or when the second download is announced
//   stubdriver launch URL [--pin HEX]: what others can do to the held file
//       at the call of CreateProcessA ("held")
//   stubdriver transfer ... [--cut-after-open]: a cancel's cut right after
//       the request (or FTP connection) is opened; "closedTwice": closes of
//       internet handles already closed, by themselves or with their parent
//   stubdriver event ... [--fault-in-ping]: the ping's thread faults once its
//       request is open, under the product's fault filter
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "run/run.h"
#include <commctrl.h>
#include <psapi.h>
#include "progress/progress.h"
#include "transfer/transfer.h"
#include "handover/handover.h"
#include "events/events.h"

static const char* Option(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 0; i + 1 < argc; i++)
        if (!strcmp(argv[i], name)) return argv[i + 1];
    return fallback;
}

static bool Flag(int argc, char** argv, const char* name) {
    for (int i = 0; i < argc; i++)
        if (!strcmp(argv[i], name)) return true;
    return false;
}

static const char* HandleState(const void* handle) {
    if (!handle) return "none";
    return handle == INVALID_HANDLE_VALUE ? "invalid" : "open";
}

// What the transfer reported through PostProgress.
static DWORD cancelAt = 0xFFFFFFFF;
static DWORD reports, firstDone, firstBase, firstTotal;
static bool sawDone;

static bool progressSinceCheck;

static void OnProgress(TransferState* state) {
    reports++;
    progressSinceCheck = true;
    if (!sawDone && state->doneBytes) {
        sawDone = true;
        firstDone = state->doneBytes;
        firstBase = state->baseBytes;
        firstTotal = state->totalBytes;
    }
    if (state->doneBytes >= cancelAt) state->stopRequested = 1;
}

// The first way of opening the FTP data connection, as a client that
// supports it would: FtpCommandA itself yields the data handle.
static const char* retrSeam;
static int retrSeamCalls;
static BOOL WINAPI RetrSeam(HINTERNET connection, BOOL expectResponse, DWORD flags,
                            LPCSTR command, DWORD_PTR context, HINTERNET* data) {
    if (!expectResponse) return FtpCommandA(connection, FALSE, flags, command, context, data);
    retrSeamCalls++;
    if (!strcmp(retrSeam, "fail")) {
        SetLastError(ERROR_INTERNET_EXTENDED_ERROR);
        return FALSE;
    }
    // "RETR <path>": open that path on the connection.
    *data = FtpOpenFileA(connection, command + 5, GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 0);
    return *data != 0;
}

// Every session the product opens, by access type; an old client refuses
// the type it does not know.
static void TrackOpen(HINTERNET handle, HINTERNET parent);
static char openTypes[64] = "";
static bool oldClient;
static HINTERNET WINAPI RecordingOpen(LPCSTR agent, DWORD type, LPCSTR proxy, LPCSTR bypass,
                                      DWORD flags) {
    if (strlen(openTypes) < sizeof openTypes - 16)
        sprintf(openTypes + strlen(openTypes), "%s%lu", openTypes[0] ? ", " : "", type);
    if (oldClient && type == INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    HINTERNET session = InternetOpenA(agent, type, proxy, bypass, flags);
    TrackOpen(session, 0);
    return session;
}

static void ApplyClient(int argc, char** argv) {
    SeamInternetOpen = RecordingOpen;
    oldClient = Flag(argc, argv, "--old-client");
    if (oldClient) SeamFtpCommandName = "FtpCommandA-absent";
}

// The symbol of a function's slot in the import table; 32-bit names carry
// the size of the arguments.
#ifdef _WIN64
#define IMPORT_SLOT(name, size) "__imp_" name
#else
#define IMPORT_SLOT(name, size) "__imp__" name "@" size
#endif

// Points one slot of this program's import table at a replacement; the
// stub's code linked in here calls through the same slots. Returns the
// function the slot held.
static void* PatchImport(void** slot, void* replacement) {
    void* original = *slot;
    DWORD old;
    if (VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) {
        *slot = replacement;
        VirtualProtect(slot, sizeof *slot, old, &old);
    }
    return original;
}

// "--fail-seek CODE": every move of a file position fails with that code,
// as on a file whose position cannot be set.
extern "C" void* setFilePointerSlot asm(IMPORT_SLOT("SetFilePointer", "16"));
static DWORD seekFailure;
static DWORD WINAPI FailingSetFilePointer(HANDLE, LONG, PLONG, DWORD) {
    SetLastError(seekFailure);
    return INVALID_SET_FILE_POINTER;
}

// The Windows 95 family's rule, which Wine does not keep: the attributes of
// a file open without sharing cannot be changed. The output file is the
// one the transfer keeps open.
extern "C" void* setFileAttributesSlot asm(IMPORT_SLOT("SetFileAttributesA", "8"));
static BOOL(WINAPI* realSetFileAttributes)(LPCSTR, DWORD);
static BOOL WINAPI Win95SetFileAttributes(LPCSTR name, DWORD attributes) {
    if (HasHandle(theState.fileHandle)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return realSetFileAttributes(name, attributes);
}

// The NT rule, which Wine does not keep: a hidden or system file is not
// replaced (CREATE_ALWAYS) by a call that does not ask for those
// attributes too.
extern "C" void* createFileSlot asm(IMPORT_SLOT("CreateFileA", "28"));
static HANDLE(WINAPI* realCreateFile)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
static HANDLE WINAPI NtRuleCreateFile(LPCSTR name, DWORD access, DWORD share,
                                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                      DWORD attributes, HANDLE templateFile) {
    DWORD existing = GetFileAttributesA(name);
    DWORD guarded = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (disposition == CREATE_ALWAYS && existing != INVALID_FILE_ATTRIBUTES &&
        existing & guarded & ~attributes) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return realCreateFile(name, access, share, security, disposition, attributes, templateFile);
}

static void ApplyFileRules(int argc, char** argv) {
    if (Flag(argc, argv, "--win95-attributes"))
        realSetFileAttributes = (decltype(realSetFileAttributes))PatchImport(
            &setFileAttributesSlot, (void*)Win95SetFileAttributes);
    if (Flag(argc, argv, "--nt-hidden-rule"))
        realCreateFile = (decltype(realCreateFile))PatchImport(&createFileSlot,
                                                               (void*)NtRuleCreateFile);
}

// Every internet handle the product opens and closes, with its parent:
// closing a parent closes the handles opened on it.
struct TrackedHandle {
    HINTERNET handle, parent;
    bool open;
};
static TrackedHandle tracked[64];
static int trackedCount, closedTwice;
static bool cutAfterOpen;

static void TrackOpen(HINTERNET handle, HINTERNET parent) {
    if (!handle) return;
    for (int i = 0; i < trackedCount; i++)
        if (tracked[i].handle == handle) {  // a value given out again
            tracked[i] = {handle, parent, true};
            return;
        }
    if (trackedCount < 64) tracked[trackedCount++] = {handle, parent, true};
}

static void TrackClose(HINTERNET handle) {
    for (int i = 0; i < trackedCount; i++)
        if (tracked[i].handle == handle && tracked[i].open) {
            tracked[i].open = false;
            for (int j = 0; j < trackedCount; j++)
                if (tracked[j].parent == handle && tracked[j].open) TrackClose(tracked[j].handle);
        }
}

extern "C" void* closeHandleSlot asm(IMPORT_SLOT("InternetCloseHandle", "4"));
extern "C" void* openUrlSlot asm(IMPORT_SLOT("InternetOpenUrlA", "24"));
extern "C" void* connectSlot asm(IMPORT_SLOT("InternetConnectA", "32"));
static BOOL(WINAPI* realClose)(HINTERNET);
static HINTERNET(WINAPI* realOpenUrl)(HINTERNET, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR);
static HINTERNET(WINAPI* realConnect)(HINTERNET, LPCSTR, INTERNET_PORT, LPCSTR, LPCSTR, DWORD,
                                      DWORD, DWORD_PTR);

static BOOL WINAPI AuditedClose(HINTERNET handle) {
    for (int i = 0; i < trackedCount; i++)
        if (tracked[i].handle == handle && !tracked[i].open) {
            closedTwice++;
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;  // not passed on: it could close another handle
        }
    TrackClose(handle);
    return realClose(handle);
}

// The user's Yes as the progress thread makes it, right after the open.
static HINTERNET CutAfterOpen(HINTERNET handle) {
    if (cutAfterOpen && handle) {
        theState.stopRequested = 1;
        CutTransfer(&theState);
    }
    return handle;
}

static HINTERNET WINAPI AuditedOpenUrl(HINTERNET session, LPCSTR url, LPCSTR headers, DWORD length,
                                       DWORD flags, DWORD_PTR context) {
    HINTERNET request = realOpenUrl(session, url, headers, length, flags, context);
    TrackOpen(request, session);
    return CutAfterOpen(request);
}

static HINTERNET WINAPI AuditedConnect(HINTERNET session, LPCSTR host, INTERNET_PORT port,
                                       LPCSTR user, LPCSTR password, DWORD service, DWORD flags,
                                       DWORD_PTR context) {
    HINTERNET connection = realConnect(session, host, port, user, password, service, flags, context);
    TrackOpen(connection, session);
    return CutAfterOpen(connection);
}

static void AuditHandles(int argc, char** argv) {
    cutAfterOpen = Flag(argc, argv, "--cut-after-open");
    realClose = (decltype(realClose))PatchImport(&closeHandleSlot, (void*)AuditedClose);
    realOpenUrl = (decltype(realOpenUrl))PatchImport(&openUrlSlot, (void*)AuditedOpenUrl);
    realConnect = (decltype(realConnect))PatchImport(&connectSlot, (void*)AuditedConnect);
}

static void ApplySession(int argc, char** argv) {
    theSession.productCode = Option(argc, argv, "--product", theSession.productCode);
    theSession.registryKey = Option(argc, argv, "--regkey", theSession.registryKey);
    theSession.installNumber = strtoul(Option(argc, argv, "--install", "10000"), 0, 10);
    theSession.title = Option(argc, argv, "--title", theSession.title);
    theSession.quiet = Flag(argc, argv, "--quiet");
}

static int Transfer(int argc, char** argv) {
    if (argc < 4) return 2;
    const char* url = argv[2];
    const char* file = argv[3];
    DWORD resume = strtoul(Option(argc, argv, "--resume", "1"), 0, 10);
    cancelAt = strtoul(Option(argc, argv, "--cancel-at", "4294967295"), 0, 10);
    retrSeam = Option(argc, argv, "--retr-seam", 0);
    if (retrSeam) SeamFtpCommand = RetrSeam;
    seekFailure = strtoul(Option(argc, argv, "--fail-seek", "0"), 0, 10);
    if (seekFailure) PatchImport(&setFilePointerSlot, (void*)FailingSetFilePointer);
    ApplyFileRules(argc, argv);
    SeamProgressHook = OnProgress;
    AuditHandles(argc, argv);
    TransferState* state = &theState;
    if (Flag(argc, argv, "--window")) {
        StartProgressWindow(state);
    } else {
        state->startTick = GetTickCount();
    }
    DWORD result = DownloadFile(state, url, file, resume);
    // What the fields name now, as the run's end finds them; then the closes
    // the run's end makes.
    const char* internetLeft = HandleState(state->internetHandle);
    const char* requestLeft = HandleState(state->requestHandle);
    CloseInternet(state);
    // "attributes": what Windows says of the output file afterwards
    // (4294967295: no such file).
    printf("{\"result\": %lu, \"errorCode\": %lu, \"totalBytes\": %lu, \"doneBytes\": %lu, "
           "\"baseBytes\": %lu, \"stopRequested\": %lu, \"internetHandle\": \"%s\", "
           "\"requestHandle\": \"%s\", \"fileHandle\": \"%s\", \"reports\": %lu, "
           "\"firstDone\": %lu, \"firstBase\": %lu, \"firstTotal\": %lu, \"retrSeamCalls\": %d, "
           "\"attributes\": %lu, \"openTypes\": [%s], \"closedTwice\": %d}\n",
           result, state->errorCode, state->totalBytes, state->doneBytes, state->baseBytes,
           state->stopRequested, internetLeft, requestLeft, HandleState(state->fileHandle),
           reports, firstDone, firstBase, firstTotal, retrSeamCalls, GetFileAttributesA(file),
           openTypes, closedTwice);
    fflush(stdout);
    return 0;
}

// What the progress run observes of the product code from outside it.
//
// Every UM_PROGRESS the product posts is counted: its calls to PostMessageA
// go through this program's import table, whose slot is pointed at a
// counting wrapper for the progress run.
#ifdef _WIN64
extern "C" void* postMessageSlot asm("__imp_PostMessageA");
#else
extern "C" void* postMessageSlot asm("__imp__PostMessageA@16");
#endif
static BOOL(WINAPI* realPostMessage)(HWND, UINT, WPARAM, LPARAM);
static volatile LONG progressPosts;

static BOOL WINAPI CountingPostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == UM_PROGRESS) InterlockedIncrement(&progressPosts);
    return realPostMessage(window, message, wParam, lParam);
}

static void CountProgressPosts() {
    DWORD old;
    realPostMessage = (BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM))postMessageSlot;
    if (VirtualProtect(&postMessageSlot, sizeof postMessageSlot, PAGE_READWRITE, &old)) {
        postMessageSlot = (void*)CountingPostMessage;
        VirtualProtect(&postMessageSlot, sizeof postMessageSlot, old, &old);
    }
}

static HANDLE progressThread;  // opened while the dialog still names its thread

static void PrintProgressState(TransferState* state, HWND dialog) {
    DWORD exitCode = STILL_ACTIVE;
    if (progressThread) GetExitCodeThread(progressThread, &exitCode);
    int threadAlive = progressThread && WaitForSingleObject(progressThread, 0) == WAIT_TIMEOUT;
    // dialogField: the record's dialogWindow as it stands.
    printf("\"stopRequested\": %lu, \"dialogAlive\": %d, \"visible\": %d, \"posts\": %ld, "
           "\"dialogField\": %lu, \"threadAlive\": %d, \"threadExit\": ",
           state->stopRequested, IsWindow(dialog) ? 1 : 0,
           IsWindow(dialog) && IsWindowVisible(dialog) ? 1 : 0, progressPosts,
           (unsigned long)(DWORD_PTR)state->dialogWindow, threadAlive);
    if (!progressThread || threadAlive)
        printf("null");
    else
        printf("%ld", (long)exitCode);
}

static void PrintJsonText(const char* text) {
    putchar('"');
    for (; *text; text++) {
        if (*text == '"' || *text == '\\') putchar('\\');
        putchar(*text);
    }
    putchar('"');
}

// What the hand-over passed to CreateProcessA, seen through its import slot.
extern "C" void* createProcessSlot asm(IMPORT_SLOT("CreateProcessA", "40"));
static BOOL(WINAPI* realCreateProcess)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                       BOOL, DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA,
                                       LPPROCESS_INFORMATION);
static int createCalls;
static char createdApplication[MAX_PATH * 2], createdCommandLine[MAX_PATH * 2];
static bool commandLineGiven;

// What others can do to the file to be started, at the call: 0 allowed (and
// undone), else the error that refused it.
static char heldProbe[160] = "null";

static void ProbeHeldFile(const char* path) {
    DWORD write = 0, remove = 0, rename = 0, read = 0;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE) write = GetLastError(); else CloseHandle(file);
    char moved[MAX_PATH + 16];
    snprintf(moved, sizeof moved, "%s.moved", path);
    if (!MoveFileA(path, moved)) rename = GetLastError(); else MoveFileA(moved, path);
    // Deleting last: allowed, it would leave nothing to start.
    if (!DeleteFileA(path)) remove = GetLastError();
    file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE) read = GetLastError(); else CloseHandle(file);
    snprintf(heldProbe, sizeof heldProbe,
             "{\"write\": %lu, \"rename\": %lu, \"delete\": %lu, \"read\": %lu}", write, rename,
             remove, read);
}

static BOOL WINAPI RecordingCreateProcess(LPCSTR application, LPSTR commandLine,
                                          LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                          BOOL inherit, DWORD flags, LPVOID environment,
                                          LPCSTR directory, LPSTARTUPINFOA startup,
                                          LPPROCESS_INFORMATION info) {
    createCalls++;
    if (application) ProbeHeldFile(application);
    lstrcpynA(createdApplication, application ? application : "", sizeof createdApplication);
    commandLineGiven = commandLine != 0;
    lstrcpynA(createdCommandLine, commandLine ? commandLine : "", sizeof createdCommandLine);
    return realCreateProcess(application, commandLine, process, thread, inherit, flags,
                             environment, directory, startup, info);
}

static int Launch(int argc, char** argv) {
    if (argc < 3) return 2;
    theSession.downloadUrl = argv[2];
    const char* pin = Option(argc, argv, "--pin", 0);
    if (pin && !(setupHashPinned = ParseSha256(pin, setupHash))) return 2;
    realCreateProcess = (decltype(realCreateProcess))PatchImport(&createProcessSlot,
                                                                 (void*)RecordingCreateProcess);
    TransferState* state = &theState;
    DWORD result = DownloadAndLaunch(&theSession, state);
    state->uiQuit = 1;
    printf("{\"result\": %lu, \"errorCode\": %lu, \"totalBytes\": %lu, \"doneBytes\": %lu, "
           "\"createCalls\": %d, \"application\": ",
           result, state->errorCode, state->totalBytes, state->doneBytes, createCalls);
    PrintJsonText(createdApplication);
    printf(", \"commandLine\": ");
    if (commandLineGiven)
        PrintJsonText(createdCommandLine);
    else
        printf("null");
    printf(", \"held\": %s}\n", heldProbe);
    return 0;
}

// Everyone may only read the key (a limited user's rights below
// HKEY_LOCAL_MACHINE), or do anything with it again.
static int RegKeyAccess(const char* path, const char* access) {
    HKEY key;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC, &key);
    if (opened != ERROR_SUCCESS) {
        printf("{\"result\": 0, \"error\": %ld}\n", opened);
        return 0;
    }
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = 0;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    BYTE aclSpace[256];
    PACL acl = (PACL)aclSpace;
    SECURITY_DESCRIPTOR descriptor;
    LONG set = ERROR_INVALID_PARAMETER;
    if (everyone && InitializeAcl(acl, sizeof aclSpace, ACL_REVISION) &&
        AddAccessAllowedAce(acl, ACL_REVISION, strcmp(access, "read") ? KEY_ALL_ACCESS : KEY_READ,
                            everyone) &&
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
        set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
    if (everyone) FreeSid(everyone);
    RegCloseKey(key);
    printf("{\"result\": %d, \"error\": %ld}\n", set == ERROR_SUCCESS, set);
    return 0;
}

// "gate=PATH": the test lets the run go on by creating PATH; the driver
// deletes it again. Gives up after a minute so a broken test cannot hang.
static int WaitForGate(const char* path) {
    for (DWORD waited = 0; waited < 60000; waited += 20) {
        if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
            DeleteFileA(path);
            return 1;
        }
        Sleep(20);
    }
    return 0;
}

static int Hash(const char* file) {
    BYTE digest[32];
    DWORD start = GetTickCount();
    DWORD result = 0;
    HANDLE handle = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        theState.errorCode = GetLastError();
    } else {
        result = HashFile(&theState, handle, digest);
        CloseHandle(handle);
    }
    DWORD elapsed = GetTickCount() - start;
    printf("{\"result\": %lu, \"errorCode\": %lu, \"ms\": %lu, \"digest\": \"", result,
           theState.errorCode, elapsed);
    for (int i = 0; result && i < 32; i++) printf("%02x", digest[i]);
    printf("\"}\n");
    return 0;
}

// The first chunk of each check after a download: tell the test, and wait
// for its gate while the dialog shows what it shows.
static const char* checkGate;
static int checks;

static DWORD cancelAtRead, checkReads;

static void OnHashChunk(TransferState* state) {
    // "--cancel-at-read N": the user's Yes before the first check's Nth read.
    if (checks <= 1 && ++checkReads == cancelAtRead) state->stopRequested = 1;
    if (!progressSinceCheck) return;
    progressSinceCheck = false;
    checks++;
    HWND dialog = state->dialogWindow;
    printf("{\"event\": \"check\", \"check\": %d, \"dialog\": %lu}\n", checks,
           (unsigned long)(DWORD_PTR)(IsWindow(dialog) ? dialog : 0));
    fflush(stdout);
    // Any later dialog keeps the usual grace.
    SeamGraceTicks = 2000;
    if (!checkGate) return;
    WaitForGate(checkGate);
    printf("{\"event\": \"gate-open\", \"check\": %d, \"dialogField\": %lu}\n", checks,
           (unsigned long)(DWORD_PTR)state->dialogWindow);
    fflush(stdout);
}

// "--cancel-on-restart": the user's Yes as the second download is announced
// on the status line.
static bool cancelOnRestart;
static BOOL WINAPI CancellingPostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (cancelOnRestart && message == UM_STATUS &&
        !strcmp((const char*)lParam, "Downloading installation files..."))
        theState.stopRequested = 1;
    return realPostMessage(window, message, wParam, lParam);
}

static int Verify(int argc, char** argv) {
    if (argc < 4 || !ParseSha256(Option(argc, argv, "--pin", ""), setupHash)) return 2;
    setupHashPinned = 1;
    checkGate = Option(argc, argv, "--gate", 0);
    ApplyFileRules(argc, argv);
    SeamGraceTicks = strtoul(Option(argc, argv, "--first-grace", "2000"), 0, 10);
    cancelAtRead = strtoul(Option(argc, argv, "--cancel-at-read", "0"), 0, 10);
    cancelOnRestart = Flag(argc, argv, "--cancel-on-restart");
    realPostMessage = (decltype(realPostMessage))PatchImport(&postMessageSlot,
                                                             (void*)CancellingPostMessage);
    SeamProgressHook = OnProgress;
    SeamHashHook = OnHashChunk;
    TransferState* state = &theState;
    theSession.downloadUrl = argv[2];  // a second download fetches it again
    char launch[MAX_PATH + 16];
    snprintf(launch, sizeof launch, "%s-launch.exe", argv[3]);
    StartProgressWindow(state);
    DWORD ok = DownloadFile(state, argv[2], argv[3], 1);
    HANDLE held = TakeDownload(&theSession, state, argv[3], launch, ok);
    ok = held != INVALID_HANDLE_VALUE;
    if (ok) CloseHandle(held);
    printf("{\"event\": \"end\", \"result\": %lu, \"errorCode\": %lu, \"checks\": %d, "
           "\"doneBytes\": %lu, \"totalBytes\": %lu, \"stopRequested\": %lu, "
           "\"attributes\": %lu, \"launchAttributes\": %lu}\n",
           ok, state->errorCode, checks, state->doneBytes, state->totalBytes,
           state->stopRequested, GetFileAttributesA(argv[3]), GetFileAttributesA(launch));
    return 0;
}

static int Progress(int argc, char** argv) {
    TransferState* state = &theState;
    CountProgressPosts();
    // The handle MessageBoxA puts into the question's icon control: system
    // icons are shared within a process.
    HICON questionIcon = LoadIconA(0, IDI_QUESTION);
    HICON warningIcon = LoadIconA(0, IDI_EXCLAMATION);
    HWND dialog = StartProgressWindow(state);
    DWORD startedAt = GetTickCount();
    DWORD threadId = dialog ? GetWindowThreadProcessId(dialog, 0) : 0;
    if (threadId) progressThread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, threadId);
    printf("{\"event\": \"started\", \"dialog\": %lu, \"pid\": %lu, \"threadId\": %lu, "
           "\"questionIcon\": %lu, \"warningIcon\": %lu, ",
           (unsigned long)(DWORD_PTR)dialog, GetCurrentProcessId(), threadId,
           (unsigned long)(DWORD_PTR)questionIcon, (unsigned long)(DWORD_PTR)warningIcon);
    PrintProgressState(state, dialog);
    printf("}\n");
    fflush(stdout);
    for (int i = 2; i < argc; i++) {
        const char* step = argv[i];
        if (step[0] == '-') {  // an option and its value
            if (strcmp(step, "--quiet")) i++;
            continue;
        }
        const char* value = strchr(step, '=');
        DWORD number = value ? strtoul(value + 1, 0, 10) : 0;
        char extra[96] = "";
        if (!strncmp(step, "total=", 6)) state->totalBytes = number;
        else if (!strncmp(step, "base=", 5)) state->baseBytes = number;
        else if (!strncmp(step, "done=", 5)) state->doneBytes = number;
        else if (!strncmp(step, "elapsed=", 8)) state->startTick = GetTickCount() - number;
        else if (!strcmp(step, "post")) PostProgress(state);
        else if (!strncmp(step, "sleep=", 6)) Sleep(number);
        else if (!strcmp(step, "grace")) Sleep(2300);
        else if (!strcmp(step, "hide")) ShowWindow(dialog, SW_HIDE);  // as after the transfer
        else if (!strncmp(step, "wait-stop=", 10)) {
            for (DWORD waited = 0; !state->stopRequested && waited < number; waited += 50) Sleep(50);
        } else if (!strncmp(step, "hold=", 5)) {
            Sleep(number);
        } else if (!strncmp(step, "wait-thread=", 12)) {
            if (progressThread) WaitForSingleObject(progressThread, number);
        } else if (!strncmp(step, "gate=", 5)) {
            printf("{\"event\": \"gate\", \"step\": ");
            PrintJsonText(step);
            printf(", ");
            PrintProgressState(state, dialog);
            printf("}\n");
            fflush(stdout);
            sprintf(extra, ", \"opened\": %d", WaitForGate(value + 1));
        } else if (!strncmp(step, "watch=", 6)) {
            // Whether the dialog ever showed in the next MS ms, and when it
            // went away (ms since StartProgressWindow returned, -1: still there).
            int everVisible = 0;
            long goneAfter = -1;
            DWORD from = GetTickCount();
            for (;;) {
                DWORD now = GetTickCount() - from;
                if (!IsWindow(dialog)) {
                    if (goneAfter < 0) goneAfter = (long)(GetTickCount() - startedAt);
                } else if (IsWindowVisible(dialog)) {
                    everVisible = 1;
                }
                if (now >= number) break;
                Sleep(10);
            }
            sprintf(extra, ", \"everVisible\": %d, \"goneAfter\": %ld", everVisible, goneAfter);
        }
        printf("{\"event\": \"step\", \"step\": ");
        PrintJsonText(step);
        printf(", ");
        PrintProgressState(state, dialog);
        printf("%s}\n", extra);
        fflush(stdout);
    }
    printf("{\"event\": \"end\", ");
    PrintProgressState(state, dialog);
    printf("}\n");
    fflush(stdout);
    return 0;
}

static void FaultHere() {
    *(volatile int*)0 = 0;
}

// The most private memory the process has held so far (0 where the
// system cannot tell).
static unsigned long PeakPrivateBytes() {
    typedef BOOL(WINAPI * InfoCall)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
    InfoCall info = (InfoCall)GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                             "K32GetProcessMemoryInfo");
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!info || !info(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
    return (unsigned long)counters.PeakPagefileUsage;
}

static int DriverMain(int argc, char** argv) {
    instanceHandle = GetModuleHandleA(0);
    InitCommonControls();
    LoadConfiguration();
    ApplySession(argc, argv);
    ApplyClient(argc, argv);
    if (argc < 2) return 2;
    const char* command = argv[1];
    if (!strcmp(command, "transfer")) return Transfer(argc, argv);
    if (!strcmp(command, "progress")) return Progress(argc, argv);
    if (!strcmp(command, "launch")) return Launch(argc, argv);
    if (!strcmp(command, "regkey-access") && argc >= 4) return RegKeyAccess(argv[2], argv[3]);
    if (!strcmp(command, "reboot") && argc >= 3) {
        if (Flag(argc, argv, "--no-movefileex")) SeamMoveFileExName = "NoSuchMoveFileExA";
        printf("{\"result\": %lu}\n", ScheduleDeleteAtReboot(argv[2]));
        return 0;
    }
    if (!strcmp(command, "event") && argc >= 5) {
        theSession.eventUrl = argv[2];
        theSession.campaign = argv[3];
        if (Flag(argc, argv, "--fault-in-ping")) {
            SetUnhandledExceptionFilter(ReportFault);
            SeamPingHook = FaultHere;
        }
        DWORD start = GetTickCount();
        DWORD result = SendEvent(&theSession, atoi(argv[4]));
        // "errorBox": the run's error box is up (the product's caption).
        printf("{\"result\": %lu, \"peakBytes\": %lu, \"openTypes\": [%s], \"ms\": %lu, "
               "\"errorBox\": %d}\n",
               result, PeakPrivateBytes(), openTypes, GetTickCount() - start,
               FindWindowA("#32770", GetTitle()) != 0);
        return 0;
    }
    if (!strcmp(command, "hash") && argc >= 3) return Hash(argv[2]);
    if (!strcmp(command, "verify")) return Verify(argc, argv);
    if (!strcmp(command, "agent")) {
        const char* first = GetAgentString();
        int same = GetAgentString() == first && GetAgentString() == first;
        printf("{\"agent\": \"%s\", \"samePointer\": %d, \"osKind\": %lu}\n", first, same, OsKind);
        return 0;
    }
    if (!strcmp(command, "tempdir")) {
        const char* first = GetTempDirectory();
        printf("{\"dir\": \"");
        for (const char* at = first; *at; at++) printf(*at == '\\' ? "\\\\" : "%c", *at);
        printf("\", \"cached\": %d}\n", GetTempDirectory() == first && first[0]);
        return 0;
    }
    return 2;
}

// Wine now and then faults in a thread of its own while a process exits
// normally; ending at once after the output is flushed keeps the exit code
// the driver's own.
int main(int argc, char** argv) {
    int code = DriverMain(argc, argv);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), code);
    return code;
}
