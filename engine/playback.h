// Device opening, block streaming, completion handling and stop.
#pragma once

#include <cstdint>

#include "engine/signal.h"
#include "platform/wave_api.h"

namespace vantoro {

// Message texts of the three failures the user is shown.
inline constexpr const char* kBusyMessage = "Media Engin is runing,stop it first.";
inline constexpr const char* kUnsupportedFormatMessage = "UnSupported Format.";
inline constexpr const char* kOpenFailedMessage = "Failed to open waveform output device.";

// A modal warning box with no owner and the platform's default caption.
void ShowWarning(const char* text);

// Asks the device whether it takes the format, opening nothing.
MMRESULT QueryFormat(const WAVEFORMATEXTENSIBLE& format, UINT deviceId);

// The whole start sequence; linear or logarithmic for sweep mode 1.
int32_t StartSignal(const SignalRequest& request, int32_t loop, SweepModeOne sweepModeOne);

// The start for a signal already synthesised (its buffer from HeapAllocate,
// owned by the engine from here on): busy check, then the device.
int32_t StartSynthesized(const Synthesis& synthesis, uint32_t bits, int32_t loop);

// The stop: resets and closes the device, frees the signal, marks idle.
int32_t StopSignal();

// Sample values a start with these arguments reports, or -1.
int32_t ProgressRange(int32_t seconds, int32_t rateIndex, int32_t channels);

// True while a start holds the engine (playing, or failed and not yet stopped).
bool EngineBusy();

// The steps for one finished block, run on the engine's completion thread
// with the state lock held. True when the engine must now stop: the signal
// has played out, or nothing is left in flight after a failed block.
bool OnWaveOutDone(WAVEHDR* header);

} // namespace vantoro
