/* The hook DLL of the test program: one export so that the program can prove
 * it really loaded it. */
#include <windows.h>

__declspec(dllexport) int VgzHookPing(void) { return 42; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
