// Runs the built faac program as the export does, fed through a pipe, and reads its output
// back with libavformat and libavcodec.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "test_wave.h"

extern char** environ;

namespace chime::faac {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::DataSize;
using test::WaveParams;

// A child process with its standard input on a pipe and its messages in a file.
class Child {
  public:
    explicit Child(const std::vector<std::string>& args) {
        ::signal(SIGPIPE, SIG_IGN);  // a child that quits early must not end the test
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        input_ = fds[1];
        std::string pattern = (fs::temp_directory_path() / "faac-test-stderr-XXXXXX").string();
        messages_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        ::unlink(pattern.c_str());
        std::vector<char*> argv{const_cast<char*>(FAAC_PROGRAM)};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, messages_, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, messages_, STDERR_FILENO);
        if (::posix_spawn(&pid_, FAAC_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
    }
    ~Child() {
        CloseInput();
        if (pid_ > 0) Wait();
        if (messages_ >= 0) ::close(messages_);
    }

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Writes into the pipe; stops quietly when the child has stopped reading.
    void Feed(const Bytes& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += n;
        }
    }
    void CloseInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }
    // The raw wait status.
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    std::string Messages() const {
        std::string text;
        char buffer[4096];
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(messages_, buffer, sizeof buffer, at);
            if (n <= 0) return text;
            text.append(buffer, n);
            at += n;
        }
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int messages_ = -1;
};

struct RunResult {
    int exitCode = -1;  // -1 when the program did not exit normally
    std::string messages;
};

RunResult RunFaac(const std::vector<std::string>& args, const Bytes& input) {
    Child child(args);
    EXPECT_TRUE(child.started()) << FAAC_PROGRAM;
    if (!child.started()) return {};
    child.Feed(input);
    child.CloseInput();
    const int status = child.Wait();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, child.Messages()};
}

// What libavformat and libavcodec make of an output file.
struct Decoded {
    std::string error;  // empty when the file was read to its end
    std::string codec;
    std::string profile;
    int rate = 0;
    int channels = 0;
    int64_t length = 0;  // in samples, as the container states it (its edit list, in ms)
    std::map<std::string, std::string> tags;  // the container's, as ffprobe -show_format lists them
    std::vector<std::vector<float>> planes;   // the decoded samples, one array per channel
    int64_t frames() const { return planes.empty() ? 0 : static_cast<int64_t>(planes[0].size()); }
};

Decoded Decode(const std::string& path) {
    Decoded out;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
        out.error = "cannot open";
        return out;
    }
    AVCodecContext* codec = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto receive = [&] {
        while (avcodec_receive_frame(codec, frame) == 0) {
            if (frame->format != AV_SAMPLE_FMT_FLTP) out.error = "unexpected sample format";
            for (int c = 0; c < out.channels && out.error.empty(); ++c) {
                const auto* samples = reinterpret_cast<const float*>(frame->extended_data[c]);
                out.planes[c].insert(out.planes[c].end(), samples, samples + frame->nb_samples);
            }
            av_frame_unref(frame);
        }
    };
    if (avformat_find_stream_info(format, nullptr) < 0 || format->nb_streams != 1) {
        out.error = "no single stream";
    } else {
        const AVCodecParameters* par = format->streams[0]->codecpar;
        out.codec = avcodec_get_name(par->codec_id);
        const char* profile = avcodec_profile_name(par->codec_id, par->profile);
        out.profile = profile != nullptr ? profile : "";
        out.rate = par->sample_rate;
        out.channels = par->ch_layout.nb_channels;
        out.planes.resize(out.channels);
        const AVStream* stream = format->streams[0];
        out.length = av_rescale_q(stream->duration, stream->time_base, AVRational{1, out.rate});
        const AVDictionaryEntry* tag = nullptr;
        while ((tag = av_dict_get(format->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
            out.tags[tag->key] = tag->value;
        }
        codec = avcodec_alloc_context3(avcodec_find_decoder(par->codec_id));
        bool opened = avcodec_parameters_to_context(codec, par) >= 0;
        // Without it the decoder warns that it cannot shift timestamps past the priming.
        codec->pkt_timebase = format->streams[0]->time_base;
        opened = opened && avcodec_open2(codec, nullptr, nullptr) >= 0;
        if (!opened) {
            out.error = "cannot open the decoder";
        } else {
            while (out.error.empty() && av_read_frame(format, packet) >= 0) {
                if (avcodec_send_packet(codec, packet) < 0) out.error = "cannot decode";
                av_packet_unref(packet);
                receive();
            }
            avcodec_send_packet(codec, nullptr);
            receive();
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    return out;
}

// How closely decoded follows the input, in dB; a shift by even a few samples or a swapped
// channel brings a sine far below the encoder's own noise.
double SignalToNoise(const std::vector<float>& input, int channels, int channel,
                     const std::vector<float>& decoded) {
    double signal = 0, noise = 0;
    for (size_t i = 0; i < decoded.size(); ++i) {
        const double x = input[i * channels + channel];
        signal += x * x;
        noise += (x - decoded[i]) * (x - decoded[i]);
    }
    return 10 * std::log10(signal / std::max(noise, 1e-20));
}

class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "faac-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // The names in the folder, sorted: a run must leave nothing else behind.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    std::string path_;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// ---------------------------------------------------------------------------------------------

struct EncodeCase {
    const char* name;
    WaveParams params;
    int64_t frames;
    int expectedRate;
    int expectedChannels;
    int64_t expectedLength;   // of the output, in samples
    int64_t expectedDecoded;  // what libavcodec decodes: the same but for tiny inputs
    bool compareWaveform;     // the output keeps the input's rate and is long enough to measure
};

class Encode : public testing::TestWithParam<EncodeCase> {};

TEST_P(Encode, GivesAacLcInM4aOfExactLength) {
    const EncodeCase& c = GetParam();
    TempFolder folder;
    const std::string output = folder / "ring tone.m4r";
    const std::vector<float> input = test::Sines(c.frames, c.params.channels, c.params.rate);

    const RunResult run =
        RunFaac({"-w", "--mpeg-vers", "4", "-o", output, "-"}, test::MakeWave(c.params, input));
    ASSERT_EQ(run.exitCode, 0) << run.messages;
    EXPECT_EQ(run.messages, "");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"ring tone.m4r"});

    const Decoded decoded = Decode(output);
    ASSERT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.codec, "aac");
    EXPECT_EQ(decoded.profile, "LC");
    EXPECT_EQ(decoded.tags.count("major_brand") ? decoded.tags.at("major_brand") : "", "M4A ");
    EXPECT_EQ(decoded.rate, c.expectedRate);
    ASSERT_EQ(decoded.channels, c.expectedChannels);
    EXPECT_EQ(decoded.frames(), c.expectedDecoded);
    // The muxer writes the edit list in milliseconds.
    EXPECT_NEAR(decoded.length, c.expectedLength, c.expectedRate / 1000 + 1);
    if (c.compareWaveform && decoded.frames() == c.frames) {
        for (int ch = 0; ch < decoded.channels; ++ch) {
            // Pure tones come out of this encoder at 22 to 53 dB here; a shift of a few
            // samples or a swapped channel falls well below 15.
            EXPECT_GT(SignalToNoise(input, c.params.channels, ch, decoded.planes[ch]), 15.0)
                << "channel " << ch;
        }
    }
}

WaveParams Params(SampleFormat format, int rate, int channels, DataSize size = DataSize::kExact,
                  bool extensible = false, bool listChunk = false) {
    WaveParams params;
    params.format = format;
    params.rate = rate;
    params.channels = channels;
    params.dataSize = size;
    params.extensible = extensible;
    params.listChunk = listChunk;
    return params;
}

constexpr auto kS16 = SampleFormat::kS16;

INSTANTIATE_TEST_SUITE_P(
    Faac, Encode,
    testing::Values(
        // What the export feeds: 16-bit stereo at 44.1 kHz, a length that is no whole number
        // of AAC frames.
        EncodeCase{"cd_stereo", Params(kS16, 44100, 2), 2 * 44100 + 77, 44100, 2, 2 * 44100 + 77,
                   2 * 44100 + 77, true},
        EncodeCase{"size_left_open", Params(kS16, 44100, 2, DataSize::kOpen), 30011, 44100, 2,
                   30011, 30011, true},
        EncodeCase{"size_zero", Params(kS16, 44100, 2, DataSize::kZero), 30011, 44100, 2, 30011,
                   30011, true},
        EncodeCase{"size_beyond_the_end", Params(kS16, 44100, 2, DataSize::kOversize), 30011, 44100,
                   2, 30011, 30011, true},
        EncodeCase{"pcm8_mono", Params(SampleFormat::kU8, 22050, 1), 22050 + 5, 22050, 1, 22050 + 5,
                   22050 + 5, true},
        EncodeCase{"float_stereo_48k", Params(SampleFormat::kF32, 48000, 2), 48000 + 1, 48000, 2,
                   48000 + 1, 48000 + 1, true},
        EncodeCase{"extensible_after_other_chunks",
                   Params(kS16, 44100, 2, DataSize::kOpen, true, true), 20000, 44100, 2, 20000,
                   20000, true},
        EncodeCase{"six_channels", Params(kS16, 48000, 6), 20000, 48000, 6, 20000, 20000, false},
        // Channel counts the encoder refuses are mixed down to stereo.
        EncodeCase{"nine_channels_to_stereo", Params(kS16, 44100, 9), 5000, 44100, 2, 5000, 5000,
                   false},
        EncodeCase{"whole_frames", Params(kS16, 44100, 2), 43 * 1024, 44100, 2, 43 * 1024,
                   43 * 1024, true},
        EncodeCase{"one_frame_and_a_sample", Params(kS16, 44100, 2), 1025, 44100, 2, 1025, 1025,
                   false},
        EncodeCase{"under_one_frame", Params(kS16, 44100, 2), 600, 44100, 2, 600, 600, false},
        // A rate the encoder does not take is resampled to the next one it takes, the length
        // scaled with it.
        EncodeCase{"rate_resampled", Params(kS16, 12345, 1), 12345, 16000, 1, 16000, 16000, false},
        // libavformat plays the last AAC frame of an MP4 whole; an input of less than about
        // half a frame keeps its padding at the end, where the edit list cuts it off but
        // libavformat decodes the whole frame.
        EncodeCase{"tiny_input_kept", Params(kS16, 44100, 2), 100, 44100, 2, 100, 1024, false},
        // Shorter than a millisecond: the edit list still has a length.
        EncodeCase{"one_frame", Params(kS16, 44100, 2), 1, 44100, 2, 1, 1024, false},
        EncodeCase{"two_frames", Params(kS16, 44100, 1), 2, 44100, 1, 2, 1024, false},
        EncodeCase{"lowest_rate", Params(kS16, 1000, 1), 1000, 7350, 1, 7350, 7350, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The check of the export's own measure: ffmpeg decodes exactly the samples that went in.
TEST(Faac, FfmpegDecodesTheExactLength) {
    TempFolder folder;
    const std::string output = folder / "x.m4r";
    const int64_t frames = 3 * 44100 + 1234;
    const Bytes input =
        test::MakeWave(Params(kS16, 44100, 2, DataSize::kOpen), test::Sines(frames, 2, 44100));
    ASSERT_EQ(RunFaac({"-o", output, "-"}, input).exitCode, 0);

    const std::string command = "ffmpeg -nostdin -v error -i '" + output + "' -f s16le - 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    int64_t bytes = 0;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        bytes += n;
    ASSERT_EQ(::pclose(pipe), 0) << "ffmpeg failed";
    EXPECT_EQ(bytes, frames * 4);
}

TEST(Faac, WritesTagsAndReplacesAnExistingFile) {
    TempFolder folder;
    const std::string output = folder / "my \"ring\" tone.m4r";
    WriteText(output, "an older file");
    const std::vector<std::string> args{"-w",
                                        "--mpeg-vers",
                                        "4",
                                        "--title",
                                        "My \"Song\" - it's here",
                                        "--artist",
                                        "A  B",
                                        "--album",
                                        "-w --title x",
                                        "--genre",
                                        "Caf\xC3\xA9 \xE2\x99\xAA",
                                        "--year",
                                        "2024",
                                        "-o",
                                        output,
                                        "-"};
    const RunResult run =
        RunFaac(args, test::MakeWave(Params(kS16, 44100, 2), test::Sines(44100, 2, 44100)));
    ASSERT_EQ(run.exitCode, 0) << run.messages;

    const Decoded decoded = Decode(output);
    ASSERT_EQ(decoded.error, "");
    const std::map<std::string, std::string> expected{{"title", "My \"Song\" - it's here"},
                                                      {"artist", "A  B"},
                                                      {"album", "-w --title x"},
                                                      {"genre", "Caf\xC3\xA9 \xE2\x99\xAA"},
                                                      {"date", "2024"}};
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(decoded.tags.count(key) ? decoded.tags.at(key) : "(missing)", value) << key;
    }
    EXPECT_EQ(decoded.frames(), 44100);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"my \"ring\" tone.m4r"});

    // The temporary file it was written to was private; the result is an ordinary file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat(output.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST(Faac, TagsThatAreNotUtf8AreWrittenAsUtf8) {
    TempFolder folder;
    const std::string output = folder / "x.m4a";
    const RunResult run =
        RunFaac({"--title", "Caf\xE9 \xC3\xA9", "-o", output},
                test::MakeWave(Params(kS16, 44100, 2), test::Sines(5000, 2, 44100)));
    ASSERT_EQ(run.exitCode, 0) << run.messages;
    const Decoded decoded = Decode(output);
    EXPECT_EQ(decoded.tags.count("title") ? decoded.tags.at("title") : "", "Caf\xC3\xA9 \xC3\xA9");
}

TEST(Faac, EmptyTagsAreLeftOut) {
    TempFolder folder;
    const std::string output = folder / "x.m4a";
    const RunResult run =
        RunFaac({"--title", "", "--artist", "Someone", "--year", "", "-o", output},
                test::MakeWave(Params(kS16, 44100, 2), test::Sines(5000, 2, 44100)));
    ASSERT_EQ(run.exitCode, 0) << run.messages;
    const Decoded decoded = Decode(output);
    EXPECT_EQ(decoded.tags.count("title"), 0u);
    EXPECT_EQ(decoded.tags.count("date"), 0u);
    EXPECT_EQ(decoded.tags.count("artist") ? decoded.tags.at("artist") : "", "Someone");
}

// ---------------------------------------------------------------------------------------------

struct FailureCase {
    const char* name;
    std::vector<std::string> args;  // "OUT" stands for the output path
    std::function<Bytes()> input;
    int exitCode;
    const char* message;  // a part of what it says
    bool targetMayExist;  // false where the path cannot name a file
};

class Failure : public testing::TestWithParam<FailureCase> {};

// Each failure says why, exits non-zero and leaves nothing at the output path; a file that was
// there stays as it was.
TEST_P(Failure, LeavesNoFileAndKeepsAnOldOne) {
    const FailureCase& c = GetParam();
    for (const bool existing : {false, true}) {
        if (existing && !c.targetMayExist) continue;
        SCOPED_TRACE(existing ? "with an existing file" : "with no file");
        TempFolder folder;
        fs::create_directory(folder / "sub");
        const std::string output = folder / "x.m4r";
        if (existing) WriteText(output, "precious");
        std::vector<std::string> args;
        for (const auto& arg : c.args)
            args.push_back(arg == "OUT" ? output : arg);
        for (auto& arg : args) {
            if (arg.starts_with("FOLDER/")) arg = folder / arg.substr(7);
        }

        const RunResult run = RunFaac(args, c.input());
        EXPECT_EQ(run.exitCode, c.exitCode) << run.messages;
        EXPECT_NE(run.messages.find(c.message), std::string::npos) << run.messages;
        EXPECT_TRUE(run.messages.starts_with("faac: ")) << run.messages;
        if (c.exitCode == 2) {
            EXPECT_NE(run.messages.find("usage: faac"), std::string::npos);
        }
        if (existing) {
            EXPECT_EQ(folder.Names(), (std::vector<std::string>{"sub", "x.m4r"}));
            EXPECT_EQ(ReadText(output), "precious");
        } else {
            EXPECT_EQ(folder.Names(), std::vector<std::string>{"sub"});
            EXPECT_TRUE(fs::is_empty(folder / "sub"));
        }
    }
}

Bytes GoodInput() {
    return test::MakeWave(Params(kS16, 44100, 2), test::Sines(4410, 2, 44100));
}

Bytes HeaderOnly(DataSize size) {
    return test::MakeWave(Params(kS16, 44100, 2, size), {});
}

const std::vector<std::string> kOut{"-w", "--mpeg-vers", "4", "-o", "OUT", "-"};

INSTANTIATE_TEST_SUITE_P(
    Faac, Failure,
    testing::Values(
        FailureCase{"folder_missing",
                    {"-o", "FOLDER/none/x.m4r", "-"},
                    GoodInput,
                    1,
                    "cannot write",
                    false},
        FailureCase{"output_is_a_folder", {"-o", "FOLDER/sub", "-"}, GoodInput, 1, "folder", false},
        FailureCase{"empty_input", kOut, [] { return Bytes{}; }, 1, "input is empty", true},
        FailureCase{"random_bytes", kOut,
                    [] {
                        Bytes bytes(100000);
                        uint32_t x = 99;
                        for (auto& b : bytes)
                            b = static_cast<uint8_t>((x = x * 1664525 + 1013904223) >> 24);
                        return bytes;
                    },
                    1, "not a WAVE stream", true},
        FailureCase{"header_cut_short", kOut,
                    [] {
                        Bytes bytes = GoodInput();
                        bytes.resize(30);
                        return bytes;
                    },
                    1, "cut short", true},
        FailureCase{"no_samples_size_zero", kOut, [] { return HeaderOnly(DataSize::kZero); }, 1,
                    "no samples", true},
        FailureCase{"no_samples_size_announced", kOut,
                    [] { return HeaderOnly(DataSize::kOversize); }, 1, "no samples", true},
        FailureCase{"less_than_one_sample", kOut,
                    [] {
                        Bytes bytes = HeaderOnly(DataSize::kOpen);
                        bytes.insert(bytes.end(), {1, 2, 3});
                        return bytes;
                    },
                    1, "no samples", true},
        FailureCase{"unsupported_format", kOut,
                    [] {
                        Bytes bytes = GoodInput();
                        bytes[34] = 24;  // bits per sample
                        return bytes;
                    },
                    1, "unsupported sample format", true},
        FailureCase{
            "too_many_channels", kOut,
            [] { return test::MakeWave(Params(kS16, 44100, 65), test::Sines(100, 65, 44100)); }, 1,
            "65 channels", true},
        FailureCase{"mpeg_version_2",
                    {"--mpeg-vers", "2", "-o", "OUT", "-"},
                    GoodInput,
                    2,
                    "--mpeg-vers 2",
                    true},
        FailureCase{"unknown_option",
                    {"-b", "128", "-o", "OUT", "-"},
                    GoodInput,
                    2,
                    "unknown option '-b'",
                    true},
        FailureCase{"no_output", {"-w", "-"}, GoodInput, 2, "no output file", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Stopping the program (a cancelled export) removes its partial file and keeps the old one.
TEST(Faac, StoppedRunLeavesTheOldFile) {
    TempFolder folder;
    const std::string output = folder / "x.m4r";
    WriteText(output, "precious");
    Child child({"-o", output, "-"});
    ASSERT_TRUE(child.started());
    const Bytes whole =
        test::MakeWave(Params(kS16, 44100, 2, DataSize::kOpen), test::Sines(44100, 2, 44100));
    child.Feed(Bytes(whole.begin(), whole.begin() + whole.size() / 2));

    // The partial file appears before the program reads its input; waiting for it (with a
    // generous bound) makes sure the stop comes while it is at work.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (folder.Names().size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(folder.Names().size(), 2u) << "no partial file appeared";
    ::kill(child.pid(), SIGTERM);
    const int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"x.m4r"});
    EXPECT_EQ(ReadText(output), "precious");
}

}  // namespace
}  // namespace chime::faac
