#include <gtest/gtest.h>

#include "engine/stream_format.h"

namespace vantoro {
namespace {

TEST(StreamFormat, FieldsForEachWidth) {
    struct Case {
        uint32_t rate, channels, bits, container;
        WORD blockAlign, bitsPerSample;
        DWORD bytesPerSecond, mask;
        bool isFloat;
    };
    const Case cases[] = {
        {48000, 2, 24, 4, 8, 32, 384000, 0x3, false},
        {11025, 1, 8, 1, 1, 8, 11025, 0x1, false},
        {44100, 2, 16, 2, 4, 16, 176400, 0x3, false},
        {96000, 6, 20, 4, 24, 32, 2304000, 0x3F, false},
        {192000, 2, 32, 4, 8, 32, 1536000, 0x3, true},
        {22050, 3, 16, 2, 6, 16, 132300, 0x13, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.channels << " channels");
        const WAVEFORMATEXTENSIBLE f = BuildStreamFormat(c.rate, c.channels, c.bits, c.container);
        EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
        EXPECT_EQ(f.Format.nChannels, c.channels);
        EXPECT_EQ(f.Format.nSamplesPerSec, c.rate);
        EXPECT_EQ(f.Format.nAvgBytesPerSec, c.bytesPerSecond);
        EXPECT_EQ(f.Format.nBlockAlign, c.blockAlign);
        EXPECT_EQ(f.Format.wBitsPerSample, c.bitsPerSample);
        EXPECT_EQ(f.Format.cbSize, 22);
        EXPECT_EQ(f.Samples.wValidBitsPerSample, c.bits);
        EXPECT_EQ(f.dwChannelMask, c.mask);
        EXPECT_TRUE(f.SubFormat ==
                    (c.isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM));
    }
}

TEST(StreamFormat, SpeakerMasks) {
    const DWORD expected[] = {0x0, 0x1, 0x3, 0x13, 0x33, 0x37, 0x3F, 0x7F, 0xFF};
    for (uint32_t n = 0; n <= 8; ++n)
        EXPECT_EQ(SpeakerMask(n), expected[n]) << n << " channels";
    EXPECT_EQ(SpeakerMask(31), 0x7FFFFFFFu);
    // Indexes from 32 on have no bit of their own.
    EXPECT_EQ(SpeakerMask(32), 0xFFFFFFFFu);
    EXPECT_EQ(SpeakerMask(65535), 0xFFFFFFFFu);
}

TEST(StreamFormat, GuidsAndLayout) {
    // 00000001-0000-0010-8000-00aa00389b71 and 00000003-...
    EXPECT_EQ(KSDATAFORMAT_SUBTYPE_PCM.Data1, 1u);
    EXPECT_EQ(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT.Data1, 3u);
    EXPECT_EQ(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT.Data3, 0x10);
    EXPECT_EQ(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT.Data4[7], 0x71);
    EXPECT_EQ(sizeof(WAVEFORMATEXTENSIBLE), 40u);
    const WAVEFORMATEXTENSIBLE f = BuildStreamFormat(44100, 2, 16, 2);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&f);
    EXPECT_EQ(bytes[0], 0xFE);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[16], 22);  // cbSize
    EXPECT_EQ(bytes[18], 16);  // valid bits
    EXPECT_EQ(bytes[20], 0x3); // channel mask
    EXPECT_EQ(bytes[24], 1);   // sub-format GUID
}

} // namespace
} // namespace vantoro
