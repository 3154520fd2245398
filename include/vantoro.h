/* Vantoro: audio test-signal library, host-facing interface.
 *
 * One signal at a time: the start operations synthesise it, open the default
 * wave output device and stream it until it has played out, loops, or the host
 * calls PlayStop. Every function returns a 32-bit integer. */
#ifndef VANTORO_H
#define VANTORO_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VANTORO_CDECL __cdecl
#define VANTORO_STDCALL __stdcall
#else
#define VANTORO_CDECL
#define VANTORO_STDCALL
#endif

#if defined(VANTORO_BUILDING)
#if defined(_WIN32)
// Vantoro.dll exports by ordinal from its module-definition file, under the
// names a host expects, and nothing else.
#define VANTORO_API
#else
#define VANTORO_API __attribute__((visibility("default")))
#endif
#else
#if defined(_WIN32)
#define VANTORO_API __declspec(dllimport)
#else
#define VANTORO_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Receives the number of sample values (all channels counted) written so far,
 * once per synthesised frame. The callee removes its argument on 32-bit
 * Windows. */
typedef void(VANTORO_STDCALL* ProgressCallback)(uint32_t valuesWritten);

/* kind: 0 sine, 1 square, 2 ramp, 3 white, 4 pink, 5 brown noise.
 * rateIndex: 0..6 for 11025, 22050, 32000, 44100, 48000, 96000, 192000 Hz.
 * bits: 8, 16, 20, 24 or 32 (32 is IEEE float at half scale).
 * channels: 0 means two channels, the second the inverse of the first.
 * sweepMode: 0 fixed tone at `frequency`, 1 linear sweep, other values a
 * logarithmic sweep from `sweepStart` to `sweepEnd`.
 * Returns 0 when the signal started, -1 otherwise. */
VANTORO_API int32_t VANTORO_CDECL fnVantoroCreateAndPlay(
    int32_t kind, int32_t seconds, int32_t rateIndex, int32_t bits, int32_t channels, int32_t loop,
    double amplitude, int32_t sweepMode, int32_t frequency, int32_t sweepStart, int32_t sweepEnd,
    ProgressCallback progress);

/* As fnVantoroCreateAndPlay without progress reports; every nonzero sweepMode
 * gives a logarithmic sweep. */
VANTORO_API int32_t VANTORO_CDECL fnVantoroCreateAndPlay1(
    int32_t kind, int32_t seconds, int32_t rateIndex, int32_t bits, int32_t channels, int32_t loop,
    double amplitude, int32_t sweepMode, int32_t frequency, int32_t sweepStart, int32_t sweepEnd);

/* Stops playback and releases the signal; also clears the engine after a
 * failed start. Always returns 0. */
VANTORO_API int32_t VANTORO_CDECL PlayStop(void);

/* The number of sample values a start with these arguments synthesises (the
 * last progress value), or -1 for an invalid rate code. `unused` is not read. */
VANTORO_API int32_t VANTORO_CDECL GetProgressRang(int32_t seconds, int32_t rateIndex,
                                                  int32_t unused, int32_t channels);

#ifdef __cplusplus
}

/* Exported for hosts that link against it; it holds nothing. */
class VANTORO_API CVantoro {
  public:
    CVantoro();
    CVantoro& operator=(const CVantoro&);
};
#endif

#endif
