/*
 * fakesetup: stands in for the real setup that the stub downloads and
 * starts. It records that it ran, from where and with what command line,
 * by appending one line to the file named in FAKESETUP_LOG:
 *
 *   ran|<module path>|<command line>|<process id>
 *
 * Without FAKESETUP_LOG it does nothing. FAKESETUP_SLEEP_MS, when set, keeps
 * it running that long after writing (for tests that need the started
 * setup still alive). Exit code 0.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(void)
{
    char log[MAX_PATH + 1], self[MAX_PATH + 1], sleep_ms[32];
    char *line;
    const char *cmdline = GetCommandLineA();
    HANDLE f;
    DWORD written, len;
    int tries;

    if (!GetEnvironmentVariableA("FAKESETUP_LOG", log, sizeof log) || !log[0])
        return 0;
    self[0] = 0;
    GetModuleFileNameA(NULL, self, sizeof self);
    len = (DWORD)(lstrlenA(self) + lstrlenA(cmdline) + 64);
    line = (char *)malloc(len);
    if (!line)
        return 0;
    len = (DWORD)_snprintf(line, len, "ran|%s|%s|%lu\r\n", self, cmdline, (unsigned long)GetCurrentProcessId());

    /* Several setups may finish at once; retry while another one holds the file. */
    for (tries = 0; tries < 100; tries++) {
        f = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, NULL);
        if (f != INVALID_HANDLE_VALUE)
            break;
        Sleep(20);
    }
    if (f != INVALID_HANDLE_VALUE) {
        SetFilePointer(f, 0, NULL, FILE_END);
        WriteFile(f, line, len, &written, NULL);
        CloseHandle(f);
    }
    free(line);

    if (GetEnvironmentVariableA("FAKESETUP_SLEEP_MS", sleep_ms, sizeof sleep_ms))
        Sleep((DWORD)strtoul(sleep_ms, NULL, 10));
    return 0;
}
