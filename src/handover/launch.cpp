// Launch of the finished download: rename to a name of this process, start
// it, forget the resume record, and have the copy deleted at reboot.
#include "handover.h"
#include "../progress/progress.h"
#include "../transfer/transfer.h"

static char* tempDirectory;

const char* GetTempDirectory() {
    if (tempDirectory) return tempDirectory;
    char probe[1];
    DWORD needed = GetTempPathA(1, probe);
    if (!needed) return EmptyString;
    char* directory = AllocBuffer(needed + 1);
    // Not cached: a later call may find the memory.
    if (!directory) return EmptyString;
    tempDirectory = directory;
    DWORD length = GetTempPathA(needed, directory);
    if (!length || length >= needed) {
        directory[0] = 0;
        length = 0;
    }
    if (length && directory[length - 1] == '\\') directory[length - 1] = 0;
    return directory;
}

DWORD DownloadAndLaunch(InstallSession* session, TransferState* state) {
    const char* directory = GetTempDirectory();
    DWORD directoryLength = lstrlenA(directory);
    char* launchFile = 0;
    char* commandLine;
    DWORD result = 0;

    // Room for any product code, not only short ones.
    char* downloadFile = AllocBuffer(directoryLength + lstrlenA(session->productCode) + 40);
    if (!downloadFile) {
        state->errorCode = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    wsprintfA(downloadFile, "%s\\~%s%d.exe", directory, session->productCode,
              session->installNumber);

    StartProgressWindow(state);
    DWORD ok = DownloadFile(state, GetDownloadUrl(), downloadFile, 1);
    ok = VerifyDownload(session, state, downloadFile, ok);

    // Hidden before anything starts; its own thread destroys it once the
    // run sets uiQuit.
    if (IsWindow(state->dialogWindow)) ShowWindow(state->dialogWindow, SW_HIDE);

    // A cancelled download is never started, whatever its counters say.
    if (state->stopRequested) goto done;
    if (!ok || state->doneBytes < state->totalBytes) {
        // An incomplete download is always reported.
        if (!state->errorCode) state->errorCode = ERROR_INTERNET_CONNECTION_RESET;
        goto done;
    }

    // The launch name, and behind it the same in quotes as the setup's
    // command line: without one the setup gets its bare path, which splits
    // at every blank of the directory.
    launchFile = AllocBuffer(2 * (directoryLength + 40));
    if (!launchFile) {
        state->errorCode = ERROR_NOT_ENOUGH_MEMORY;
        goto done;
    }
    commandLine = launchFile + directoryLength + 40;
    wsprintfA(launchFile, "%s\\~mi%d$%x.exe", directory, session->installNumber,
              GetCurrentProcessId());
    wsprintfA(commandLine, "\"%s\"", launchFile);
    DeleteFileA(launchFile);  // a stale copy; if it stays, the rename reports why
    if (!MoveFileA(downloadFile, launchFile)) {
        state->errorCode = GetLastError();
        goto done;
    }

    {
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (CreateProcessA(launchFile, commandLine, 0, 0, FALSE, 0, 0, 0, &startup, &process) &&
            process.hProcess) {
            DeleteResumeRecord(session);  // one left behind is overwritten next time
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            result = ok;
        } else {
            state->errorCode = GetLastError();
            if (process.hThread) CloseHandle(process.hThread);
        }
    }
    ScheduleDeleteAtReboot(launchFile);

done:
    FreeBuffer(launchFile);
    FreeBuffer(downloadFile);
    return result;
}
