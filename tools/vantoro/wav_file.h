// RIFF/WAVE output: the stream descriptor as the fmt chunk, the signal bytes
// as the data chunk.
#pragma once

#include <cstdint>
#include <string>

#include "platform/wave_api.h"

namespace vantoro {

// Writes the file; on failure removes what it wrote and returns false.
bool WriteWavFile(const std::string& path, const WAVEFORMATEXTENSIBLE& format, const uint8_t* data,
                  uint32_t dataBytes);

} // namespace vantoro
