// The DLL's entry point.  The slot table is a shared section whose first
// content comes from the image, so there is nothing to set up on attach and
// nothing to release on detach: a slot that a process leaves claimed stays
// claimed until the last process unloads the library.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/) {
    return TRUE;
}
