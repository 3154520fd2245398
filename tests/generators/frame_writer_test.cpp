#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "generators/frame_writer.h"
#include "tests/generators/progress_recorder.h"

namespace vantoro {
namespace {

using test::ProgressValues;
using test::RecordingProgress;

// Fills a buffer with a constant frame value s through the shared frame loop.
std::vector<uint8_t> WriteConstant(double s, uint32_t byteCount, uint32_t channels, uint32_t bits,
                                   double amplitude, ProgressCallback progress = nullptr,
                                   int32_t* result = nullptr) {
    std::vector<uint8_t> buffer(byteCount + 2, 0xAB);
    const int32_t r = WriteFrames(buffer.data(), byteCount, channels, bits, amplitude, progress,
                                  StoreOrder::Forward,
                                  [s](const FrameShape&) { return [s](int32_t) { return s; }; });
    if (result) *result = r;
    EXPECT_EQ(buffer[byteCount], 0xAB) << "wrote past byteCount";
    EXPECT_EQ(buffer[byteCount + 1], 0xAB) << "wrote past byteCount";
    buffer.resize(byteCount);
    return buffer;
}

int64_t ReadSigned(const std::vector<uint8_t>& b, uint32_t bits, size_t index) {
    switch (bits) {
    case 8:
        return b[index];
    case 16: {
        int16_t v;
        std::memcpy(&v, &b[index * 2], 2);
        return v;
    }
    default: {
        int32_t v;
        std::memcpy(&v, &b[index * 4], 4);
        return v;
    }
    }
}

float ReadFloat(const std::vector<uint8_t>& b, size_t index) {
    float v;
    std::memcpy(&v, &b[index * 4], 4);
    return v;
}

TEST(TruncateWrap, TruncatesTowardZeroModulo2To32) {
    struct Case {
        double v;
        uint32_t expected;
    };
    const Case cases[] = {
        {0.0, 0},
        {-0.0, 0},
        {1.99, 1},
        {-1.99, 0xFFFFFFFFu},
        {32767.999, 32767},
        {4294967296.0 + 5.7, 5},
        {-4294967296.0 - 5.7, 0xFFFFFFFBu},
        {9223372036854774784.0, 0xFFFFFC00u}, // largest double below 2^63
        {9223372036854775808.0, 0},           // 2^63
        {-9223372036854775808.0, 0},
        {1e300, 0},
        {std::numeric_limits<double>::infinity(), 0},
        {-std::numeric_limits<double>::infinity(), 0},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TruncateWrap(c.v), c.expected) << c.v;
}

// Ends of the range for s = -1, 0, +1 in both signs (the second channel of
// the antiphase mode carries the value with sign -1).
TEST(FrameWriter, EndsOfRangeInEveryIntegerEncoding) {
    struct Case {
        uint32_t bits;
        double amplitude;
        double s;
        int64_t plus, minus; // stored integer: byte, int16 or the 32-bit word
    };
    const Case cases[] = {
        {8, 1.0, -1.0, 1, 255},
        {8, 1.0, 0.0, 128, 128},
        {8, 1.0, 1.0, 255, 1},
        {8, 0.5, -1.0, 0, 0},
        {8, 0.5, 0.0, 64, 192},
        {8, 0.5, 1.0, 127, 129},
        {16, 1.0, -1.0, -32767, 32767},
        {16, 1.0, 0.0, 0, 0},
        {16, 1.0, 1.0, 32767, -32767},
        {16, 0.5, -1.0, -16383, 16383},
        {16, 0.5, 1.0, 16383, -16383},
        {20, 1.0, 1.0, 0x7FFFF000, static_cast<int32_t>(0x80001000u)},
        {20, 1.0, -1.0, static_cast<int32_t>(0x80001000u), 0x7FFFF000},
        {20, 0.5, 1.0, 262143 * 4096, -262143 * 4096},
        {20, 1.0, 0.0, 0, 0},
        {24, 1.0, 1.0, 0x7FFFFF00, static_cast<int32_t>(0x80000100u)},
        {24, 1.0, -1.0, static_cast<int32_t>(0x80000100u), 0x7FFFFF00},
        {24, 0.5, 1.0, 4194303 * 256, -4194303 * 256},
        {24, 0.5, -1.0, -4194303 * 256, 4194303 * 256},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.bits << " bits, amplitude " << c.amplitude << ", s " << c.s);
        const uint32_t bytes = c.bits == 8 ? 1 : (c.bits == 16 ? 2 : 4);
        const auto mono = WriteConstant(c.s, 3 * bytes, 1, c.bits, c.amplitude);
        for (size_t k = 0; k < 3; ++k)
            EXPECT_EQ(ReadSigned(mono, c.bits, k), c.plus);
        const auto anti = WriteConstant(c.s, 4 * bytes, 0, c.bits, c.amplitude);
        EXPECT_EQ(ReadSigned(anti, c.bits, 0), c.plus);
        EXPECT_EQ(ReadSigned(anti, c.bits, 1), c.minus);
        EXPECT_EQ(ReadSigned(anti, c.bits, 2), c.plus);
        EXPECT_EQ(ReadSigned(anti, c.bits, 3), c.minus);
        if (c.bits == 20 || c.bits == 24) {
            for (size_t k = 0; k < 4; ++k)
                EXPECT_EQ(ReadSigned(anti, c.bits, k) & ((1 << (32 - c.bits)) - 1), 0);
        }
    }
}

TEST(FrameWriter, FloatEncodingIsHalfScaleWithSignedZero) {
    struct Case {
        double amplitude, s;
        float plus, minus;
    };
    const Case cases[] = {
        {1.0, -1.0, -0.5f, 0.5f},   {1.0, 0.0, 0.0f, -0.0f}, {1.0, 1.0, 0.5f, -0.5f},
        {0.5, -1.0, -0.25f, 0.25f}, {0.5, 0.0, 0.0f, -0.0f}, {0.5, 1.0, 0.25f, -0.25f},
    };
    for (const Case& c : cases) {
        const auto anti = WriteConstant(c.s, 8, 0, 32, c.amplitude);
        EXPECT_EQ(std::bit_cast<uint32_t>(ReadFloat(anti, 0)), std::bit_cast<uint32_t>(c.plus));
        EXPECT_EQ(std::bit_cast<uint32_t>(ReadFloat(anti, 1)), std::bit_cast<uint32_t>(c.minus));
    }
    // -0.0 in the second channel is the bit pattern 0x80000000.
    const auto zero = WriteConstant(0.0, 8, 0, 32, 1.0);
    EXPECT_EQ(std::bit_cast<uint32_t>(ReadFloat(zero, 1)), 0x80000000u);
}

TEST(FrameWriter, WrapsInsteadOfClipping) {
    EXPECT_EQ(static_cast<uint16_t>(ReadSigned(WriteConstant(1.0, 2, 1, 16, 2.0), 16, 0)), 0xFFFE);
    // 8 bits at amplitude 2: (127 + 128) * 2 = 510, low byte 0xFE.
    EXPECT_EQ(WriteConstant(1.0, 1, 1, 8, 2.0)[0], 0xFE);
    // Huge and non-finite amplitudes give T = 0, not undefined behaviour.
    EXPECT_EQ(ReadSigned(WriteConstant(1.0, 2, 1, 16, 1e300), 16, 0), 0);
    EXPECT_EQ(ReadSigned(WriteConstant(1.0, 4, 1, 24, std::nan("")), 24, 0), 0);
}

TEST(FrameWriter, PartialFramesAndProgress) {
    struct Case {
        uint32_t byteCount, channels, bits;
        std::vector<uint32_t> progress;
        std::vector<uint8_t> bytes; // empty: not checked
    };
    const Case cases[] = {
        // Frames 0 and 1 fill bytes 0 to 3, frame 2 only channel 0.
        {5, 2, 8, {2, 4, 5}, {255, 255, 255, 255, 255}},
        // Three values, the seventh byte keeps the pre-fill.
        {7, 1, 16, {1, 2, 3}, {0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0x00}},
        {9, 3, 8, {3, 6, 9}, {}},
        {10, 3, 8, {3, 6, 9, 10}, {}},
        {6, 0, 16, {2, 3}, {0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x7F}},
        // Too small for one value: pre-fill only, no report.
        {0, 1, 16, {}, {}},
        {1, 1, 16, {}, {0x00}},
        {3, 2, 32, {}, {0, 0, 0}},
        {3, 1, 24, {}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.byteCount << " bytes, " << c.channels << " channels, "
                                        << c.bits << " bits");
        int32_t result = -1;
        const auto b =
            WriteConstant(1.0, c.byteCount, c.channels, c.bits, 1.0, RecordingProgress(), &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(ProgressValues(), c.progress);
        if (!c.bytes.empty()) {
            EXPECT_EQ(b, c.bytes);
        }
    }
}

TEST(FrameWriter, UnsupportedWidthLeavesBufferUntouched) {
    for (uint32_t bits : {0u, 1u, 12u, 17u, 33u, 65536u + 16u}) {
        std::vector<uint8_t> buffer(16, 0x5A);
        const int32_t r = WriteFrames(buffer.data(), 16, 1, bits, 1.0, RecordingProgress(),
                                      StoreOrder::Forward, [](const FrameShape&) {
                                          ADD_FAILURE() << "value function made";
                                          return [](int32_t) { return 1.0; };
                                      });
        EXPECT_EQ(r, 0);
        EXPECT_EQ(buffer, std::vector<uint8_t>(16, 0x5A));
        EXPECT_TRUE(ProgressValues().empty());
    }
}

TEST(FrameWriter, ValueFunctionSeesEachFrameOnceAndTheShape) {
    std::vector<int32_t> frames;
    FrameShape seen{};
    std::vector<uint8_t> buffer(21);
    WriteFrames(buffer.data(), 21, 3, 16, 1.0, nullptr, StoreOrder::Forward,
                [&](const FrameShape& shape) {
                    seen = shape;
                    return [&](int32_t t) {
                        frames.push_back(t);
                        return 0.0;
                    };
                });
    EXPECT_EQ(seen.capacity, 10u);
    EXPECT_EQ(seen.channelCount, 3u);
    EXPECT_EQ(frames, (std::vector<int32_t>{0, 1, 2, 3}));
}

TEST(FrameWriter, ReversedOrderMirrorsValuePositions) {
    // Frame t has s = t + 1, stored exactly as the float (t + 1) / 2.
    const auto countUp = [](const FrameShape&) { return [](int32_t t) { return t + 1.0; }; };
    // Value i goes to position n - 1 - i; the bytes after the last whole
    // value keep the pre-fill.
    std::vector<uint8_t> buffer(14, 0xEE);
    WriteFrames(buffer.data(), 14, 1, 32, 1.0, RecordingProgress(), StoreOrder::Reversed, countUp);
    EXPECT_EQ(ReadFloat(buffer, 0), 1.5f);
    EXPECT_EQ(ReadFloat(buffer, 1), 1.0f);
    EXPECT_EQ(ReadFloat(buffer, 2), 0.5f);
    EXPECT_EQ(buffer[12], 0x00);
    EXPECT_EQ(buffer[13], 0x00);
    EXPECT_EQ(ProgressValues(), (std::vector<uint32_t>{1, 2, 3}));
    // In antiphase the channel order inside every frame turns round too.
    std::vector<uint8_t> anti(16);
    WriteFrames(anti.data(), 16, 0, 32, 1.0, nullptr, StoreOrder::Reversed, countUp);
    EXPECT_EQ(ReadFloat(anti, 0), -1.0f);
    EXPECT_EQ(ReadFloat(anti, 1), 1.0f);
    EXPECT_EQ(ReadFloat(anti, 2), -0.5f);
    EXPECT_EQ(ReadFloat(anti, 3), 0.5f);
}

TEST(FrameWriter, EveryChannelOfAFrameCarriesTheSameValue) {
    const auto b = WriteConstant(0.5, 24, 3, 32, 1.0, RecordingProgress());
    for (size_t k = 0; k < 6; ++k)
        EXPECT_EQ(ReadFloat(b, k), 0.25f);
    EXPECT_EQ(ProgressValues(), (std::vector<uint32_t>{3, 6}));
}

} // namespace
} // namespace vantoro
