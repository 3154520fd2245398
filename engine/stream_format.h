// The stream descriptor handed to the wave output.
#pragma once

#include <cstdint>

#include "platform/wave_api.h"

namespace vantoro {

// Speaker bits for channel indexes 0 .. channelCount - 1: front left, front
// right, back left, back right, front centre, low frequency, then each index
// its own bit. Indexes of 32 and above have no bit.
DWORD SpeakerMask(uint32_t channelCount);

// Extensible PCM (IEEE float for 32-bit samples) in containers of 1, 2 or 4
// bytes, the valid bits in the high-order bits of each container.
WAVEFORMATEXTENSIBLE BuildStreamFormat(uint32_t sampleRate, uint32_t channelCount, uint32_t bits,
                                       uint32_t containerBytes);

} // namespace vantoro
