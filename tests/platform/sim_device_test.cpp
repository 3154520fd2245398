// The simulated device against a small well-behaved client, and against
// every misuse it is meant to catch.
#include "platform/sim/sim_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/wave_test_client.h"

namespace vantoro::sim {
namespace {

using test::ExtensibleFormat;
using test::Gate;
using test::Notification;
using test::PatternBytes;
using test::PlainFormat;
using test::WaveClient;

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    });
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// 48 kHz stereo 16-bit: four-byte frames.
const WAVEFORMATEXTENSIBLE kStereo16 = ExtensibleFormat(48000, 2, 2, 16, false);

class SimDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override { Configure(Config{}); }
    void TearDown() override {
        EXPECT_EQ(OpenDevices(), 0);
        EXPECT_TRUE(WaitQuiet(20000));
        const auto violations = Violations();
        EXPECT_TRUE(violations.empty()) << Joined(violations);
    }
    static Config WithPacing(Pacing pacing) {
        Config config;
        config.pacing = pacing;
        return config;
    }
    // A device with no callback, for tests that drive the flags by hand.
    static HWAVEOUT OpenSilent(const WAVEFORMATEX* format = &kStereo16.Format) {
        HWAVEOUT handle = nullptr;
        EXPECT_EQ(waveOutOpen(&handle, WAVE_MAPPER, format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        return handle;
    }
};

// ---- query and open ----

TEST_F(SimDeviceTest, QueryAnswersAsConfiguredAndOpensNothing) {
    struct Case {
        const char* name;
        MMRESULT queryResult;
        int accept; // -1 no acceptFormat, 0 refuses, 1 takes
        MMRESULT expected;
    };
    const Case cases[] = {
        {"default", MMSYSERR_NOERROR, -1, MMSYSERR_NOERROR},
        {"bad format", WAVERR_BADFORMAT, -1, WAVERR_BADFORMAT},
        {"no device", MMSYSERR_BADDEVICEID, -1, MMSYSERR_BADDEVICEID},
        {"acceptFormat refuses", MMSYSERR_NOERROR, 0, WAVERR_BADFORMAT},
        {"acceptFormat takes", MMSYSERR_NOERROR, 1, MMSYSERR_NOERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Config config;
        config.queryResult = c.queryResult;
        std::vector<WORD> seenChannels;
        if (c.accept >= 0)
            config.acceptFormat = [&](const WAVEFORMATEX* f) {
                seenChannels.push_back(f->nChannels);
                return c.accept == 1;
            };
        Configure(config);
        const HWAVEOUT sentinel = reinterpret_cast<HWAVEOUT>(0x7770);
        HWAVEOUT handle = sentinel;
        EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &kStereo16.Format, 0, 0, WAVE_FORMAT_QUERY),
                  c.expected);
        EXPECT_EQ(waveOutOpen(&handle, WAVE_MAPPER, &kStereo16.Format, 0, 0, WAVE_FORMAT_QUERY),
                  c.expected);
        EXPECT_EQ(handle, sentinel);
        EXPECT_EQ(OpenDevices(), 0);
        EXPECT_EQ(QueryCount(), 2);
        EXPECT_EQ(OpenCount(), 0);
        if (c.accept >= 0 && c.queryResult == MMSYSERR_NOERROR) {
            EXPECT_EQ(seenChannels, (std::vector<WORD>{2, 2}));
        }
        const WAVEFORMATEXTENSIBLE last = LastFormat();
        EXPECT_EQ(std::memcmp(&last, &kStereo16, sizeof last), 0);
    }
}

TEST_F(SimDeviceTest, FailedOpenOpensNothing) {
    struct Case {
        const char* name;
        MMRESULT openResult;
        bool refuseFormat;
        MMRESULT expected;
    };
    const Case cases[] = {
        {"no memory", MMSYSERR_NOMEM, false, MMSYSERR_NOMEM},
        {"allocated", MMSYSERR_ALLOCATED, false, MMSYSERR_ALLOCATED},
        {"no device", MMSYSERR_BADDEVICEID, false, MMSYSERR_BADDEVICEID},
        {"format refused", MMSYSERR_NOERROR, true, WAVERR_BADFORMAT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Config config;
        config.openResult = c.openResult;
        if (c.refuseFormat) config.acceptFormat = [](const WAVEFORMATEX*) { return false; };
        Configure(config);
        {
            WaveClient client;
            EXPECT_EQ(client.Open(&kStereo16.Format), c.expected);
            EXPECT_EQ(OpenDevices(), 0);
            EXPECT_EQ(OpenCount(), 1);
            EXPECT_EQ(QueryCount(), 0);
            EXPECT_TRUE(WaitQuiet(20000));
            EXPECT_TRUE(client.Log().empty());
        }
    }
}

TEST_F(SimDeviceTest, DescriptorsAreDecodedTheSameForQueryAndOpen) {
    struct Case {
        const char* name;
        WAVEFORMATEXTENSIBLE format;
        MMRESULT expected;
        bool violation; // malformed descriptors are the caller's fault
    };
    auto edit = [](WAVEFORMATEXTENSIBLE f, auto change) {
        change(f);
        return f;
    };
    auto plain = [](WAVEFORMATEX base) {
        WAVEFORMATEXTENSIBLE f{};
        f.Format = base;
        return f;
    };
    const Case cases[] = {
        {"extensible 16", kStereo16, MMSYSERR_NOERROR, false},
        {"extensible 8", ExtensibleFormat(11025, 1, 1, 8, false), MMSYSERR_NOERROR, false},
        {"extensible 20 in 32", ExtensibleFormat(96000, 2, 4, 20, false), MMSYSERR_NOERROR, false},
        {"extensible 24 in 32", ExtensibleFormat(44100, 6, 4, 24, false), MMSYSERR_NOERROR, false},
        {"extensible float", ExtensibleFormat(192000, 2, 4, 32, true), MMSYSERR_NOERROR, false},
        {"plain pcm 16", plain(PlainFormat(WAVE_FORMAT_PCM, 44100, 2, 16)), MMSYSERR_NOERROR,
         false},
        {"plain pcm 8", plain(PlainFormat(WAVE_FORMAT_PCM, 8000, 1, 8)), MMSYSERR_NOERROR, false},
        {"plain float", plain(PlainFormat(WAVE_FORMAT_IEEE_FLOAT, 48000, 2, 32)), MMSYSERR_NOERROR,
         false},
        {"block align wrong", edit(kStereo16, [](auto& f) { f.Format.nBlockAlign = 2; }),
         WAVERR_BADFORMAT, true},
        {"byte rate wrong", edit(kStereo16, [](auto& f) { f.Format.nAvgBytesPerSec += 1; }),
         WAVERR_BADFORMAT, true},
        {"extensible cbSize short", edit(kStereo16, [](auto& f) { f.Format.cbSize = 0; }),
         WAVERR_BADFORMAT, true},
        {"valid bits above container",
         edit(kStereo16, [](auto& f) { f.Samples.wValidBitsPerSample = 17; }), WAVERR_BADFORMAT,
         true},
        {"no channels", edit(kStereo16, [](auto& f) { f.Format.nChannels = 0; }), WAVERR_BADFORMAT,
         true},
        {"adpcm tag",
         edit(plain(PlainFormat(WAVE_FORMAT_PCM, 8000, 1, 8)),
              [](auto& f) { f.Format.wFormatTag = 2; }),
         WAVERR_BADFORMAT, false},
        {"float 64", plain(PlainFormat(WAVE_FORMAT_IEEE_FLOAT, 48000, 2, 64)), WAVERR_BADFORMAT,
         false},
        {"float with 24 valid bits", ExtensibleFormat(48000, 2, 4, 24, true), WAVERR_BADFORMAT,
         false},
        {"unknown subformat", edit(kStereo16, [](auto& f) { f.SubFormat.Data1 = 0x55; }),
         WAVERR_BADFORMAT, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &c.format.Format, 0, 0, WAVE_FORMAT_QUERY),
                  c.expected);
        HWAVEOUT handle = nullptr;
        const MMRESULT opened =
            waveOutOpen(&handle, WAVE_MAPPER, &c.format.Format, 0, 0, CALLBACK_NULL);
        EXPECT_EQ(opened, c.expected);
        if (opened == MMSYSERR_NOERROR) {
            EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
        }
        const auto violations = TakeViolations();
        EXPECT_EQ(violations.size(), c.violation ? 2u : 0u) << Joined(violations);
        if (c.violation) {
            EXPECT_TRUE(Contains(violations, "malformed format"));
        }
    }
}

TEST_F(SimDeviceTest, LastFormatCopiesOnlyTheDescribedBytes) {
    // A plain PCM record followed by unrelated bytes: only the 18 bytes count.
    WAVEFORMATEXTENSIBLE buffer;
    std::memset(&buffer, 0xAB, sizeof buffer);
    buffer.Format = PlainFormat(WAVE_FORMAT_PCM, 44100, 2, 16);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &buffer.Format, 0, 0, WAVE_FORMAT_QUERY),
              MMSYSERR_NOERROR);
    WAVEFORMATEXTENSIBLE expected{};
    expected.Format = buffer.Format;
    WAVEFORMATEXTENSIBLE last = LastFormat();
    EXPECT_EQ(std::memcmp(&last, &expected, sizeof last), 0);

    const WAVEFORMATEXTENSIBLE ext = ExtensibleFormat(96000, 6, 4, 24, false);
    const HWAVEOUT handle = OpenSilent(&ext.Format);
    last = LastFormat();
    EXPECT_EQ(std::memcmp(&last, &ext, sizeof last), 0);
    EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
}

// ---- notifications and flags ----

TEST_F(SimDeviceTest, NotificationsComeFromTheDeviceThreadInOrder) {
    WaveClient client;
    ASSERT_EQ(client.Open(&kStereo16.Format), MMSYSERR_NOERROR);
    EXPECT_EQ(OpenDevices(), 1);
    // Frames are four bytes; blocks need not hold whole ones.
    const size_t lengths[] = {400, 6, 0, 4095, 1201};
    std::vector<WAVEHDR*> headers;
    std::vector<std::vector<uint8_t>> written;
    for (size_t i = 0; i < std::size(lengths); ++i) {
        written.push_back(PatternBytes(lengths[i], static_cast<uint32_t>(i)));
        headers.push_back(client.NewBlock(written.back()));
        ASSERT_EQ(client.PrepareAndWrite(headers.back()), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(client.WaitDone(headers.size()));
    ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
    EXPECT_EQ(OpenDevices(), 0);

    const std::vector<Notification> log = client.Log();
    ASSERT_EQ(log.size(), headers.size() + 2);
    EXPECT_EQ(log.front().message, WOM_OPEN);
    EXPECT_EQ(log.back().message, WOM_CLOSE);
    for (size_t i = 0; i < headers.size(); ++i) {
        SCOPED_TRACE(i);
        const Notification& n = log[i + 1];
        EXPECT_EQ(n.message, WOM_DONE);
        EXPECT_EQ(n.header, headers[i]);
        EXPECT_EQ(n.flags & (WHDR_DONE | WHDR_INQUEUE | WHDR_PREPARED), WHDR_DONE | WHDR_PREPARED);
    }
    for (const Notification& n : log) {
        EXPECT_EQ(n.device, client.Handle());
        EXPECT_EQ(n.instance, reinterpret_cast<DWORD_PTR>(&client));
        EXPECT_NE(n.thread, std::this_thread::get_id());
        EXPECT_EQ(n.thread, log.front().thread);
    }
    EXPECT_EQ(client.UnprepareResults(), std::vector<MMRESULT>(headers.size(), MMSYSERR_NOERROR));
    for (WAVEHDR* header : headers)
        EXPECT_EQ(header->dwFlags, WHDR_DONE);

    EXPECT_EQ(PlayedBytes(), Concat(written));
    EXPECT_EQ(PlayedBytes(0), Concat(written));
    const std::vector<PlayedBlock> blocks = Blocks();
    ASSERT_EQ(blocks.size(), headers.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_TRUE(blocks[i].completed);
        EXPECT_TRUE(blocks[i].finished);
        EXPECT_EQ(blocks[i].bytes, written[i]);
        EXPECT_EQ(blocks[i].length, lengths[i]);
        EXPECT_EQ(blocks[i].openIndex, 0);
    }
    EXPECT_EQ(QueuedBlocks(), 0);
}

TEST_F(SimDeviceTest, FlagsFollowTheHeaderThroughReuse) {
    Configure(WithPacing(Pacing::Manual));
    const HWAVEOUT handle = OpenSilent();
    std::vector<uint8_t> data = PatternBytes(64, 1);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(data.data());
    header.dwBufferLength = static_cast<DWORD>(data.size());
    header.dwFlags = 0;

    ASSERT_EQ(waveOutPrepareHeader(handle, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(waveOutWrite(handle, &header, sizeof header), MMSYSERR_NOERROR);
        EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE); // DONE cleared on reuse
        EXPECT_EQ(QueuedBlocks(), 1);
        CompleteBlocks(1);
        EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
        EXPECT_EQ(QueuedBlocks(), 0);
    }
    ASSERT_EQ(waveOutUnprepareHeader(handle, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, WHDR_DONE);
    // Unpreparing twice is harmless.
    EXPECT_EQ(waveOutUnprepareHeader(handle, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
    EXPECT_EQ(PlayedBytes(), Concat({data, data}));
}

TEST_F(SimDeviceTest, BytesAreTakenWhenTheBlockFinishes) {
    Configure(WithPacing(Pacing::Manual));
    WaveClient client;
    ASSERT_EQ(client.Open(&kStereo16.Format), MMSYSERR_NOERROR);
    WAVEHDR* header = client.NewBlock(std::vector<uint8_t>(8, 0x11));
    ASSERT_EQ(client.PrepareAndWrite(header), MMSYSERR_NOERROR);
    std::memset(header->lpData, 0x22, 8); // still queued: the device has not played it yet
    CompleteBlocks(1);
    ASSERT_TRUE(client.WaitDone(1));
    EXPECT_EQ(PlayedBytes(), std::vector<uint8_t>(8, 0x22));
    EXPECT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
}

// ---- misuse ----

TEST_F(SimDeviceTest, EachMisuseIsRecorded) {
    struct Case {
        const char* name;
        std::function<MMRESULT(HWAVEOUT, WAVEHDR&)> provoke;
        MMRESULT expected;
        const char* violation;
    };
    const UINT size = sizeof(WAVEHDR);
    const Case cases[] = {
        {"write unprepared", [&](HWAVEOUT h, WAVEHDR& w) { return waveOutWrite(h, &w, size); },
         WAVERR_UNPREPARED, "waveOutWrite: header is not prepared"},
        {"write queued",
         [&](HWAVEOUT h, WAVEHDR& w) {
             waveOutPrepareHeader(h, &w, size);
             waveOutWrite(h, &w, size);
             return waveOutWrite(h, &w, size);
         },
         WAVERR_STILLPLAYING, "waveOutWrite: header is already queued"},
        {"unprepare queued",
         [&](HWAVEOUT h, WAVEHDR& w) {
             waveOutPrepareHeader(h, &w, size);
             waveOutWrite(h, &w, size);
             return waveOutUnprepareHeader(h, &w, size);
         },
         WAVERR_STILLPLAYING, "waveOutUnprepareHeader: header is still queued"},
        {"close queued",
         [&](HWAVEOUT h, WAVEHDR& w) {
             waveOutPrepareHeader(h, &w, size);
             waveOutWrite(h, &w, size);
             return waveOutClose(h);
         },
         WAVERR_STILLPLAYING, "waveOutClose: blocks are still queued"},
        {"closed handle",
         [&](HWAVEOUT h, WAVEHDR& w) {
             waveOutClose(h);
             return waveOutPrepareHeader(h, &w, size);
         },
         MMSYSERR_INVALHANDLE, "waveOutPrepareHeader: closed or unknown handle"},
        {"unknown handle",
         [&](HWAVEOUT, WAVEHDR&) { return waveOutReset(reinterpret_cast<HWAVEOUT>(0x999990)); },
         MMSYSERR_INVALHANDLE, "waveOutReset: closed or unknown handle"},
        {"null handle", [&](HWAVEOUT, WAVEHDR&) { return waveOutClose(nullptr); },
         MMSYSERR_INVALHANDLE, "waveOutClose: closed or unknown handle"},
        {"null header",
         [&](HWAVEOUT h, WAVEHDR&) { return waveOutPrepareHeader(h, nullptr, size); },
         MMSYSERR_INVALPARAM, "null header or wrong header size"},
        {"short header size",
         [&](HWAVEOUT h, WAVEHDR& w) { return waveOutPrepareHeader(h, &w, size - 1); },
         MMSYSERR_INVALPARAM, "null header or wrong header size"},
        {"header changed while queued",
         [&](HWAVEOUT h, WAVEHDR& w) {
             waveOutPrepareHeader(h, &w, size);
             waveOutWrite(h, &w, size);
             w.dwBufferLength = 8;
             CompleteBlocks(1);
             return MMSYSERR_NOERROR;
         },
         MMSYSERR_NOERROR, "waveOutWrite: header changed while queued"},
        {"configure while open",
         [&](HWAVEOUT, WAVEHDR&) {
             Configure(Config{});
             return MMSYSERR_NOERROR;
         },
         MMSYSERR_NOERROR, "Configure: called while a device is open"},
        {"null format",
         [&](HWAVEOUT, WAVEHDR&) {
             return waveOutOpen(nullptr, WAVE_MAPPER, nullptr, 0, 0, WAVE_FORMAT_QUERY);
         },
         MMSYSERR_INVALPARAM, "waveOutOpen: null format descriptor"},
        {"open without callback pointer",
         [&](HWAVEOUT, WAVEHDR&) {
             HWAVEOUT other = nullptr;
             return waveOutOpen(&other, WAVE_MAPPER, &kStereo16.Format, 0, 0, CALLBACK_FUNCTION);
         },
         MMSYSERR_INVALPARAM, "waveOutOpen: null handle pointer or callback"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Configure(WithPacing(Pacing::Manual));
        const HWAVEOUT handle = OpenSilent();
        std::vector<uint8_t> data(16, 0x5A);
        WAVEHDR header{};
        header.lpData = reinterpret_cast<LPSTR>(data.data());
        header.dwBufferLength = static_cast<DWORD>(data.size());
        EXPECT_EQ(c.provoke(handle, header), c.expected);
        if (OpenDevices() > 0) {
            EXPECT_EQ(waveOutReset(handle), MMSYSERR_NOERROR);
            EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
        }
        const auto violations = TakeViolations();
        ASSERT_EQ(violations.size(), 1u) << Joined(violations);
        EXPECT_NE(violations[0].find(c.violation), std::string::npos) << violations[0];
    }
}

TEST_F(SimDeviceTest, WaveCallsInsideTheCallbackAreRecordedWithoutDeadlock) {
    struct Case {
        const char* function;
        // Runs inside the callback for the first WOM_DONE; `spare` is a second
        // prepared header the client owns.
        std::function<MMRESULT(HWAVEOUT, WAVEHDR* done, WAVEHDR* spare)> call;
        MMRESULT expected;
    };
    const UINT size = sizeof(WAVEHDR);
    const Case cases[] = {
        {"waveOutPrepareHeader",
         [&](HWAVEOUT h, WAVEHDR*, WAVEHDR* spare) { return waveOutPrepareHeader(h, spare, size); },
         MMSYSERR_NOERROR},
        {"waveOutUnprepareHeader",
         [&](HWAVEOUT h, WAVEHDR*, WAVEHDR* spare) {
             return waveOutUnprepareHeader(h, spare, size);
         },
         MMSYSERR_NOERROR},
        {"waveOutWrite",
         [&](HWAVEOUT h, WAVEHDR*, WAVEHDR* spare) { return waveOutWrite(h, spare, size); },
         MMSYSERR_NOERROR},
        {"waveOutReset", [&](HWAVEOUT h, WAVEHDR*, WAVEHDR*) { return waveOutReset(h); },
         MMSYSERR_NOERROR},
        {"waveOutClose", [&](HWAVEOUT h, WAVEHDR*, WAVEHDR*) { return waveOutClose(h); },
         MMSYSERR_ERROR},
        {"waveOutOpen",
         [&](HWAVEOUT, WAVEHDR*, WAVEHDR*) {
             return waveOutOpen(nullptr, WAVE_MAPPER, &kStereo16.Format, 0, 0, WAVE_FORMAT_QUERY);
         },
         MMSYSERR_NOERROR},
        {"MessageBoxA",
         [&](HWAVEOUT, WAVEHDR*, WAVEHDR*) {
             return static_cast<MMRESULT>(MessageBoxA(nullptr, "inside", nullptr, MB_OK) - 1);
         },
         MMSYSERR_NOERROR},
        {"WaitQuiet",
         [&](HWAVEOUT, WAVEHDR*, WAVEHDR*) {
             return static_cast<MMRESULT>(WaitQuiet(20000) ? 1 : 0);
         },
         0}, // something is being delivered right now
        {"CompleteBlocks",
         [&](HWAVEOUT, WAVEHDR*, WAVEHDR*) {
             CompleteBlocks(1);
             return MMSYSERR_NOERROR;
         },
         MMSYSERR_NOERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        Configure(Config{});
        MMRESULT result = 0xFFFF;
        {
            WaveClient client;
            WAVEHDR* spare = client.NewBlock(std::vector<uint8_t>(4, 1));
            bool fired = false;
            client.inCallback = [&](const Notification& n) {
                if (n.message != WOM_DONE || fired) return;
                fired = true;
                result = c.call(n.device, n.header, spare);
            };
            ASSERT_EQ(client.Open(&kStereo16.Format), MMSYSERR_NOERROR);
            ASSERT_EQ(waveOutPrepareHeader(client.Handle(), spare, sizeof(WAVEHDR)),
                      MMSYSERR_NOERROR);
            WAVEHDR* first = client.NewBlock(std::vector<uint8_t>(8, 2));
            ASSERT_EQ(client.PrepareAndWrite(first), MMSYSERR_NOERROR);
            ASSERT_TRUE(client.WaitMessages(2));
            ASSERT_TRUE(WaitQuiet(20000));
            // Every header back with the consumer before the close.
            ASSERT_TRUE(client.WaitDone(client.DoneHeaders().size()));
            EXPECT_EQ(result, c.expected);
            EXPECT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
        }
        const auto violations = TakeViolations();
        ASSERT_EQ(violations.size(), 1u) << Joined(violations);
        EXPECT_EQ(violations[0],
                  std::string(c.function) + ": called from inside the wave callback");
    }
}

// ---- reset and close ----

TEST_F(SimDeviceTest, ResetReturnsEveryQueuedBlock) {
    for (const bool notifyBeforeReturn : {true, false}) {
        SCOPED_TRACE(notifyBeforeReturn ? "reset waits" : "reset returns first");
        Config config = WithPacing(Pacing::Manual);
        config.resetNotifiesBeforeReturn = notifyBeforeReturn;
        Configure(config);
        WaveClient client;
        Gate gate;
        std::vector<WAVEHDR*> headers;
        if (!notifyBeforeReturn)
            // Hold the device thread in the first notification the reset
            // causes: the reset must still return.
            client.inCallback = [&](const Notification& n) {
                if (n.message == WOM_DONE && n.header == headers[2]) {
                    EXPECT_TRUE(gate.Wait());
                }
            };
        std::vector<std::vector<uint8_t>> written;
        for (int i = 0; i < 5; ++i) {
            written.push_back(PatternBytes(32, static_cast<uint32_t>(i)));
            headers.push_back(client.NewBlock(written.back()));
        }
        ASSERT_EQ(client.Open(&kStereo16.Format), MMSYSERR_NOERROR);
        for (WAVEHDR* header : headers)
            ASSERT_EQ(client.PrepareAndWrite(header), MMSYSERR_NOERROR);
        CompleteBlocks(2);
        EXPECT_EQ(QueuedBlocks(), 3);

        ASSERT_EQ(waveOutReset(client.Handle()), MMSYSERR_NOERROR);
        if (notifyBeforeReturn) {
            EXPECT_EQ(client.DoneHeaders(), headers); // all delivered before the return
        } else {
            EXPECT_LT(client.DoneHeaders().size(), headers.size());
            gate.Open();
        }
        ASSERT_TRUE(client.WaitDone(headers.size()));
        EXPECT_EQ(client.DoneHeaders(), headers);
        EXPECT_EQ(QueuedBlocks(), 0);
        ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
        EXPECT_EQ(client.Log().back().message, WOM_CLOSE);

        const std::vector<PlayedBlock> blocks = Blocks();
        ASSERT_EQ(blocks.size(), 5u);
        for (size_t i = 0; i < blocks.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_TRUE(blocks[i].finished);
            EXPECT_EQ(blocks[i].completed, i < 2);
            EXPECT_EQ(blocks[i].bytes, i < 2 ? written[i] : std::vector<uint8_t>{});
        }
        EXPECT_EQ(PlayedBytes(), Concat({written[0], written[1]}));
        EXPECT_EQ(client.UnprepareResults(), std::vector<MMRESULT>(5, MMSYSERR_NOERROR));
    }
}

TEST_F(SimDeviceTest, CloseIsRefusedWhileBlocksAreQueued) {
    Configure(WithPacing(Pacing::Manual));
    WaveClient client;
    ASSERT_EQ(client.Open(&kStereo16.Format), MMSYSERR_NOERROR);
    WAVEHDR* header = client.NewBlock(std::vector<uint8_t>(16, 3));
    ASSERT_EQ(client.PrepareAndWrite(header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(client.Handle()), WAVERR_STILLPLAYING);
    EXPECT_EQ(OpenDevices(), 1);
    EXPECT_EQ(TakeViolations(), std::vector<std::string>{"waveOutClose: blocks are still queued"});
    // The device still works after the refusal.
    ASSERT_EQ(waveOutReset(client.Handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(client.WaitDone(1));
    ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
    const auto log = client.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].message, WOM_OPEN);
    EXPECT_EQ(log[1].message, WOM_DONE);
    EXPECT_EQ(log[2].message, WOM_CLOSE);
    // The handle is gone.
    EXPECT_EQ(waveOutReset(client.Handle()), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(TakeViolations(), std::vector<std::string>{"waveOutReset: closed or unknown handle"});
}

// ---- injected failures ----

TEST_F(SimDeviceTest, InjectedPrepareAndWriteFailures) {
    struct Case {
        const char* name;
        int failPrepareAt;
        int failWriteAt;
        MMRESULT failure;
        int failingBlock; // which of the four blocks the failure hits
    };
    const Case cases[] = {
        {"first prepare", 0, -1, MMSYSERR_NOMEM, 0},
        {"third prepare", 2, -1, MMSYSERR_ERROR, 2},
        {"second write", -1, 1, MMSYSERR_NOMEM, 1},
        {"last write", -1, 3, MMSYSERR_INVALPARAM, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Config config;
        config.failPrepareAt = c.failPrepareAt;
        config.failWriteAt = c.failWriteAt;
        config.injectedFailure = c.failure;
        Configure(config);
        WaveClient client;
        ASSERT_EQ(client.Open(&kStereo16.Format), MMSYSERR_NOERROR);
        std::vector<WAVEHDR*> delivered;
        std::vector<std::vector<uint8_t>> played;
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            auto bytes = PatternBytes(16, static_cast<uint32_t>(i));
            WAVEHDR* header = client.NewBlock(bytes);
            const MMRESULT result = client.PrepareAndWrite(header);
            if (i != c.failingBlock) {
                EXPECT_EQ(result, MMSYSERR_NOERROR);
                delivered.push_back(header);
                played.push_back(bytes);
                continue;
            }
            EXPECT_EQ(result, c.failure);
            if (c.failPrepareAt >= 0) {
                EXPECT_EQ(header->dwFlags, 0u);
            } else {
                EXPECT_EQ(header->dwFlags, WHDR_PREPARED);
                EXPECT_EQ(waveOutUnprepareHeader(client.Handle(), header, sizeof(WAVEHDR)),
                          MMSYSERR_NOERROR);
            }
        }
        ASSERT_TRUE(client.WaitDone(delivered.size()));
        ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
        EXPECT_EQ(client.DoneHeaders(), delivered);
        EXPECT_EQ(Blocks().size(), 3u);
        EXPECT_EQ(PlayedBytes(), Concat(played));
    }
}

// ---- pacing ----

TEST_F(SimDeviceTest, ManualPacingFinishesExactlyTheBlocksLetGo) {
    Configure(WithPacing(Pacing::Manual));
    WaveClient client;
    ASSERT_EQ(client.Open(&kStereo16.Format), MMSYSERR_NOERROR);
    std::vector<WAVEHDR*> headers;
    for (int i = 0; i < 4; ++i) {
        headers.push_back(client.NewBlock(PatternBytes(8, static_cast<uint32_t>(i))));
        ASSERT_EQ(client.PrepareAndWrite(headers.back()), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(QueuedBlocks(), 4);
    EXPECT_FALSE(WaitQuiet(20)); // blocks are owed

    struct Step {
        int complete;
        size_t doneAfter;
    };
    for (const Step step : {Step{1, 1}, Step{2, 3}, Step{0, 3}, Step{10, 4}}) {
        SCOPED_TRACE(step.complete);
        CompleteBlocks(step.complete); // returns once their WOM_DONEs are delivered
        const auto done = client.DoneHeaders();
        EXPECT_EQ(done, std::vector<WAVEHDR*>(headers.begin(), headers.begin() + step.doneAfter));
        EXPECT_EQ(QueuedBlocks(), 4 - static_cast<int>(step.doneAfter));
    }
    // A surplus does not carry over to blocks written later.
    WAVEHDR* late = client.NewBlock(PatternBytes(8, 9));
    ASSERT_TRUE(client.WaitDone(4));
    ASSERT_EQ(client.PrepareAndWrite(late), MMSYSERR_NOERROR);
    EXPECT_FALSE(WaitQuiet(20));
    EXPECT_EQ(QueuedBlocks(), 1);
    CompleteBlocks(1);
    ASSERT_TRUE(client.WaitDone(5));
    ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
}

TEST_F(SimDeviceTest, ManualPacingGoesInWriteOrderAcrossDevices) {
    Configure(WithPacing(Pacing::Manual));
    WaveClient a;
    WaveClient b;
    ASSERT_EQ(a.Open(&kStereo16.Format), MMSYSERR_NOERROR);
    ASSERT_EQ(b.Open(&kStereo16.Format), MMSYSERR_NOERROR);
    EXPECT_EQ(OpenDevices(), 2);
    WAVEHDR* a0 = a.NewBlock(PatternBytes(4, 1));
    WAVEHDR* b0 = b.NewBlock(PatternBytes(4, 2));
    WAVEHDR* a1 = a.NewBlock(PatternBytes(4, 3));
    for (auto [client, header] : {std::pair{&a, a0}, std::pair{&b, b0}, std::pair{&a, a1}})
        ASSERT_EQ(client->PrepareAndWrite(header), MMSYSERR_NOERROR);
    CompleteBlocks(2);
    EXPECT_EQ(a.DoneHeaders(), std::vector<WAVEHDR*>{a0});
    EXPECT_EQ(b.DoneHeaders(), std::vector<WAVEHDR*>{b0});
    CompleteBlocks(1);
    EXPECT_EQ(a.DoneHeaders(), (std::vector<WAVEHDR*>{a0, a1}));
    ASSERT_TRUE(a.WaitDone(2));
    ASSERT_TRUE(b.WaitDone(1));
    EXPECT_EQ(waveOutClose(a.Handle()), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(b.Handle()), MMSYSERR_NOERROR);
    const auto blocks = Blocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].openIndex, 0);
    EXPECT_EQ(blocks[1].openIndex, 1);
    EXPECT_EQ(blocks[2].openIndex, 0);
    EXPECT_EQ(PlayedBytes(1), PatternBytes(4, 2));
}

TEST_F(SimDeviceTest, RealTimePacingHoldsBlocksForTheirPlayingTime) {
    // 8 kHz mono 8-bit: 8000 bytes a second. A 1 ms block, then a minute.
    const WAVEFORMATEXTENSIBLE format = ExtensibleFormat(8000, 1, 1, 8, false);
    struct Case {
        double speed;
        bool minutePlaysOut;
    };
    for (const Case c : {Case{1.0, false}, Case{100000.0, true}}) {
        SCOPED_TRACE(c.speed);
        Config config = WithPacing(Pacing::RealTime);
        config.speed = c.speed;
        Configure(config);
        WaveClient client;
        ASSERT_EQ(client.Open(&format.Format), MMSYSERR_NOERROR);
        WAVEHDR* shortBlock = client.NewBlock(PatternBytes(8, 1));
        WAVEHDR* minute = client.NewBlock(PatternBytes(8000 * 60, 2));
        ASSERT_EQ(client.PrepareAndWrite(shortBlock), MMSYSERR_NOERROR);
        ASSERT_EQ(client.PrepareAndWrite(minute), MMSYSERR_NOERROR);
        ASSERT_TRUE(client.WaitDone(1));
        EXPECT_EQ(client.DoneHeaders().front(), shortBlock);
        if (c.minutePlaysOut) {
            ASSERT_TRUE(client.WaitDone(2));
        } else {
            // The short block is done and the minute is still playing.
            EXPECT_EQ(QueuedBlocks(), 1);
            ASSERT_EQ(waveOutReset(client.Handle()), MMSYSERR_NOERROR);
            ASSERT_TRUE(client.WaitDone(2));
        }
        EXPECT_EQ(client.DoneHeaders(), (std::vector<WAVEHDR*>{shortBlock, minute}));
        ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
        const auto blocks = Blocks();
        ASSERT_EQ(blocks.size(), 2u);
        EXPECT_TRUE(blocks[0].completed);
        EXPECT_EQ(blocks[1].completed, c.minutePlaysOut);
    }
}

TEST_F(SimDeviceTest, WaitQuietWaitsForEveryOwedNotification) {
    Configure(WithPacing(Pacing::Manual));
    const HWAVEOUT handle = OpenSilent();
    std::vector<uint8_t> data(4);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(data.data());
    header.dwBufferLength = 4;
    ASSERT_EQ(waveOutPrepareHeader(handle, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(handle, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_FALSE(WaitQuiet(20));
    EXPECT_EQ(waveOutReset(handle), MMSYSERR_NOERROR);
    EXPECT_TRUE(WaitQuiet(20000));
    EXPECT_FALSE(WaitClosed(20)); // still open
    EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
    EXPECT_TRUE(WaitClosed(20000));
}

TEST_F(SimDeviceTest, WaitClosedOutlastsAClientThatRefillsFromItsOwnThread) {
    // One block in flight, the next written by the client's thread after each
    // WOM_DONE, the device closed after the last: the stream can look quiet
    // between blocks, but not closed.
    constexpr int kBlocks = 30;
    std::vector<std::vector<uint8_t>> written;
    for (int i = 0; i < kBlocks; ++i)
        written.push_back(PatternBytes(12, static_cast<uint32_t>(i)));
    Gate opened;
    std::thread host([&] {
        WaveClient client;
        const MMRESULT open = client.Open(&kStereo16.Format);
        opened.Open();
        ASSERT_EQ(open, MMSYSERR_NOERROR);
        for (size_t i = 0; i < written.size(); ++i) {
            ASSERT_EQ(client.PrepareAndWrite(client.NewBlock(written[i])), MMSYSERR_NOERROR);
            ASSERT_TRUE(client.WaitDone(i + 1));
        }
        EXPECT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
    });
    ASSERT_TRUE(opened.Wait());
    EXPECT_TRUE(WaitClosed(20000));
    EXPECT_EQ(PlayedBytes(), Concat(written));
    host.join();
}

// ---- concurrency ----

TEST_F(SimDeviceTest, SeveralHostThreadsStreamAtOnceUnderJitter) {
    Config config;
    config.jitterSeed = 7;
    Configure(config);
    constexpr int kThreads = 4;
    constexpr int kBlocks = 40;
    constexpr size_t kInFlight = 3;
    std::vector<std::vector<uint8_t>> streams(kThreads);
    std::vector<std::thread> hosts;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        hosts.emplace_back([&, t] {
            WaveClient client;
            if (client.Open(&kStereo16.Format) != MMSYSERR_NOERROR) {
                ++failures;
                return;
            }
            std::vector<WAVEHDR*> written;
            for (int i = 0; i < kBlocks; ++i) {
                if (written.size() >= kInFlight && !client.WaitDone(written.size() + 1 - kInFlight))
                    ++failures;
                auto bytes = PatternBytes(4 * static_cast<size_t>(1 + i % 7),
                                          static_cast<uint32_t>(t * 1000 + i));
                streams[t].insert(streams[t].end(), bytes.begin(), bytes.end());
                WAVEHDR* header = client.NewBlock(std::move(bytes));
                if (client.PrepareAndWrite(header) != MMSYSERR_NOERROR) ++failures;
                written.push_back(header);
            }
            if (!client.WaitDone(written.size()) || client.DoneHeaders() != written ||
                waveOutClose(client.Handle()) != MMSYSERR_NOERROR)
                ++failures;
        });
    for (std::thread& host : hosts)
        host.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Blocks().size(), static_cast<size_t>(kThreads * kBlocks));
    std::vector<std::vector<uint8_t>> played;
    for (int open = 0; open < kThreads; ++open)
        played.push_back(PlayedBytes(open));
    std::sort(played.begin(), played.end());
    std::sort(streams.begin(), streams.end());
    EXPECT_EQ(played, streams);
}

// ---- message boxes and records ----

TEST_F(SimDeviceTest, MessageBoxesAreRecordedAndAnsweredAtOnce) {
    struct Case {
        const char* text;
        const char* caption;
        UINT type;
    };
    const Case cases[] = {
        {"UnSupported Format.", nullptr, MB_OK | MB_ICONWARNING},
        {"second", "Caption", MB_OK},
        {"", "", MB_ICONWARNING},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MessageBoxA(nullptr, c.text, c.caption, c.type), 1);
    const auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), std::size(cases));
    for (size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_EQ(boxes[i].text, cases[i].text);
        EXPECT_EQ(boxes[i].caption, cases[i].caption ? cases[i].caption : "");
        EXPECT_EQ(boxes[i].type, cases[i].type);
    }
    EXPECT_EQ(MessageBoxTexts(), (std::vector<std::string>{"UnSupported Format.", "second", ""}));
}

TEST_F(SimDeviceTest, ConfigureClearsTheRecords) {
    MessageBoxA(nullptr, "text", nullptr, MB_OK);
    waveOutOpen(nullptr, WAVE_MAPPER, &kStereo16.Format, 0, 0, WAVE_FORMAT_QUERY);
    {
        WaveClient client;
        ASSERT_EQ(client.Open(&kStereo16.Format), MMSYSERR_NOERROR);
        ASSERT_EQ(client.PrepareAndWrite(client.NewBlock(PatternBytes(4, 1))), MMSYSERR_NOERROR);
        ASSERT_TRUE(client.WaitDone(1));
        ASSERT_EQ(waveOutClose(client.Handle()), MMSYSERR_NOERROR);
    }
    waveOutReset(nullptr);
    Configure(Config{});
    EXPECT_TRUE(Blocks().empty());
    EXPECT_TRUE(PlayedBytes().empty());
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_TRUE(Violations().empty());
    EXPECT_EQ(QueryCount(), 0);
    EXPECT_EQ(OpenCount(), 0);
    const WAVEFORMATEXTENSIBLE last = LastFormat();
    const WAVEFORMATEXTENSIBLE zero{};
    EXPECT_EQ(std::memcmp(&last, &zero, sizeof last), 0);
}

} // namespace
} // namespace vantoro::sim
