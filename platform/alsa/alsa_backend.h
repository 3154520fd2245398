// The ALSA wave output backend: the wave calls of platform/wave_api.h on the
// default ALSA PCM. This header adds only what the backend's own tests need.
#pragma once

#include "platform/wave_api.h"

namespace vantoro::alsa {

// Called on the thread that calls waveOutReset, once the reset has been
// handed to the device (every block queued at that moment will come back
// done) and before the call waits for those notifications. Lets a test order
// its own steps after a reset has taken hold. nullptr removes it.
using ResetObserver = void (*)(HWAVEOUT device, void* context);
void SetResetObserver(ResetObserver observer, void* context);

} // namespace vantoro::alsa
