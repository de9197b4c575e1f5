/* Tolvane.exe: the program the prefix's Run and RunOnce entries name
 * (C:\Program Files\Tolvane\Tolvane.exe). Under Wine it starts the Linux
 * program tolvane on this same prefix with the same switches, and waits for
 * it to end, so that Wine's start-up (wineboot) runs Tolvane's "-b"
 * deletions and "-s" scan.
 *
 * The Linux program's host path is the first line of Tolvane.host beside this
 * file (written by tolvane each time it opens the prefix). The prefix is the
 * one Wine runs us in (WINECONFIGDIR). Without a display (no DISPLAY nor
 * WAYLAND_DISPLAY) tolvane runs with --headless.
 *
 * Wine starts a Linux program without a process handle to wait on, so the
 * launcher hands tolvane a status file (--launcher-status): tolvane writes
 * its process id there when it starts and "PID STATUS" when it ends. The
 * launcher polls it, ends when the status is there or the process is gone,
 * and exits with tolvane's status (1 when it could not be had).
 *
 * Exit status: tolvane's; 1 when it could not be started or ended without
 * saying; 2 when not run under Wine or Tolvane.host is missing. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

typedef char *(CDECL *ToUnixFn)(LPCWSTR);
typedef WCHAR *(CDECL *ToDosFn)(LPCSTR);

static ToUnixFn to_unix;
static ToDosFn to_dos;

/* The command line after the program's own name, as given. */
static const WCHAR *arguments_after_program(void) {
    const WCHAR *p = GetCommandLineW();
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {
        }
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

/* The first line of Tolvane.host beside this program, as a DOS path of the
 * Linux program; NULL when missing. */
static WCHAR *linux_program(void) {
    WCHAR path[MAX_PATH + 32];
    DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return NULL;
    WCHAR *slash = wcsrchr(path, L'\\');
    if (!slash) return NULL;
    wcscpy(slash + 1, L"Tolvane.host");
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return NULL;
    char text[4096];
    DWORD got = 0;
    BOOL ok = ReadFile(file, text, sizeof text - 1, &got, NULL);
    CloseHandle(file);
    if (!ok) return NULL;
    text[got] = 0;
    text[strcspn(text, "\r\n")] = 0;
    return text[0] == '/' ? to_dos(text) : NULL;
}

/* The prefix's host path from WINECONFIGDIR ("\??\Z:\home\u\.wine"). */
static char *prefix_path(void) {
    WCHAR dir[MAX_PATH + 8];
    DWORD n = GetEnvironmentVariableW(L"WINECONFIGDIR", dir + 4, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return NULL;
    memcpy(dir, L"\\\\?\\", 4 * sizeof(WCHAR));
    if (wcsncmp(dir + 4, L"\\??\\", 4) == 0) memmove(dir + 4, dir + 8, (n - 3) * sizeof(WCHAR));
    return to_unix(dir);
}

static int has_display(void) {
    char value[8];
    return GetEnvironmentVariableA("DISPLAY", value, sizeof value) > 0 ||
           GetEnvironmentVariableA("WAYLAND_DISPLAY", value, sizeof value) > 0;
}

/* Reads "PID" or "PID STATUS" from the status file; the count of numbers. */
static int read_status(const WCHAR *file, unsigned long *pid, int *status) {
    HANDLE h = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    char text[64];
    DWORD got = 0;
    BOOL ok = ReadFile(h, text, sizeof text - 1, &got, NULL);
    CloseHandle(h);
    if (!ok) return 0;
    text[got] = 0;
    return sscanf(text, "%lu %d", pid, status);
}

static int process_exists(unsigned long pid) {
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/%lu", pid);
    WCHAR *dos = to_dos(proc);
    return dos && GetFileAttributesW(dos) != INVALID_FILE_ATTRIBUTES;
}

/* Waits for tolvane's status; 1 when it ended without one or never began. */
static int wait_for_status(const WCHAR *file) {
    const int never_began_after = 120; /* polls of 250 ms: half a minute */
    unsigned long pid = 0;
    int status = 1;
    for (int polls = 0;; ++polls) {
        Sleep(250);
        int numbers = read_status(file, &pid, &status);
        if (numbers == 2) return status;
        if (numbers == 1 && !process_exists(pid)) {
            /* It may have written its status just before it ended. */
            return read_status(file, &pid, &status) == 2 ? status : 1;
        }
        if (numbers == 0 && polls >= never_began_after) return 1;
    }
}

/* A host path (UTF-8, as Wine gives it) as wide text; NULL on failure. */
static WCHAR *widen(const char *text) {
    int n = text ? MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0) : 0;
    WCHAR *wide = n > 0 ? malloc(n * sizeof(WCHAR)) : NULL;
    if (wide && !MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, n)) wide = NULL;
    return wide;
}

static void say(const char *text) {
    fprintf(stderr, "Tolvane.exe: %s\n", text);
}

int main(void) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    /* Through void*: the exported functions' real types are known here. */
    to_unix = (ToUnixFn)(void *)GetProcAddress(kernel, "wine_get_unix_file_name");
    to_dos = (ToDosFn)(void *)GetProcAddress(kernel, "wine_get_dos_file_name");
    if (!to_unix || !to_dos) {
        say("Tolvane runs on Linux; this launcher works only under Wine.");
        return 2;
    }
    WCHAR *program = linux_program();
    char *prefix = prefix_path();
    if (!program || !prefix) {
        say("Tolvane.host or the prefix's folder is missing: start tolvane on this prefix once.");
        return 2;
    }
    WCHAR temp[MAX_PATH], status_file[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, temp) || !GetTempFileNameW(temp, L"tvl", 0, status_file)) {
        say("cannot make the status file in the temporary folder.");
        return 1;
    }
    WCHAR *status_unix = widen(to_unix(status_file));
    WCHAR *prefix_wide = widen(prefix);
    const WCHAR *rest = arguments_after_program();
    if (!status_unix || !prefix_wide) return 1;
    size_t size = wcslen(program) + wcslen(prefix_wide) + wcslen(status_unix) + wcslen(rest) + 128;
    WCHAR *line = malloc(size * sizeof(WCHAR));
    if (!line) return 1;
    /* Wine splits the line into the Linux program's arguments as Windows
     * does; the host paths are quoted for that. */
    _snwprintf(line, size, L"\"%ls\"%ls --machine \"%ls\" --launcher-status \"%ls\" %ls", program,
               has_display() ? L"" : L" --headless", prefix_wide, status_unix, rest);
    line[size - 1] = 0;
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof startup);
    memset(&process, 0, sizeof process);
    startup.cb = sizeof startup;
    if (!CreateProcessW(program, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        say("cannot start the Linux program named in Tolvane.host.");
        DeleteFileW(status_file);
        return 1;
    }
    if (process.hProcess) CloseHandle(process.hProcess);
    if (process.hThread) CloseHandle(process.hThread);
    int status = wait_for_status(status_file);
    DeleteFileW(status_file);
    return status;
}
