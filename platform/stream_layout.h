// What a wave format descriptor asks the device to play, decoded once for the
// backends: the sample encoding, the frame size and the rates they pace by.
// Shared by the simulated device and the ALSA backend so both accept and
// refuse the same descriptors.
#pragma once

#include "platform/wave_api.h"

namespace vantoro::platform {

enum class SampleEncoding {
    U8,        // unsigned 8-bit
    S16,       // signed 16-bit little-endian
    S24Packed, // signed 24-bit little-endian in 3 bytes
    S32,       // signed little-endian 32-bit container, valid bits in the high bits
    F32,       // IEEE float 32-bit little-endian
};

struct StreamLayout {
    SampleEncoding encoding = SampleEncoding::S16;
    unsigned channels = 0;
    unsigned sampleRate = 0;
    unsigned frameBytes = 0;     // nBlockAlign
    unsigned bytesPerSecond = 0; // nAvgBytesPerSec
    unsigned validBits = 0;
};

enum class LayoutStatus {
    Ok,
    Malformed,   // fields contradict each other (block align, byte rate, cbSize, valid bits)
    Unsupported, // consistent, but an encoding no backend plays
};

// Decodes `format`. Accepts WAVE_FORMAT_PCM (8, 16, 24 packed, 32 bits),
// WAVE_FORMAT_IEEE_FLOAT (32 bits) and WAVE_FORMAT_EXTENSIBLE with either
// subformat; for the extensible form the valid bits may be fewer than the
// container holds.
inline LayoutStatus DescribeStream(const WAVEFORMATEX* format, StreamLayout* out) {
    if (!format) return LayoutStatus::Malformed;
    const WORD bits = format->wBitsPerSample;
    if (format->nChannels == 0 || format->nSamplesPerSec == 0 || bits == 0 || bits % 8 != 0)
        return LayoutStatus::Malformed;
    const unsigned frameBytes = static_cast<unsigned>(format->nChannels) * (bits / 8u);
    if (format->nBlockAlign != frameBytes) return LayoutStatus::Malformed;
    if (static_cast<unsigned long long>(format->nAvgBytesPerSec) !=
        static_cast<unsigned long long>(format->nSamplesPerSec) * frameBytes)
        return LayoutStatus::Malformed;

    bool isFloat = false;
    unsigned validBits = bits;
    switch (format->wFormatTag) {
    case WAVE_FORMAT_PCM:
        break;
    case WAVE_FORMAT_IEEE_FLOAT:
        isFloat = true;
        break;
    case WAVE_FORMAT_EXTENSIBLE: {
        if (format->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
            return LayoutStatus::Malformed;
        const auto* ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
        validBits = ext->Samples.wValidBitsPerSample;
        if (validBits == 0 || validBits > bits) return LayoutStatus::Malformed;
        if (ext->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)
            isFloat = true;
        else if (!(ext->SubFormat == KSDATAFORMAT_SUBTYPE_PCM))
            return LayoutStatus::Unsupported;
        break;
    }
    default:
        return LayoutStatus::Unsupported;
    }

    SampleEncoding encoding;
    if (isFloat) {
        if (bits != 32 || validBits != 32) return LayoutStatus::Unsupported;
        encoding = SampleEncoding::F32;
    } else {
        switch (bits) {
        case 8:
            encoding = SampleEncoding::U8;
            break;
        case 16:
            encoding = SampleEncoding::S16;
            break;
        case 24:
            encoding = SampleEncoding::S24Packed;
            break;
        case 32:
            encoding = SampleEncoding::S32;
            break;
        default:
            return LayoutStatus::Unsupported;
        }
    }
    if (out) {
        out->encoding = encoding;
        out->channels = format->nChannels;
        out->sampleRate = format->nSamplesPerSec;
        out->frameBytes = frameBytes;
        out->bytesPerSecond = format->nAvgBytesPerSec;
        out->validBits = validBits;
    }
    return LayoutStatus::Ok;
}

// How many bytes of `format` the caller is answerable for: the base record
// plus cbSize, capped at the extensible record. WAVE_FORMAT_PCM ignores cbSize.
inline unsigned FormatRecordBytes(const WAVEFORMATEX* format) {
    if (!format) return 0;
    if (format->wFormatTag == WAVE_FORMAT_PCM) return sizeof(WAVEFORMATEX);
    const unsigned bytes = sizeof(WAVEFORMATEX) + format->cbSize;
    return bytes < sizeof(WAVEFORMATEXTENSIBLE) ? bytes : sizeof(WAVEFORMATEXTENSIBLE);
}

} // namespace vantoro::platform
