// Test driver: runs the stub's own code piece by piece and prints JSON.
//
//   stubdriver transfer URL FILE [--resume 0|1] [--window] [--cancel-at BYTES]
//              [--retr-seam open|fail] [--product P] [--regkey K] [--install N]
//   stubdriver progress [--quiet] [--title T] STEP...
//       steps: total=N base=N done=N post sleep=MS grace (wait 2.3 s)
//              wait-stop=MS hold=MS
//   stubdriver reboot PATH [--no-movefileex]
//   stubdriver event URL CAMPAIGN MODE
//   stubdriver agent
//   stubdriver tempdir
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "run/run.h"
#include <commctrl.h>
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

static void OnProgress(TransferState* state) {
    reports++;
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
    SeamProgressHook = OnProgress;
    TransferState* state = &theState;
    if (Flag(argc, argv, "--window")) {
        StartProgressWindow(state);
    } else {
        state->startTick = GetTickCount();
    }
    DWORD result = DownloadFile(state, url, file, resume);
    printf("{\"result\": %lu, \"errorCode\": %lu, \"totalBytes\": %lu, \"doneBytes\": %lu, "
           "\"baseBytes\": %lu, \"stopRequested\": %lu, \"internetHandle\": \"%s\", "
           "\"requestHandle\": \"%s\", \"fileHandle\": \"%s\", \"reports\": %lu, "
           "\"firstDone\": %lu, \"firstBase\": %lu, \"firstTotal\": %lu, \"retrSeamCalls\": %d}\n",
           result, state->errorCode, state->totalBytes, state->doneBytes, state->baseBytes,
           state->stopRequested, HandleState(state->internetHandle),
           HandleState(state->requestHandle), HandleState(state->fileHandle), reports, firstDone,
           firstBase, firstTotal, retrSeamCalls);
    fflush(stdout);
    return 0;
}

static int Progress(int argc, char** argv) {
    TransferState* state = &theState;
    HWND dialog = StartProgressWindow(state);
    printf("{\"event\": \"started\", \"dialog\": %lu}\n", (unsigned long)(DWORD_PTR)dialog);
    fflush(stdout);
    for (int i = 2; i < argc; i++) {
        const char* step = argv[i];
        if (step[0] == '-') {  // an option and its value
            if (strcmp(step, "--quiet")) i++;
            continue;
        }
        const char* value = strchr(step, '=');
        DWORD number = value ? strtoul(value + 1, 0, 10) : 0;
        if (!strncmp(step, "total=", 6)) state->totalBytes = number;
        else if (!strncmp(step, "base=", 5)) state->baseBytes = number;
        else if (!strncmp(step, "done=", 5)) state->doneBytes = number;
        else if (!strcmp(step, "post")) PostProgress(state);
        else if (!strncmp(step, "sleep=", 6)) Sleep(number);
        else if (!strcmp(step, "grace")) Sleep(2300);
        else if (!strncmp(step, "wait-stop=", 10)) {
            for (DWORD waited = 0; !state->stopRequested && waited < number; waited += 50) Sleep(50);
        } else if (!strncmp(step, "hold=", 5)) {
            Sleep(number);
        }
        printf("{\"event\": \"step\", \"step\": \"%s\", \"stopRequested\": %lu, \"dialogAlive\": %d, "
               "\"visible\": %d}\n",
               step, state->stopRequested, IsWindow(dialog) ? 1 : 0,
               IsWindow(dialog) && IsWindowVisible(dialog) ? 1 : 0);
        fflush(stdout);
    }
    printf("{\"event\": \"end\", \"stopRequested\": %lu, \"dialogAlive\": %d}\n",
           state->stopRequested, IsWindow(dialog) ? 1 : 0);
    fflush(stdout);
    return 0;
}

int main(int argc, char** argv) {
    instanceHandle = GetModuleHandleA(0);
    InitCommonControls();
    LoadConfiguration();
    ApplySession(argc, argv);
    if (argc < 2) return 2;
    const char* command = argv[1];
    if (!strcmp(command, "transfer")) return Transfer(argc, argv);
    if (!strcmp(command, "progress")) return Progress(argc, argv);
    if (!strcmp(command, "reboot") && argc >= 3) {
        if (Flag(argc, argv, "--no-movefileex")) SeamMoveFileExName = "NoSuchMoveFileExA";
        printf("{\"result\": %lu}\n", ScheduleDeleteAtReboot(argv[2]));
        return 0;
    }
    if (!strcmp(command, "event") && argc >= 5) {
        theSession.eventUrl = argv[2];
        theSession.campaign = argv[3];
        DWORD result = SendEvent(&theSession, atoi(argv[4]));
        printf("{\"result\": %lu, \"capacity\": %lu}\n", result, SeamReplyCapacity);
        return 0;
    }
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
