// The encoder hand-over: the command line, finding the program, what the program receives, and
// programs that are missing, die or stop reading.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "encoder.h"
#include "engine.h"
#include "fixtures.h"

namespace chime::test {
namespace {

namespace fs = std::filesystem;

TEST(CommandLine, SplitsByTheWindowsRules) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"faac.exe -w --mpeg-vers 4 -o \"C:/My Music/out file.m4r\" -",
         {"faac.exe", "-w", "--mpeg-vers", "4", "-o", "C:/My Music/out file.m4r", "-"}},
        {"a --title \"He said \\\"hi\\\"\" b", {"a", "--title", "He said \"hi\"", "b"}},
        {"a --title \"   \" b", {"a", "--title", "   ", "b"}},
        {"a \"\" b", {"a", "", "b"}},
        {"  a\t\tb  ", {"a", "b"}},
        {"a\\\\b \\\\\\\\\"c d\" e", {"a\\\\b", "\\\\c d", "e"}},
        {"a \\\\\\\"q", {"a", "\\\"q"}},
        {"x\"y z\"w", {"xy zw"}},
        {"\"in \"\"quotes\"\" here\"", {"in \"quotes\" here"}},
        {"", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
}

TEST(CommandLine, FindsTheProgramBesideUsFirstThenOnThePath) {
    const fs::path root = Scratch("programs");
    fs::remove_all(root);
    fs::create_directories(root / "own");
    fs::create_directories(root / "path");
    for (const fs::path& p : {root / "own" / "tool", root / "path" / "tool",
                              root / "path" / "other", root / "path" / "plain.txt"}) {
        std::ofstream(p) << "#!/bin/sh\n";
        ::chmod(p.c_str(), p.filename() == "plain.txt" ? 0644 : 0755);
    }
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (root / "path").c_str(), 1);
    const std::string own = (root / "own").string();
    EXPECT_EQ(FindProgram("tool", own), own + "/tool");
    EXPECT_EQ(FindProgram("tool.exe", own), own + "/tool");
    EXPECT_EQ(FindProgram("TOOL.EXE", own), "");  // names are case-sensitive here
    EXPECT_EQ(FindProgram("other.EXE", own), (root / "path" / "other").string());
    EXPECT_EQ(FindProgram("plain.txt", own), "");
    EXPECT_EQ(FindProgram("missing.exe", own), "");
    EXPECT_EQ(FindProgram((root / "path" / "other").string(), own),
              (root / "path" / "other").string());
    ::setenv("PATH", oldPath.c_str(), 1);
}

// A mixer of 44.1 kHz stereo 16-bit samples over a generated source of the given seconds.
struct Chain {
    HSTREAM source = 0;
    HSTREAM mixer = 0;
    explicit Chain(double seconds, DWORD mixerFlags = 0) {
        const std::string path =
            Made("chain-" + std::to_string(static_cast<int>(seconds * 10)) + ".wav",
                 "-f lavfi -i \"" + std::string(kToneGraph) +
                     ":s=48000:d=" + std::to_string(seconds) + "\" -c:a pcm_f32le");
        source = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0,
                                       BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
        mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_MIXER_END | mixerFlags);
        BASS_Mixer_StreamAddChannel(mixer, source, BASS_MIXER_DOWNMIX | BASS_STREAM_AUTOFREE);
    }
    ~Chain() { BASS_StreamFree(mixer); }
    // Pulls to the end in 1024-byte blocks, as the export does; longest, when given, learns
    // how long the slowest pull took.
    std::vector<uint8_t> Drain(std::chrono::steady_clock::duration* longest = nullptr) {
        std::vector<uint8_t> all;
        uint8_t block[1024];
        while (BASS_ChannelIsActive(mixer) == BASS_ACTIVE_PLAYING) {
            const auto before = std::chrono::steady_clock::now();
            const DWORD got = BASS_ChannelGetData(mixer, block, sizeof block);
            if (longest != nullptr) {
                *longest = std::max(*longest, std::chrono::steady_clock::now() - before);
            }
            EXPECT_NE(got, 0xFFFFFFFFu);
            if (got == 0xFFFFFFFF || got == 0) break;
            all.insert(all.end(), block, block + got);
        }
        return all;
    }
};

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

TEST(EncoderHandOver, TheProgramReceivesAWaveHeaderAndEveryBlockAfterTheRoutines) {
    for (const DWORD mixerFlags : {DWORD{0}, BASS_SAMPLE_FLOAT}) {
        const std::string received = Scratch("received data.wav");
        fs::remove(received);
        Chain chain(1.5, mixerFlags);
        const std::string command = "sh -c \"cat > '" + received + "'\"";
        const HENCODE encoder =
            BASS_Encode_Start(chain.mixer, command.c_str(), BASS_ENCODE_FP_16BIT, nullptr, nullptr);
        ASSERT_NE(encoder, 0u);
        EXPECT_EQ(BASS_Encode_IsActive(encoder), BASS_ACTIVE_PLAYING);
        // A routine set after the encoder, at priority 0, still runs before it.
        const HDSP halve = BASS_ChannelSetDSP(
            chain.mixer,
            [](HDSP, DWORD channel, void* buffer, DWORD length, void*) {
                BASS_CHANNELINFO info{};
                BASS_ChannelGetInfo(channel, &info);
                if (info.flags & BASS_SAMPLE_FLOAT) {
                    for (DWORD i = 0; i < length / 4; ++i)
                        static_cast<float*>(buffer)[i] *= 0.5f;
                } else {
                    for (DWORD i = 0; i < length / 2; ++i)
                        static_cast<int16_t*>(buffer)[i] /= 2;
                }
            },
            nullptr, 0);
        ASSERT_NE(halve, 0u);
        if (mixerFlags & BASS_SAMPLE_FLOAT) {
            // Values a float chain can hold that a plain cast gets wrong: each must clip to
            // its own side on the way to the program.
            BASS_ChannelSetDSP(
                chain.mixer,
                [](HDSP, DWORD, void* buffer, DWORD length, void*) {
                    static const float odd[] = {INFINITY, -INFINITY, 1e20f, -1e20f,
                                                1.5f,     -1.5f,     NAN,   0.99999f};
                    float* f = static_cast<float*>(buffer);
                    for (DWORD i = 0; i < length / 4 && i < 8; ++i)
                        f[i] = odd[i];
                },
                nullptr, 0);
        }
        const std::vector<uint8_t> pulled = chain.Drain();
        ASSERT_TRUE(BASS_Encode_Stop(encoder));
        BASS_ENCODE_RESULT result{};
        ASSERT_TRUE(BASS_Encode_GetResult(encoder, &result));
        EXPECT_FALSE(result.running);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.exitcode, 0);
        EXPECT_FALSE(result.writefailed);

        std::ifstream in(received, std::ios::binary);
        const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
        ASSERT_GE(file.size(), 44u);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
        EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
        EXPECT_EQ(Le16(file, 20), 1);       // PCM
        EXPECT_EQ(Le16(file, 22), 2);       // channels
        EXPECT_EQ(Le32(file, 24), 44100u);  // rate
        EXPECT_EQ(Le32(file, 28), 44100u * 4);
        EXPECT_EQ(Le16(file, 32), 4);
        EXPECT_EQ(Le16(file, 34), 16);
        EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
        EXPECT_EQ(Le32(file, 40), 0xFFFFFFFFu) << "a pipe's length is left open";
        const std::vector<uint8_t> data(file.begin() + 44, file.end());
        if (mixerFlags & BASS_SAMPLE_FLOAT) {
            // Float data reach the program as 16-bit samples.
            ASSERT_EQ(data.size(), pulled.size() / 2);
            const float* f = reinterpret_cast<const float*>(pulled.data());
            const int16_t* s = reinterpret_cast<const int16_t*>(data.data());
            for (size_t i = 0; i < data.size() / 2; ++i) {
                ASSERT_EQ(s[i], Expected16(f[i])) << i << " " << f[i];
            }
        } else {
            EXPECT_EQ(data, pulled);
        }
        EXPECT_EQ(pulled.size() / (mixerFlags ? 8 : 4), 66150u);  // 1.5 s at 44.1 kHz
    }
}

std::string Tag(AVDictionary* d, const char* key) {
    const AVDictionaryEntry* e = av_dict_get(d, key, nullptr, 0);
    return e != nullptr ? e->value : "";
}

TEST(EncoderHandOver, TheStandInEncoderWritesARingtone) {
    ASSERT_FALSE(FindProgram("faac.exe", OwnFolder()).empty())
        << "the faac program is not beside the tests";
    const fs::path folder = Scratch("ring tones");
    fs::create_directories(folder);
    const std::string out = (folder / "My \"Song\".m4r").string();
    fs::remove(out);
    Chain chain(3);
    std::string quoted;
    for (const char c : out)
        quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    const std::string command =
        "faac.exe -w --mpeg-vers 4 --title \"Quote \\\"this\\\" & that\""
        " --artist \"Two Words\" --album \"   \" --genre Chime --year 2026"
        " -o \"" +
        quoted + "\" -";
    const HENCODE encoder =
        BASS_Encode_Start(chain.mixer, command.c_str(), BASS_ENCODE_FP_16BIT, nullptr, nullptr);
    ASSERT_NE(encoder, 0u);
    const std::vector<uint8_t> pulled = chain.Drain();
    ASSERT_TRUE(BASS_Encode_Stop(encoder));
    BASS_ENCODE_RESULT result{};
    ASSERT_TRUE(BASS_Encode_GetResult(encoder, &result));
    ASSERT_EQ(result.exitcode, 0) << result.message;

    AVFormatContext* format = nullptr;
    ASSERT_EQ(avformat_open_input(&format, out.c_str(), nullptr, nullptr), 0) << out;
    ASSERT_GE(avformat_find_stream_info(format, nullptr), 0);
    EXPECT_EQ(Tag(format->metadata, "major_brand"), "M4A ");
    EXPECT_EQ(Tag(format->metadata, "title"), "Quote \"this\" & that");
    EXPECT_EQ(Tag(format->metadata, "artist"), "Two Words");
    EXPECT_EQ(Tag(format->metadata, "album"), "   ");
    EXPECT_EQ(Tag(format->metadata, "genre"), "Chime");
    EXPECT_EQ(Tag(format->metadata, "date"), "2026");
    ASSERT_EQ(format->nb_streams, 1u);
    const AVCodecParameters* par = format->streams[0]->codecpar;
    EXPECT_EQ(par->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(par->profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(par->sample_rate, 44100);
    EXPECT_EQ(par->ch_layout.nb_channels, 2);
    avformat_close_input(&format);
    // Decoded back through the engine, the file is exactly as long as what was handed over.
    const HSTREAM back = BASS_MP4_StreamCreateFile(FALSE, out.c_str(), 0, 0,
                                                   BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    ASSERT_NE(back, 0u);
    EXPECT_EQ(BASS_ChannelGetLength(back, BASS_POS_BYTE), static_cast<QWORD>(pulled.size()));
    EXPECT_EQ(PullAll(back).size(), pulled.size());
    BASS_StreamFree(back);
}

TEST(EncoderHandOver, MissingDeadAndStalledProgramsNeverStopThePull) {
    // Missing: nothing starts.
    {
        Chain chain(1);
        EXPECT_EQ(BASS_Encode_Start(chain.mixer, "no-such-encoder.exe -w -", BASS_ENCODE_FP_16BIT,
                                    nullptr, nullptr),
                  0u);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
        // Found, but not a program that can run.
        const fs::path junk = Scratch("not a program");
        std::ofstream(junk) << "\x7f\x01 no such format";
        ::chmod(junk.c_str(), 0755);
        const std::string command = "\"" + junk.string() + "\" -";
        EXPECT_EQ(
            BASS_Encode_Start(chain.mixer, command.c_str(), BASS_ENCODE_FP_16BIT, nullptr, nullptr),
            0u);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CREATE);
    }
    // Dead at once, one that never reads, and one that takes the first 70000 bytes and ends
    // while megabytes are still to come: the pull runs to the end all the same without
    // waiting on the program (or dying of a broken pipe), the encoder turns inactive, and
    // what happened can be learned.
    const DWORD stall = BASS_GetConfig(BASS_CONFIG_ENCODE_STALL);
    ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_ENCODE_STALL, 300));
    struct Case {
        const char* command;
        double seconds;
        bool exits;
        int code;
        const char* message;
    };
    for (const Case& c : {
             Case{"sh -c \"echo gone >&2; exit 3\"", 2, true, 3, "gone"},
             Case{"sleep 1", 2, true, 0, "the encoder stopped taking data"},
             Case{"sh -c \"head -c 70000 > /dev/null\"", 20, true, 0,
                  "the encoder ended before it took all data"},
         }) {
        Chain chain(c.seconds);
        const HENCODE encoder =
            BASS_Encode_Start(chain.mixer, c.command, BASS_ENCODE_FP_16BIT, nullptr, nullptr);
        ASSERT_NE(encoder, 0u) << c.command;
        const auto started = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::chrono::steady_clock::duration longest{};
        const std::vector<uint8_t> pulled = chain.Drain(&longest);
        EXPECT_EQ(pulled.size(), static_cast<size_t>(c.seconds * 44100) * 4) << c.command;
        EXPECT_EQ(BASS_Encode_IsActive(encoder), BASS_ACTIVE_STOPPED) << c.command;
        // A pull waits at most the stall time (300 ms) on a program that takes nothing.
        EXPECT_LT(longest, std::chrono::seconds(2)) << c.command;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << c.command;
        ASSERT_TRUE(BASS_Encode_Stop(chain.mixer));
        BASS_ENCODE_RESULT result{};
        ASSERT_TRUE(BASS_Encode_GetResult(encoder, &result));
        EXPECT_TRUE(result.writefailed) << c.command;
        EXPECT_EQ(result.exited, c.exits ? TRUE : FALSE);
        EXPECT_EQ(result.exitcode, c.code) << c.command;
        EXPECT_STREQ(result.message, c.message) << c.command;
    }
    ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_ENCODE_STALL, stall));
}

TEST(EncoderHandOver, StoppingNeverWaitsOnLeftoversAndTwoStopsAgree) {
    // A process the encoder leaves behind keeps its error pipe open; stopping does not wait for
    // it. Two stops at once (by encoder and by channel) both see the program's own exit.
    for (const char* command : {"sh -c \"sleep 20 & cat > /dev/null; exit 3\"",
                                "sh -c \"cat > /dev/null; sleep 0.05; exit 3\""}) {
        Chain chain(0.5);
        const HENCODE encoder =
            BASS_Encode_Start(chain.mixer, command, BASS_ENCODE_FP_16BIT, nullptr, nullptr);
        ASSERT_NE(encoder, 0u);
        chain.Drain();
        const auto started = std::chrono::steady_clock::now();
        std::thread other([&chain] { BASS_Encode_Stop(chain.mixer); });
        ASSERT_TRUE(BASS_Encode_Stop(encoder));
        other.join();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << command;
        BASS_ENCODE_RESULT result{};
        ASSERT_TRUE(BASS_Encode_GetResult(encoder, &result));
        EXPECT_TRUE(result.exited) << command;
        EXPECT_EQ(result.exitcode, 3) << command;
    }
}

TEST(EncoderHandOver, ALimitIsAnnouncedInTheHeaderAndNoByteMoreIsHandedOver) {
    const std::string received = Scratch("received limited.wav");
    fs::remove(received);
    Chain chain(1.5);
    const std::string command = "sh -c \"cat > '" + received + "'\"";
    const QWORD limit = 44100;  // a quarter second of 16-bit stereo, less than the 1.5 s pulled
    const HENCODE encoder = BASS_Encode_StartLimit(chain.mixer, command.c_str(),
                                                   BASS_ENCODE_FP_16BIT, nullptr, nullptr, limit);
    ASSERT_NE(encoder, 0u);
    const std::vector<uint8_t> pulled = chain.Drain();
    ASSERT_TRUE(BASS_Encode_Stop(encoder));
    const std::string text = FileText(received);
    const std::vector<uint8_t> file(text.begin(), text.end());
    ASSERT_EQ(file.size(), 44 + limit);
    EXPECT_EQ(Le32(file, 4), 36 + limit);
    EXPECT_EQ(Le32(file, 40), limit);
    EXPECT_TRUE(std::equal(file.begin() + 44, file.end(), pulled.begin()));
    EXPECT_EQ(BASS_Encode_StartLimit(chain.mixer, command.c_str(), 0, nullptr, nullptr, -1), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

TEST(EncoderHandOver, FinishReturnsAtOnceAndTheResultTellsWhenTheProgramHasEnded) {
    Chain chain(0.5);
    const HENCODE encoder = BASS_Encode_Start(
        chain.mixer, "sh -c \"cat > /dev/null; sleep 0.5; echo done >&2; exit 4\"",
        BASS_ENCODE_FP_16BIT, nullptr, nullptr);
    ASSERT_NE(encoder, 0u);
    chain.Drain();
    ASSERT_TRUE(BASS_Encode_Finish(encoder));
    EXPECT_EQ(BASS_Encode_IsActive(encoder), BASS_ACTIVE_STOPPED);
    BASS_ENCODE_RESULT result{};
    ASSERT_TRUE(BASS_Encode_GetResult(encoder, &result));
    EXPECT_TRUE(result.running) << "the program is still finishing its output";
    const auto started = std::chrono::steady_clock::now();
    while (result.running &&
           std::chrono::steady_clock::now() - started < std::chrono::seconds(20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(BASS_Encode_GetResult(encoder, &result));
    }
    EXPECT_FALSE(result.running);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitcode, 4);
    EXPECT_FALSE(result.writefailed);
    EXPECT_STREQ(result.message, "done");
}

TEST(EncoderHandOver, AbortLetsTheProgramCleanUpAndKillsOneThatWillNotStop) {
    // faac removes its part file when asked to stop; nothing of the output is left.
    {
        const fs::path folder = Scratch("aborted export");
        fs::remove_all(folder);
        fs::create_directories(folder);
        Chain chain(20);
        const std::string command =
            "faac.exe -w --mpeg-vers 4 -o \"" + (folder / "out.m4r").string() + "\" -";
        const HENCODE encoder =
            BASS_Encode_Start(chain.mixer, command.c_str(), BASS_ENCODE_FP_16BIT, nullptr, nullptr);
        ASSERT_NE(encoder, 0u);
        uint8_t block[1024];
        for (int i = 0; i < 400; ++i)
            ASSERT_NE(BASS_ChannelGetData(chain.mixer, block, sizeof block), 0xFFFFFFFFu);
        ASSERT_TRUE(BASS_Encode_Abort(encoder));
        BASS_ENCODE_RESULT result{};
        ASSERT_TRUE(BASS_Encode_GetResult(encoder, &result));
        EXPECT_FALSE(result.running);
        EXPECT_FALSE(result.exited) << "it ended by the signal, not by completing its output";
        EXPECT_TRUE(fs::is_empty(folder)) << "the part file is gone";
        // The pull goes on without the encoder.
        EXPECT_EQ(BASS_ChannelGetData(chain.mixer, block, sizeof block), sizeof block);
    }
    // A program that ignores the request is killed after the grace time.
    {
        Chain chain(0.5);
        const HENCODE encoder =
            BASS_Encode_Start(chain.mixer, "sh -c \"trap '' TERM; cat > /dev/null; exec sleep 60\"",
                              BASS_ENCODE_FP_16BIT, nullptr, nullptr);
        ASSERT_NE(encoder, 0u);
        chain.Drain();
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(BASS_Encode_Abort(chain.mixer));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        BASS_ENCODE_RESULT result{};
        ASSERT_TRUE(BASS_Encode_GetResult(encoder, &result));
        EXPECT_FALSE(result.running);
        EXPECT_FALSE(result.exited);
        EXPECT_STREQ(result.message, "the encoder was stopped before the end of its data");
    }
}

TEST(EncoderHandOver, NoCallWaitsOnAStuckProgramForMoreThanACoupleOfSeconds) {
    using Clock = std::chrono::steady_clock;
    // One that stops reading: the pull gives up on it after the stall time (2 s by default);
    // one that closes its input and runs on: a stop asks it to end, then kills it.
    for (const char* command : {"sleep 30", "sh -c \"exec 0<&-; exec sleep 30\""}) {
        Chain chain(5);
        const HENCODE encoder =
            BASS_Encode_Start(chain.mixer, command, BASS_ENCODE_FP_16BIT, nullptr, nullptr);
        ASSERT_NE(encoder, 0u);
        std::chrono::steady_clock::duration longest{};
        chain.Drain(&longest);
        EXPECT_LT(longest, std::chrono::seconds(5)) << command;
        const auto before = Clock::now();
        ASSERT_TRUE(BASS_Encode_Stop(encoder));
        EXPECT_LT(Clock::now() - before, std::chrono::seconds(6)) << command;
        BASS_ENCODE_RESULT result{};
        ASSERT_TRUE(BASS_Encode_GetResult(encoder, &result));
        EXPECT_FALSE(result.running);
        EXPECT_FALSE(result.exited) << command;
        const auto freeing = Clock::now();
        BASS_StreamFree(chain.mixer);
        chain.mixer = 0;
        EXPECT_LT(Clock::now() - freeing, std::chrono::seconds(1));
    }
}

TEST(EncoderHandOver, StaleHandlesFail) {
    HENCODE encoder = 0;
    {
        Chain chain(1);
        encoder = BASS_Encode_Start(chain.mixer, "sh -c \"cat > /dev/null\"", BASS_ENCODE_FP_16BIT,
                                    nullptr, nullptr);
        ASSERT_NE(encoder, 0u);
    }
    // Freeing the channel stopped the encoder and let go of it.
    EXPECT_FALSE(BASS_Encode_Stop(encoder));
    EXPECT_EQ(BASS_Encode_IsActive(encoder), BASS_ACTIVE_STOPPED);
    BASS_ENCODE_RESULT result{};
    EXPECT_FALSE(BASS_Encode_GetResult(encoder, &result));
    EXPECT_EQ(BASS_Encode_Start(0, "sh -c true", 0, nullptr, nullptr), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

}  // namespace
}  // namespace chime::test
