// Exports end to end: exact length and alignment for every rate, channel count and kind; the
// failures, each reported and each leaving an existing file of the target's name as it was and
// nothing else behind; a cancelled export.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "fixtures.h"
#include "job.h"

namespace chime::test {
namespace {

namespace fs = std::filesystem;

// A quiet tone with one full-scale sample at 2.5 s on every channel.
std::string ClickFile(int rate, int channels, const std::string& ext, const std::string& codec) {
    std::string graph = "aevalsrc=";
    for (int c = 0; c < channels; ++c) {
        graph += (c ? "|" : "") + std::string("0.05*sin(2*PI*300*t)+0.9*eq(n\\," +
                                              std::to_string(rate * 5 / 2) + ")");
    }
    const std::string name =
        "export-click-" + std::to_string(rate) + "-" + std::to_string(channels) + ext;
    return Made(name, "-f lavfi -i \"" + graph + ":s=" + std::to_string(rate) + ":d=6\" " + codec);
}

// Every sample of a file, decoded with FFmpeg alone, as interleaved stereo floats.
std::vector<float> DecodeStereo(const std::string& path) {
    std::vector<float> out;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return out;
    avformat_find_stream_info(format, nullptr);
    const AVCodecParameters* par = format->streams[0]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(ctx, par);
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) >= 0) {
            // FFmpeg's AAC decoder gives planar floats.
            for (int i = 0; i < frame->nb_samples; ++i) {
                out.push_back(reinterpret_cast<float*>(frame->data[0])[i]);
                out.push_back(reinterpret_cast<float*>(frame->data[1])[i]);
            }
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        avcodec_send_packet(ctx, packet);
        drain();
        av_packet_unref(packet);
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    avformat_close_input(&format);
    return out;
}

size_t LoudestFrame(const std::vector<float>& stereo) {
    size_t best = 0;
    for (size_t i = 0; i < stereo.size(); ++i) {
        if (std::fabs(stereo[i]) > std::fabs(stereo[best])) best = i;
    }
    return best / 2;
}

// A scratch folder of its own for the running test, empty.
fs::path Folder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("export ") + info->test_suite_name() + " " + info->name();
    std::replace(name.begin(), name.end(), '/', '-');
    const fs::path folder = Scratch(name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

ExportRequest Request(const std::string& input, const fs::path& output, double start, double end) {
    ExportRequest r;
    r.input = input;
    r.output = output.string();
    r.startSeconds = start;
    r.endSeconds = end;
    r.effects.fadeInOn = false;
    return r;
}

// Runs a job to its end.
void RunToEnd(ExportJob& job) {
    if (job.Start()) {
        while (job.Step(50)) {
        }
    }
}

class Engine : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { BASS_Init(0, 44100, 0, nullptr, nullptr); }
    static void TearDownTestSuite() { BASS_Free(); }
};

struct Layout {
    int rate;
    int channels;
};
void PrintTo(const Layout& l, std::ostream* os) {
    *os << l.rate << " Hz, " << l.channels << " channels";
}
class Layouts : public Engine, public ::testing::WithParamInterface<Layout> {};

TEST_P(Layouts, TheSpanComesOutExactlyAndInPlace) {
    const Layout l = GetParam();
    const std::string song = ClickFile(l.rate, l.channels, ".wav", "-c:a pcm_s16le");
    const fs::path folder = Folder();
    ExportJob job(Request(song, folder / "ring.m4r", 1, 4));
    RunToEnd(job);
    ASSERT_EQ(job.GetState(), ExportJob::State::Done) << job.Message();
    EXPECT_EQ(job.Facts().frames, 3 * 44100);
    EXPECT_EQ(job.Facts().rate, 44100);
    EXPECT_EQ(job.Facts().channels, 2);
    EXPECT_EQ(job.Facts().brand, "M4A ");
    EXPECT_EQ(job.Facts().codec, "AAC-LC");
    EXPECT_EQ(test::FilesIn(folder), std::vector<std::string>{"ring.m4r"});
    const std::vector<float> heard = DecodeStereo((folder / "ring.m4r").string());
    ASSERT_EQ(heard.size(), 3u * 44100 * 2);
    // The click at 2.5 s of the song is 1.5 s into the ringtone, to the sample: neither the
    // mixer's rate conversion nor the encoder's priming moves it.
    EXPECT_NEAR(static_cast<double>(LoudestFrame(heard)), 1.5 * 44100, 1) << l.rate;
}

INSTANTIATE_TEST_SUITE_P(Export, Layouts,
                         ::testing::Values(Layout{22050, 1}, Layout{44100, 2}, Layout{48000, 2},
                                           Layout{96000, 6}, Layout{44100, 6}, Layout{96000, 1}),
                         [](const auto& info) {
                             return std::to_string(info.param.rate) + "Hz" +
                                    std::to_string(info.param.channels) + "ch";
                         });

struct Kind {
    const char* name;   // the file's name
    const char* codec;  // ffmpeg arguments; "" for a file from the shared fixtures
    double start;
    double end;
};
void PrintTo(const Kind& k, std::ostream* os) {
    *os << k.name;
}
class Kinds : public Engine, public ::testing::WithParamInterface<Kind> {};

TEST_P(Kinds, EveryKindGivesTheExactSpan) {
    const Kind k = GetParam();
    const std::string name = k.name;
    const std::string ext = name.substr(name.find('.'));
    std::string song;
    if (std::string(k.codec).empty()) {
        song = Shared(name);
        if (song.empty()) GTEST_SKIP() << "../shared/fixtures is absent";
    } else if (ext == ".mpc") {
        song = MadeMusepack("export-tone.mpc", 6);
    } else {
        song = ClickFile(48000, 2, ext, k.codec);
    }
    const fs::path folder = Folder();
    ExportJob job(Request(song, folder / "ring.m4r", k.start, k.end));
    RunToEnd(job);
    ASSERT_EQ(job.GetState(), ExportJob::State::Done) << job.Message();
    EXPECT_EQ(job.Facts().frames, std::llround((k.end - k.start) * 44100));
}

INSTANTIATE_TEST_SUITE_P(
    Export, Kinds,
    ::testing::Values(Kind{"a.mp3", "-c:a libmp3lame -b:a 192k", 2, 4.5},
                      Kind{"a.ogg", "-c:a libvorbis", 2, 4.5}, Kind{"a.flac", "-c:a flac", 2, 4.5},
                      Kind{"a.m4a", "-c:a aac -b:a 128k", 2, 4.5},
                      Kind{"a.aac", "-c:a aac -f adts", 2, 4.5},
                      Kind{"a.wma", "-c:a wmav2", 2, 4.5}, Kind{"a.ac3", "-c:a ac3", 2, 4.5},
                      Kind{"a.mpc", "x", 2, 4.5}, Kind{"tone.ape", "", 0.25, 1.25},
                      Kind{"song.xm", "", 2, 4.5}),
    [](const auto& info) {
        std::string n = info.param.name;
        return n.substr(n.find('.') + 1);
    });

// Amplitude of a sine of the given frequency in one channel of a stretch of stereo samples.
double Amplitude(const std::vector<float>& stereo, int channel, size_t from, size_t frames,
                 double hz) {
    double s = 0, c = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double w = 2 * M_PI * hz * static_cast<double>(from + i) / 44100.0;
        s += stereo[(from + i) * 2 + channel] * std::sin(w);
        c += stereo[(from + i) * 2 + channel] * std::cos(w);
    }
    return 2 * std::hypot(s, c) / static_cast<double>(frames);
}

TEST_F(Engine, TheEffectsAreInTheFile) {
    // 300 Hz and 8 kHz at 0.25 each, whole numbers of periods in every 0.1 s.
    const std::string song =
        Made("export-two-tones.wav",
             "-f lavfi -i \"aevalsrc=0.25*sin(2*PI*300*t)+0.25*sin(2*PI*8000*t)|"
             "0.25*sin(2*PI*300*t)+0.25*sin(2*PI*8000*t):s=44100:d=8\" "
             "-c:a pcm_s16le");
    const fs::path folder = Folder();
    ExportRequest r = Request(song, folder / "ring.m4r", 1, 5);
    r.effects.gainOn = true;
    r.effects.gainDb = -6;
    r.effects.fadeInOn = true;
    r.effects.fadeInSeconds = 1;
    r.effects.fadeOutOn = true;
    r.effects.fadeOutSeconds = 1;
    r.effects.lowPassOn = true;
    r.effects.lowCut = 1000;  // a tenth of Nyquist: 2205 Hz
    ExportJob job(r);
    RunToEnd(job);
    ASSERT_EQ(job.GetState(), ExportJob::State::Done) << job.Message();
    const std::vector<float> heard = DecodeStereo((folder / "ring.m4r").string());
    ASSERT_EQ(heard.size(), 4u * 44100 * 2);
    const size_t tenth = 4410;
    // In the middle: the low tone at -6 dB (and the cut-off's own slight lift), the high tone
    // cut by the low-pass.
    const double low = Amplitude(heard, 0, 2 * 44100, tenth, 300);
    const double high = Amplitude(heard, 0, 2 * 44100, tenth, 8000);
    EXPECT_NEAR(20 * std::log10(low / 0.25), -6.0, 0.5);
    EXPECT_LT(20 * std::log10(high / 0.25), -25.0);
    // The ramps: silent at the ends, half way up 0.5 s in and half way down 0.5 s before the
    // end.
    const double full = low;
    EXPECT_LT(Amplitude(heard, 0, 0, 441, 300), 0.06 * full);
    EXPECT_NEAR(Amplitude(heard, 0, 44100 / 2 - tenth / 2, tenth, 300) / full, 0.5, 0.05);
    EXPECT_NEAR(Amplitude(heard, 1, 7 * 44100 / 2 - tenth / 2, tenth, 300) / full, 0.5, 0.05);
    float tail = 0;
    for (size_t i = heard.size() - 2 * 44; i < heard.size(); ++i)
        tail = std::max(tail, std::fabs(heard[i]));
    EXPECT_LT(tail, 0.01f) << "the fade-out reaches silence at the end point";
}

// A stand-in for the encoder program: a shell script of the given body.
std::string Program(const std::string& name, const std::string& body) {
    const fs::path path = Scratch("export-program-" + name);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path.string();
}

TEST_F(Engine, FailuresAreReportedAndLeaveTheTargetAsItWasAndNothingElse) {
    const std::string song = ClickFile(44100, 2, ".wav", "-c:a pcm_s16le");
    const std::string faac = (fs::read_symlink("/proc/self/exe").parent_path() / "faac").string();
    struct Case {
        const char* what;
        std::string input;
        std::string encoder;
        bool outputFolderMissing;
        ExportFailure failure;
        const char* words;  // in the message
    };
    const Case cases[] = {
        {"the song is missing", "/no/such/song.mp3", kEncoderProgram, false,
         ExportFailure::SourceOpen, "Error creating stream!"},
        {"the encoder is missing", song, "/no/such/faac", false, ExportFailure::EncoderMissing,
         "was not found"},
        {"the encoder dies half way", song,
         Program("dies",
                 "head -c 100000 > /dev/null; echo 'faac: the disk is on fire' >&2; exit 1"),
         false, ExportFailure::EncoderFailed, "the disk is on fire"},
        {"the encoder writes nothing", song, Program("idle", "cat > /dev/null"), false,
         ExportFailure::Check, "did not pass its check"},
        {"the encoder writes a valid file of the wrong length", song,
         Program("short", "{ head -c 200000; cat > /dev/null; } | '" + faac + "' \"$@\""), false,
         ExportFailure::Check, "decodes to"},
        {"the output folder is missing", song, kEncoderProgram, true, ExportFailure::OutputFolder,
         "Cannot write to the folder"},
    };
    for (const Case& c : cases) {
        const fs::path folder = Folder();
        const fs::path target = folder / "ring.m4r";
        std::ofstream(target) << "the ringtone made last week";
        const fs::path output = c.outputFolderMissing ? folder / "gone" / "ring.m4r" : target;
        ExportRequest r = Request(c.input, output, 1, 5);
        r.encoder = c.encoder;
        ExportJob job(r);
        RunToEnd(job);
        EXPECT_EQ(job.GetState(), ExportJob::State::Failed) << c.what;
        EXPECT_EQ(job.Failure(), c.failure) << c.what << ": " << job.Message();
        EXPECT_NE(job.Message().find(c.words), std::string::npos)
            << c.what << ": " << job.Message();
        EXPECT_EQ(test::FileText(target), "the ringtone made last week") << c.what;
        EXPECT_EQ(test::FilesIn(folder), std::vector<std::string>{"ring.m4r"}) << c.what;
    }
}

TEST_F(Engine, AnExistingFileIsReplacedOnlyBySuccess) {
    const std::string song = ClickFile(44100, 2, ".wav", "-c:a pcm_s16le");
    const fs::path folder = Folder();
    std::ofstream(folder / "ring.m4r") << "old";
    ExportRequest r = Request(song, folder / "ring.m4r", 0, 2);
    r.tags = {true, "New \"one\"", "", "", "", ""};
    ExportJob job(r);
    RunToEnd(job);
    ASSERT_EQ(job.GetState(), ExportJob::State::Done) << job.Message();
    EXPECT_NE(test::FileText(folder / "ring.m4r"), "old");
    EXPECT_EQ(test::FilesIn(folder), std::vector<std::string>{"ring.m4r"});
}

TEST_F(Engine, ACancelledExportWritesNothingAtAnyStage) {
    const std::string song = ClickFile(44100, 2, ".wav", "-c:a pcm_s16le");
    // Cancelled while the song opens, while pulling, and while the encoder completes the file.
    using State = ExportJob::State;
    for (const State stage : {State::Opening, State::Pulling, State::Encoding}) {
        const fs::path folder = Folder();
        std::ofstream(folder / "ring.m4r") << "old";
        ExportJob job(Request(song, folder / "ring.m4r", 0, 5));
        ASSERT_TRUE(job.Start()) << job.Message();
        EXPECT_EQ(job.GetState(), State::Opening);
        while (job.GetState() != stage)
            ASSERT_TRUE(job.Step()) << job.Message();
        // Some way into the pulls.
        for (int i = 0; stage == State::Pulling && i < 200; ++i)
            ASSERT_TRUE(job.Step());
        const int blocks = static_cast<int>(stage);
        job.Cancel();
        EXPECT_EQ(job.Failure(), ExportFailure::Cancelled);
        EXPECT_FALSE(job.Step());
        EXPECT_EQ(test::FileText(folder / "ring.m4r"), "old") << blocks;
        EXPECT_EQ(test::FilesIn(folder), std::vector<std::string>{"ring.m4r"}) << blocks;
    }
}

TEST_F(Engine, TheSpanMustLieInTheSong) {
    const std::string song = ClickFile(44100, 2, ".wav", "-c:a pcm_s16le");
    const fs::path folder = Folder();
    for (const auto& [start, end] : {std::pair{1.0, 7.0}, {7.0, 8.0}, {3.0, 3.0}}) {
        ExportRequest r = Request(song, folder / "ring.m4r", start, end);
        r.checkSongLength = true;
        ExportJob job(r);
        RunToEnd(job);
        EXPECT_EQ(job.Failure(), ExportFailure::BadSpan) << start << " " << end;
        EXPECT_TRUE(test::FilesIn(folder).empty());
    }
    // The end of the song itself is a valid end point.
    ExportRequest r = Request(song, folder / "ring.m4r", 4, 6);
    r.checkSongLength = true;
    ExportJob job(r);
    RunToEnd(job);
    ASSERT_EQ(job.GetState(), ExportJob::State::Done) << job.Message();
    EXPECT_EQ(job.Facts().frames, 2 * 44100);
}

}  // namespace
}  // namespace chime::test
