/* A stand-in for spyware on a real Wine prefix: loads its hook DLL (from its
 * own folder, else the system folder) and stays running until it is killed.
 * Exit code 2 when the DLL cannot be loaded, so a test sees the failure. */
#include <windows.h>

int main(void) {
    HMODULE hook = LoadLibraryA("vgzhook.dll");
    if (!hook) return 2;
    FARPROC ping = GetProcAddress(hook, "VgzHookPing");
    if (!ping || ping() != 42) return 3;
    for (;;) Sleep(1000);
    return 0;
}
