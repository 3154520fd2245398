// The host-facing functions and the exported class.
#include "vantoro.h"

#include "engine/playback.h"
#include "engine/signal.h"

extern "C" {

VANTORO_API int32_t VANTORO_CDECL fnVantoroCreateAndPlay(
    int32_t kind, int32_t seconds, int32_t rateIndex, int32_t bits, int32_t channels, int32_t loop,
    double amplitude, int32_t sweepMode, int32_t frequency, int32_t sweepStart, int32_t sweepEnd,
    ProgressCallback progress) {
    return vantoro::StartSignal({kind, seconds, rateIndex, bits, channels, amplitude, sweepMode,
                                 frequency, sweepStart, sweepEnd, progress},
                                loop, vantoro::SweepModeOne::Linear);
}

VANTORO_API int32_t VANTORO_CDECL fnVantoroCreateAndPlay1(
    int32_t kind, int32_t seconds, int32_t rateIndex, int32_t bits, int32_t channels, int32_t loop,
    double amplitude, int32_t sweepMode, int32_t frequency, int32_t sweepStart, int32_t sweepEnd) {
    return vantoro::StartSignal({kind, seconds, rateIndex, bits, channels, amplitude, sweepMode,
                                 frequency, sweepStart, sweepEnd, nullptr},
                                loop, vantoro::SweepModeOne::Logarithmic);
}

VANTORO_API int32_t VANTORO_CDECL PlayStop(void) {
    return vantoro::StopSignal();
}

VANTORO_API int32_t VANTORO_CDECL GetProgressRang(int32_t seconds, int32_t rateIndex, int32_t,
                                                  int32_t channels) {
    return vantoro::ProgressRange(seconds, rateIndex, channels);
}

} // extern "C"

CVantoro::CVantoro() {}

CVantoro& CVantoro::operator=(const CVantoro&) {
    return *this;
}
