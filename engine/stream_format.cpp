#include "engine/stream_format.h"

namespace vantoro {

DWORD SpeakerMask(uint32_t channelCount) {
    static constexpr DWORD kFirstSix[] = {SPEAKER_FRONT_LEFT,   SPEAKER_FRONT_RIGHT,
                                          SPEAKER_BACK_LEFT,    SPEAKER_BACK_RIGHT,
                                          SPEAKER_FRONT_CENTER, SPEAKER_LOW_FREQUENCY};
    DWORD mask = 0;
    for (uint32_t i = 0; i < channelCount && i < 32; ++i)
        mask |= i < 6 ? kFirstSix[i] : (DWORD{1} << i);
    return mask;
}

WAVEFORMATEXTENSIBLE BuildStreamFormat(uint32_t sampleRate, uint32_t channelCount, uint32_t bits,
                                       uint32_t containerBytes) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = static_cast<WORD>(channelCount);
    f.Format.nSamplesPerSec = sampleRate;
    f.Format.nBlockAlign = static_cast<WORD>(channelCount * containerBytes);
    f.Format.nAvgBytesPerSec = sampleRate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = static_cast<WORD>(8 * containerBytes);
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
    f.dwChannelMask = SpeakerMask(channelCount);
    f.SubFormat = bits == 32 ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

} // namespace vantoro
