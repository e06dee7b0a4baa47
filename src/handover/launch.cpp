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

HANDLE HoldDownload(TransferState* state, const char* downloadFile, const char* launchFile) {
    DeleteFileA(launchFile);  // a stale copy; if it stays, the rename reports why
    if (!MoveFileA(downloadFile, launchFile)) {
        state->errorCode = GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    // Everyone may read it, nobody may write, rename or delete it until the
    // setup's process exists: what starts is what was checked, also in a
    // temporary directory that other users share (NT 4.0). The system's own
    // open to start it asks to read and execute and shares reading, and a
    // handle that cannot write does not keep it from mapping the image.
    HANDLE held = CreateFileA(launchFile, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (held == INVALID_HANDLE_VALUE) {
        state->errorCode = GetLastError();
        MoveFileA(launchFile, downloadFile);  // back for the next run, where it can
    }
    return held;
}

void ReturnDownload(HANDLE held, const char* launchFile, const char* downloadFile) {
    CloseHandle(held);
    MoveFileA(launchFile, downloadFile);  // failing, it stays unstarted under the launch name
}

DWORD DownloadAndLaunch(InstallSession* session, TransferState* state) {
    const char* directory = GetTempDirectory();
    DWORD result = 0;

    // The download name (room for any product code), the launch name, and
    // behind it the same in quotes as the setup's command line: without one
    // the setup gets its bare path, which splits at every blank of the
    // directory.
    DWORD room = lstrlenA(directory) + lstrlenA(session->productCode) + 40;
    char* downloadFile = AllocBuffer(3 * room);
    if (!downloadFile) {
        state->errorCode = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    char* launchFile = downloadFile + room;
    char* commandLine = launchFile + room;
    wsprintfA(downloadFile, "%s\\~%s%d.exe", directory, session->productCode,
              session->installNumber);
    wsprintfA(launchFile, "%s\\~mi%d$%x.exe", directory, session->installNumber,
              GetCurrentProcessId());
    wsprintfA(commandLine, "\"%s\"", launchFile);

    StartProgressWindow(state);
    DWORD ok = FetchSetup(state, downloadFile, 1);
    HANDLE held = TakeDownload(session, state, downloadFile, launchFile, ok);

    // Hidden before anything starts; its own thread destroys it.
    EndProgressWindow(state);

    if (held == INVALID_HANDLE_VALUE) {
        // An incomplete download is always reported; a cancelled one never.
        if (!state->stopRequested && !state->errorCode)
            state->errorCode = ERROR_INTERNET_CONNECTION_RESET;
        goto done;
    }
    // A cancelled download is never started, whatever its counters say.
    if (state->stopRequested) {
        ReturnDownload(held, launchFile, downloadFile);
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
            result = 1;
        } else {
            state->errorCode = GetLastError();
            if (process.hThread) CloseHandle(process.hThread);
        }
    }
    CloseHandle(held);
    ScheduleDeleteAtReboot(launchFile);

done:
    FreeBuffer(downloadFile);
    return result;
}
