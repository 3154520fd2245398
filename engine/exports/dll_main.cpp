// The entry point of Vantoro.dll. The engine needs no per-process or
// per-thread set-up: its state is static and its threads start with a
// playback, so loading and unloading do nothing.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
