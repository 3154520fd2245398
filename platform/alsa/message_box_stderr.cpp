// The warning box on Linux: there is no desktop to show it on, so its text
// goes to standard error as one line and the box counts as acknowledged.
#include <cstdio>

#include "platform/wave_api.h"

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR, UINT) {
    constexpr int kIdOk = 1;
    flockfile(stderr);
    for (const char* c = lpText ? lpText : ""; *c != '\0'; ++c)
        putc_unlocked(*c == '\n' || *c == '\r' ? ' ' : *c, stderr);
    putc_unlocked('\n', stderr);
    fflush_unlocked(stderr);
    funlockfile(stderr);
    return kIdOk;
}
