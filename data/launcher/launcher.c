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
 * and exits with tolvane's status (1 when it could not be had). Until the
 * process id is written (tolvane may take long to load on a busy machine)
 * the launcher finds the process by the status file's path in its command
 * line, so that it gives up only on a tolvane that never ran, never on one
 * still loading.
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

/* Reads "PID" or "PID STATUS" from the status file; the count of numbers
 * (0 for the empty file tolvane has not written yet). */
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
    /* sscanf gives EOF, not 0, for an empty text. */
    int numbers = sscanf(text, "%lu %d", pid, status);
    return numbers > 0 ? numbers : 0;
}

static int process_exists(unsigned long pid) {
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/%lu", pid);
    WCHAR *dos = to_dos(proc);
    int exists = dos && GetFileAttributesW(dos) != INVALID_FILE_ATTRIBUTES;
    HeapFree(GetProcessHeap(), 0, dos); /* called every poll of a long run */
    return exists;
}

/* Whether the process's command line holds needle: the status file's host
 * path, which names this run alone. */
static int command_line_holds(const WCHAR *proc, const WCHAR *name, const char *needle) {
    WCHAR path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\%ls\\cmdline", proc, name);
    path[MAX_PATH - 1] = 0;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    static char text[16384];
    DWORD got = 0;
    BOOL ok = ReadFile(h, text, sizeof text, &got, NULL);
    CloseHandle(h);
    size_t length = strlen(needle);
    if (!ok || length == 0) return 0;
    /* The arguments are separated by NULs: compare at every byte. */
    for (DWORD at = 0; at + length <= got; ++at)
        if (memcmp(text + at, needle, length) == 0) return 1;
    return 0;
}

/* The process id of the tolvane started with this status file, from the
 * host's process list; 0 when none is there. */
static unsigned long find_started(const WCHAR *proc, const char *status_unix) {
    WCHAR pattern[MAX_PATH];
    _snwprintf(pattern, MAX_PATH, L"%ls\\*", proc);
    pattern[MAX_PATH - 1] = 0;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE) return 0;
    unsigned long pid = 0;
    do {
        if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9') continue;
        if (command_line_holds(proc, entry.cFileName, status_unix))
            pid = wcstoul(entry.cFileName, NULL, 10);
    } while (!pid && FindNextFileW(find, &entry));
    FindClose(find);
    return pid;
}

/* Waits for tolvane's status; 1 when it ended without one or never began.
 * Only a tolvane neither seen in the process list nor in the status file
 * after half a minute counts as never begun: the process exists from the
 * moment CreateProcess returns, so that covers only a start that failed. */
static int wait_for_status(const WCHAR *file, const char *status_unix) {
    const int never_began_after = 120; /* polls of 250 ms: half a minute */
    const WCHAR *proc = to_dos("/proc");
    unsigned long pid = 0, started = 0;
    int status = 1;
    for (int polls = 0;; ++polls) {
        Sleep(250);
        int numbers = read_status(file, &pid, &status);
        if (numbers == 2) return status;
        if (numbers == 1)
            started = pid;
        else if (!started && proc)
            started = find_started(proc, status_unix);
        if (started && !process_exists(started)) {
            /* It may have written its status just before it ended. */
            return read_status(file, &pid, &status) == 2 ? status : 1;
        }
        if (!started && polls >= never_began_after) return 1;
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
    const char *status_host = to_unix(status_file);
    WCHAR *status_unix = widen(status_host);
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
    int status = wait_for_status(status_file, status_host);
    DeleteFileW(status_file);
    return status;
}
