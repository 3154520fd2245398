// The ALSA backend on ALSA's own plugins: each test writes an ALSA
// configuration file of its own and points ALSA_CONFIG_PATH at it, so the
// default PCM is the file plugin over the null PCM (everything written lands
// in a capture file), or a PCM that refuses some formats, or nothing at all.
// ALSA reloads its configuration when the path it is given changes, so every
// configuration gets a fresh file name.
#include "platform/alsa/alsa_backend.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/wave_test_client.h"

namespace vantoro::alsa {
namespace {

using test::ExtensibleFormat;
using test::Gate;
using test::Notification;
using test::PatternBytes;
using test::PlainFormat;
using test::WaveClient;

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

WAVEFORMATEXTENSIBLE AsExtensible(const WAVEFORMATEX& plain) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format = plain;
    return f;
}

class AlsaBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantoro-alsa-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        SetResetObserver(nullptr, nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void UseConfig(const std::string& text) {
        static int serial = 0;
        const std::string path = dir_ + "/asound-" + std::to_string(++serial) + ".conf";
        std::ofstream(path) << text;
        ASSERT_EQ(setenv("ALSA_CONFIG_PATH", path.c_str(), 1), 0);
    }
    // The default PCM writes everything it is given, unchanged, to Capture().
    void UseCapture() {
        UseConfig("pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" + CapturePath() +
                  "\"\n  format \"raw\"\n}\npcm.null { type null }\n");
    }
    std::string CapturePath() const { return dir_ + "/capture.raw"; }
    std::vector<uint8_t> Capture() const { return ReadFile(CapturePath()); }

    // Writes `blocks` in order, waits for all of them and closes; checks the
    // notifications on the way.
    void PlayBlocks(const WAVEFORMATEXTENSIBLE& format,
                    const std::vector<std::vector<uint8_t>>& blocks) {
        WaveClient client;
        ASSERT_EQ(client.Open(&format.Format), MMSYSERR_NOERROR);
        std::vector<WAVEHDR*> headers;
        for (const auto& bytes : blocks) {
            headers.push_back(client.NewBlock(bytes));
            ASSERT_EQ(client.PrepareAndWrite(headers.back()), MMSYSERR_NOERROR);
        }
        ASSERT_TRUE(client.WaitDone(headers.size()));
        ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);

        const std::vector<Notification> log = client.Log();
        ASSERT_EQ(log.size(), headers.size() + 2);
        EXPECT_EQ(log.front().message, WOM_OPEN);
        EXPECT_EQ(log.back().message, WOM_CLOSE);
        for (size_t i = 0; i < headers.size(); ++i) {
            EXPECT_EQ(log[i + 1].message, WOM_DONE);
            EXPECT_EQ(log[i + 1].header, headers[i]);
            EXPECT_EQ(log[i + 1].flags & (WHDR_DONE | WHDR_INQUEUE | WHDR_PREPARED),
                      WHDR_DONE | WHDR_PREPARED);
        }
        for (const Notification& n : log) {
            EXPECT_EQ(n.device, client.Handle());
            EXPECT_EQ(n.instance, reinterpret_cast<DWORD_PTR>(&client));
            EXPECT_NE(n.thread, std::this_thread::get_id());
        }
        EXPECT_EQ(client.UnprepareResults(),
                  std::vector<MMRESULT>(headers.size(), MMSYSERR_NOERROR));
        for (WAVEHDR* header : headers)
            EXPECT_EQ(header->dwFlags, WHDR_DONE);
    }

    std::string dir_;
};

// ---- what is written is what the device gets ----

TEST_F(AlsaBackendTest, CaptureHoldsExactlyTheBytesWritten) {
    struct Case {
        std::string name;
        WAVEFORMATEXTENSIBLE format;
    };
    std::vector<Case> cases;
    struct Encoding {
        const char* name;
        unsigned container;
        unsigned validBits;
        bool isFloat;
    };
    const Encoding encodings[] = {{"u8", 1, 8, false},
                                  {"s16", 2, 16, false},
                                  {"s24in32", 4, 24, false},
                                  {"float", 4, 32, true}};
    for (const Encoding& e : encodings)
        for (const unsigned channels : {1u, 2u, 6u})
            cases.push_back(
                {std::string(e.name) + " x" + std::to_string(channels),
                 ExtensibleFormat(48000, channels, e.container, e.validBits, e.isFloat)});
    cases.push_back({"s20in32 x2 at 96k", ExtensibleFormat(96000, 2, 4, 20, false)});
    cases.push_back({"u8 x1 at 11025", ExtensibleFormat(11025, 1, 1, 8, false)});
    cases.push_back({"plain pcm s16", AsExtensible(PlainFormat(WAVE_FORMAT_PCM, 44100, 2, 16))});
    cases.push_back(
        {"plain pcm packed 24", AsExtensible(PlainFormat(WAVE_FORMAT_PCM, 48000, 2, 24))});
    cases.push_back(
        {"plain ieee float", AsExtensible(PlainFormat(WAVE_FORMAT_IEEE_FLOAT, 32000, 1, 32))});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseCapture();
        EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &c.format.Format, 0, 0, WAVE_FORMAT_QUERY),
                  MMSYSERR_NOERROR);
        const size_t frame = c.format.Format.nBlockAlign;
        std::vector<std::vector<uint8_t>> blocks;
        uint32_t seed = 1;
        for (const size_t frames : {1, 100, 4410, 7, 20000, 0, 3})
            blocks.push_back(PatternBytes(frames * frame, seed++));
        PlayBlocks(c.format, blocks);
        const std::vector<uint8_t> captured = Capture();
        EXPECT_EQ(captured.size(), Concat(blocks).size());
        EXPECT_TRUE(captured == Concat(blocks));
    }
}

TEST_F(AlsaBackendTest, FramesSplitAcrossBlocksAreJoined) {
    struct Case {
        const char* name;
        WAVEFORMATEXTENSIBLE format;
        std::vector<size_t> lengths; // adding up to whole frames
    };
    const Case cases[] = {
        {"s16 x2", ExtensibleFormat(48000, 2, 2, 16, false), {3, 5, 1, 7, 0, 8, 2, 2}},
        {"s24in32 x6", ExtensibleFormat(48000, 6, 4, 24, false), {25, 23, 1, 47, 48, 100, 20}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseCapture();
        std::vector<std::vector<uint8_t>> blocks;
        uint32_t seed = 10;
        for (const size_t length : c.lengths)
            blocks.push_back(PatternBytes(length, seed++));
        ASSERT_EQ(Concat(blocks).size() % c.format.Format.nBlockAlign, 0u);
        PlayBlocks(c.format, blocks);
        EXPECT_TRUE(Capture() == Concat(blocks));
    }
}

// ---- reset and close ----

// Holds the device thread inside the first block's WOM_DONE until a reset has
// taken hold, so the blocks behind it are certainly still queued.
class StalledClient {
  public:
    explicit StalledClient(size_t blockCount, size_t blockBytes) {
        for (size_t i = 0; i < blockCount; ++i) {
            written.push_back(PatternBytes(blockBytes, static_cast<uint32_t>(100 + i)));
            headers.push_back(client.NewBlock(written.back()));
        }
        client.inCallback = [this](const Notification& n) {
            if (n.message != WOM_DONE || n.header != headers.front()) return;
            entered.Open();
            EXPECT_TRUE(release.Wait());
        };
        SetResetObserver(
            [](HWAVEOUT, void* self) { static_cast<StalledClient*>(self)->release.Open(); }, this);
    }
    ~StalledClient() { SetResetObserver(nullptr, nullptr); }

    WaveClient client;
    std::vector<std::vector<uint8_t>> written;
    std::vector<WAVEHDR*> headers;
    Gate entered; // the device thread is inside the first WOM_DONE
    Gate release; // a reset has been handed to the device
};

TEST_F(AlsaBackendTest, ResetMidStreamReturnsEveryBlock) {
    UseCapture();
    const WAVEFORMATEXTENSIBLE format = ExtensibleFormat(48000, 2, 2, 16, false);
    StalledClient stalled(6, 4800);
    WaveClient& client = stalled.client;
    ASSERT_EQ(client.Open(&format.Format), MMSYSERR_NOERROR);
    for (WAVEHDR* header : stalled.headers)
        ASSERT_EQ(client.PrepareAndWrite(header), MMSYSERR_NOERROR);
    ASSERT_TRUE(stalled.entered.Wait());

    ASSERT_EQ(waveOutReset(client.Handle()), MMSYSERR_NOERROR);
    // Every block came back before the reset returned, in order.
    EXPECT_EQ(client.DoneHeaders(), stalled.headers);
    ASSERT_TRUE(client.WaitDone(stalled.headers.size()));
    for (WAVEHDR* header : stalled.headers)
        EXPECT_EQ(header->dwFlags, WHDR_DONE);

    // The device plays on after a reset.
    const std::vector<uint8_t> after = PatternBytes(4000, 7);
    WAVEHDR* next = client.NewBlock(after);
    ASSERT_EQ(client.PrepareAndWrite(next), MMSYSERR_NOERROR);
    ASSERT_TRUE(client.WaitDone(stalled.headers.size() + 1));
    ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
    EXPECT_EQ(client.Log().back().message, WOM_CLOSE);

    // Only the first block reached the device before the reset (the file
    // plugin may lose what it had not yet flushed when the PCM dropped).
    const std::vector<uint8_t> captured = Capture();
    ASSERT_GE(captured.size(), after.size());
    ASSERT_LE(captured.size(), stalled.written[0].size() + after.size());
    const std::vector<uint8_t> tail(captured.end() - static_cast<long>(after.size()),
                                    captured.end());
    EXPECT_TRUE(tail == after);
    const std::vector<uint8_t> head(captured.begin(),
                                    captured.end() - static_cast<long>(after.size()));
    EXPECT_TRUE(std::equal(head.begin(), head.end(), stalled.written[0].begin()));
}

TEST_F(AlsaBackendTest, QueuedBlocksKeepTheDeviceOpen) {
    UseCapture();
    const WAVEFORMATEXTENSIBLE format = ExtensibleFormat(44100, 1, 2, 16, false);
    StalledClient stalled(3, 882);
    WaveClient& client = stalled.client;
    ASSERT_EQ(client.Open(&format.Format), MMSYSERR_NOERROR);
    for (WAVEHDR* header : stalled.headers)
        ASSERT_EQ(client.PrepareAndWrite(header), MMSYSERR_NOERROR);
    ASSERT_TRUE(stalled.entered.Wait());

    WAVEHDR* queued = stalled.headers.back();
    EXPECT_EQ(queued->dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_EQ(waveOutClose(client.Handle()), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(client.Handle(), queued, sizeof(WAVEHDR)),
              WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutWrite(client.Handle(), queued, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);

    ASSERT_EQ(waveOutReset(client.Handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(client.WaitDone(stalled.headers.size()));
    EXPECT_EQ(client.DoneHeaders(), stalled.headers);
    ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
    const auto log = client.Log();
    EXPECT_EQ(log.front().message, WOM_OPEN);
    EXPECT_EQ(log.back().message, WOM_CLOSE);
    EXPECT_EQ(log.size(), stalled.headers.size() + 2);
}

TEST_F(AlsaBackendTest, HeaderAndHandleRules) {
    UseCapture();
    const WAVEFORMATEXTENSIBLE format = ExtensibleFormat(48000, 2, 2, 16, false);
    WaveClient client;
    ASSERT_EQ(client.Open(&format.Format), MMSYSERR_NOERROR);
    const HWAVEOUT handle = client.Handle();
    WAVEHDR* header = client.NewBlock(PatternBytes(400, 3));
    EXPECT_EQ(waveOutWrite(handle, header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(handle, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(handle, header, sizeof(WAVEHDR) - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(handle, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, WHDR_PREPARED);
    EXPECT_EQ(waveOutUnprepareHeader(handle, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, 0u);
    ASSERT_EQ(client.PrepareAndWrite(header), MMSYSERR_NOERROR);
    ASSERT_TRUE(client.WaitDone(1));
    EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);

    const HWAVEOUT unknown = reinterpret_cast<HWAVEOUT>(0x1230);
    for (const HWAVEOUT gone : {handle, unknown, static_cast<HWAVEOUT>(nullptr)}) {
        EXPECT_EQ(waveOutPrepareHeader(gone, header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutUnprepareHeader(gone, header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutWrite(gone, header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutReset(gone), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutClose(gone), MMSYSERR_INVALHANDLE);
    }
}

TEST_F(AlsaBackendTest, ResetAndCloseFromInsideTheCallbackDoNotDeadlock) {
    UseCapture();
    const WAVEFORMATEXTENSIBLE format = ExtensibleFormat(48000, 2, 2, 16, false);
    MMRESULT resetResult = 0xFFFF;
    MMRESULT closeResult = 0xFFFF;
    WaveClient client;
    client.inCallback = [&](const Notification& n) {
        if (n.message != WOM_DONE) return;
        resetResult = waveOutReset(n.device);
        closeResult = waveOutClose(n.device);
    };
    ASSERT_EQ(client.Open(&format.Format), MMSYSERR_NOERROR);
    ASSERT_EQ(client.PrepareAndWrite(client.NewBlock(PatternBytes(64, 1))), MMSYSERR_NOERROR);
    ASSERT_TRUE(client.WaitDone(1));
    // The reset served after the callback returned is what the close waits for.
    ASSERT_EQ(waveOutReset(client.Handle()), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
    EXPECT_EQ(resetResult, MMSYSERR_NOERROR);
    EXPECT_EQ(closeResult, MMSYSERR_ERROR);
}

// ---- what the device can take ----

TEST_F(AlsaBackendTest, QueryAndOpenFollowWhatThePcmTakes) {
    const std::string s16Only =
        "pcm.!default { type linear slave { pcm \"null\" format S16_LE } }\n"
        "pcm.null { type null }\n";
    const std::string fixedRate = "pcm.!default { type plug slave { pcm \"null\" rate 48000 } }\n"
                                  "pcm.null { type null }\n";
    struct Case {
        const char* name;
        const std::string& config;
        WAVEFORMATEXTENSIBLE format;
        MMRESULT expected;
    };
    const Case cases[] = {
        {"linear takes s16", s16Only, ExtensibleFormat(48000, 2, 2, 16, false), MMSYSERR_NOERROR},
        {"linear converts u8", s16Only, ExtensibleFormat(48000, 2, 1, 8, false), MMSYSERR_NOERROR},
        {"linear refuses float", s16Only, ExtensibleFormat(48000, 2, 4, 32, true),
         WAVERR_BADFORMAT},
        {"fixed rate takes its rate", fixedRate, ExtensibleFormat(48000, 2, 2, 16, false),
         MMSYSERR_NOERROR},
        {"no resampling to another rate", fixedRate, ExtensibleFormat(44100, 2, 2, 16, false),
         WAVERR_BADFORMAT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseConfig(c.config);
        EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &c.format.Format, 0, 0, WAVE_FORMAT_QUERY),
                  c.expected);
        WaveClient client;
        const MMRESULT opened = client.Open(&c.format.Format);
        EXPECT_EQ(opened, c.expected);
        if (opened == MMSYSERR_NOERROR) {
            ASSERT_EQ(client.PrepareAndWrite(
                          client.NewBlock(PatternBytes(c.format.Format.nBlockAlign * 480u, 1))),
                      MMSYSERR_NOERROR);
            ASSERT_TRUE(client.WaitDone(1));
            EXPECT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
        } else {
            EXPECT_TRUE(client.Log().empty());
        }
    }
}

TEST_F(AlsaBackendTest, NoUsableDefaultDeviceFailsTheOpenNotTheFormat) {
    const char* const configs[] = {
        "pcm.nothing { type null }\n",                        // no default at all
        "pcm.!default { type plug slave.pcm \"missing\" }\n", // a default over nothing
        "pcm.!default { type file slave.pcm \"missing\" file \"/dev/null\" }\n",
    };
    const WAVEFORMATEXTENSIBLE format = ExtensibleFormat(48000, 2, 2, 16, false);
    for (const char* config : configs) {
        SCOPED_TRACE(config);
        UseConfig(config);
        const MMRESULT query =
            waveOutOpen(nullptr, WAVE_MAPPER, &format.Format, 0, 0, WAVE_FORMAT_QUERY);
        EXPECT_NE(query, WAVERR_BADFORMAT);
        EXPECT_NE(query, MMSYSERR_NOERROR);
        WaveClient client;
        const MMRESULT opened = client.Open(&format.Format);
        EXPECT_TRUE(opened == MMSYSERR_BADDEVICEID || opened == MMSYSERR_NODRIVER ||
                    opened == MMSYSERR_ALLOCATED)
            << opened;
        EXPECT_EQ(client.Handle(), nullptr);
        EXPECT_TRUE(client.Log().empty());
    }
}

TEST_F(AlsaBackendTest, MalformedDescriptorsAreRefusedAsFormats) {
    UseCapture();
    auto edit = [](WAVEFORMATEXTENSIBLE f, auto change) {
        change(f);
        return f;
    };
    const WAVEFORMATEXTENSIBLE good = ExtensibleFormat(48000, 2, 2, 16, false);
    const WAVEFORMATEXTENSIBLE cases[] = {
        edit(good, [](auto& f) { f.Format.nBlockAlign = 3; }),
        edit(good, [](auto& f) { f.Format.nAvgBytesPerSec = 1; }),
        edit(good, [](auto& f) { f.Format.cbSize = 10; }),
        edit(good, [](auto& f) { f.Samples.wValidBitsPerSample = 0; }),
        edit(good, [](auto& f) { f.SubFormat.Data1 = 0x77; }),
        ExtensibleFormat(48000, 2, 4, 20, true), // float with 20 valid bits
    };
    for (const WAVEFORMATEXTENSIBLE& format : cases) {
        EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format.Format, 0, 0, WAVE_FORMAT_QUERY),
                  WAVERR_BADFORMAT);
        WaveClient client;
        EXPECT_EQ(client.Open(&format.Format), WAVERR_BADFORMAT);
    }
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, nullptr, 0, 0, WAVE_FORMAT_QUERY),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutOpen(nullptr, 5, &good.Format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);
    HWAVEOUT handle = nullptr;
    EXPECT_EQ(waveOutOpen(&handle, WAVE_MAPPER, &good.Format, 0, 0, CALLBACK_FUNCTION),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(handle, nullptr);
}

// ---- warnings ----

TEST(MessageBoxStderr, WritesTheTextAsOneLine) {
    struct Case {
        const char* text;
        const char* caption;
        std::string expected;
    };
    const Case cases[] = {
        {"UnSupported Format.", nullptr, "UnSupported Format.\n"},
        {"two\nlines\r\n", "Caption", "two lines  \n"},
        {"", nullptr, "\n"},
        {nullptr, nullptr, "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        char path[] = "/tmp/vantoro-stderr-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        fflush(stderr);
        const int saved = dup(2);
        ASSERT_GE(saved, 0);
        ASSERT_GE(dup2(fd, 2), 0);
        const int answer = MessageBoxA(nullptr, c.text, c.caption, MB_OK | MB_ICONWARNING);
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        close(fd);
        EXPECT_EQ(answer, 1);
        const std::vector<uint8_t> written = ReadFile(path);
        EXPECT_EQ(std::string(written.begin(), written.end()), c.expected);
        unlink(path);
    }
}

} // namespace
} // namespace vantoro::alsa
