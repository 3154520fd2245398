/* vantoro-demo: a small host program that loads libvantoro.so and plays one
 * demonstration signal through it, the way an application would. */
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "vantoro.h"

static void VANTORO_STDCALL OnProgress(uint32_t written) {
    static uint32_t next = 0;
    if (written >= next && isatty(2)) {
        next = written + 44100;
        fprintf(stderr, "\rsynthesised %u sample values", written);
    }
}

static void Wait(double seconds) {
    struct timespec t;
    t.tv_sec = (time_t)seconds;
    t.tv_nsec = (long)((seconds - (double)t.tv_sec) * 1e9);
    nanosleep(&t, NULL);
}

int main(int argc, char** argv) {
    const char* which = argc > 1 ? argv[1] : "tone";
    int32_t seconds = 2;
    int32_t result;
    if (strcmp(which, "tone") == 0) {
        /* 1 kHz sine, 16-bit stereo at 44100 Hz, at half amplitude. */
        result = fnVantoroCreateAndPlay(0, seconds, 3, 16, 2, 0, 0.5, 0, 1000, 0, 0, OnProgress);
    } else if (strcmp(which, "sweep") == 0) {
        /* Logarithmic sine sweep from 20 Hz to 20 kHz. */
        seconds = 3;
        result = fnVantoroCreateAndPlay(0, seconds, 3, 16, 2, 0, 0.5, 2, 0, 20, 20000, OnProgress);
    } else if (strcmp(which, "pink") == 0) {
        result = fnVantoroCreateAndPlay1(4, seconds, 3, 16, 2, 0, 1.0, 0, 0, 0, 0);
    } else {
        fprintf(stderr, "usage: vantoro-demo tone|sweep|pink\n");
        return 2;
    }
    if (isatty(2)) fputc('\n', stderr);
    if (result != 0) {
        PlayStop();
        fprintf(stderr, "vantoro-demo: the %s did not start\n", which);
        return 1;
    }
    printf("playing %s: %d s, %d sample values\n", which, seconds,
           GetProgressRang(seconds, 3, 16, 2));
    fflush(stdout);
    /* The engine stops itself at the end; PlayStop afterwards is harmless. */
    Wait(seconds + 0.5);
    PlayStop();
    return 0;
}
