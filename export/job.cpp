#include "job.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "formats.h"

namespace chime {
namespace fs = std::filesystem;

namespace {

std::string Seconds(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

// The folder a path lies in, "." for a bare name.
fs::path FolderOf(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

}  // namespace

ExportJob::ExportJob(ExportRequest request) : request_(std::move(request)) {}

ExportJob::~ExportJob() {
    if (!Ended() && state_ != State::Idle) Cancel();
    JoinOpening();
    JoinCheck();
    Release(true);
}

bool ExportJob::Fail(ExportFailure failure, std::string message) {
    failure_ = failure;
    message_ = std::move(message);
    state_ = State::Failed;
    return false;
}

void ExportJob::OpenInBackground() {
    const std::string& input = request_.input;
    CreateFn* create = ExportCreateFor(ExtensionOf(input));
    // Float samples: the mixer and the effects work on the song's full resolution.
    DWORD flags = BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;
    if (request_.checkSongLength) flags |= BASS_STREAM_PRESCAN;
    // Opening can take a while (some kinds are decoded whole to know where their samples lie):
    // the driving thread goes on meanwhile.
    opening_ = std::thread([this, create, flags, input] {
        openedSource_ = create(FALSE, input.c_str(), 0, 0, flags);
        openError_ = openedSource_ == 0 ? BASS_ErrorGetCode() : BASS_OK;
        opened_.store(true, std::memory_order_release);  // orders the two results above
    });
}

bool ExportJob::OpenSource() {
    const std::string& input = request_.input;
    ExportSource = openedSource_;
    if (ExportSource == 0) {
        return Fail(ExportFailure::SourceOpen, "Error creating stream!\n" + input + ": " +
                                                   OpenFailureReason(input, openError_) + ".");
    }
    start_ = BASS_ChannelSeconds2Bytes(ExportSource, request_.startSeconds);
    end_ = BASS_ChannelSeconds2Bytes(ExportSource, request_.endSeconds);
    if (start_ < 0 || end_ <= start_) {
        return Fail(ExportFailure::BadSpan, "The start (" + Seconds(request_.startSeconds) +
                                                ") is not before the end (" +
                                                Seconds(request_.endSeconds) + ").");
    }
    if (request_.checkSongLength) {
        const QWORD length = BASS_ChannelGetLength(ExportSource, BASS_POS_BYTE);
        if (length >= 0 && end_ > length) {
            return Fail(ExportFailure::BadSpan,
                        "The end (" + Seconds(request_.endSeconds) +
                            ") lies past the song's end (" +
                            Seconds(BASS_ChannelBytes2Seconds(ExportSource, length)) + ").");
        }
    }
    return true;
}

bool ExportJob::ReserveTemporary() {
    const std::string& output = request_.output;
    std::error_code ec;
    if (output.empty() || output.back() == '/' || fs::is_directory(output, ec)) {
        return Fail(ExportFailure::OutputFolder,
                    "Cannot save the ringtone as \"" + output + "\": that is a folder.");
    }
    // The encoder writes a file of our own beside the target, in the same folder so that the
    // final rename replaces the target in one step; the target itself is untouched until then.
    const fs::path folder = FolderOf(output);
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".chimewright-%06x.m4r",
                      static_cast<unsigned>(random() & 0xFFFFFF));
        const std::string path = (folder / name).string();
        const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            temporary_ = path;
            return true;
        }
        if (errno != EEXIST) {
            return Fail(ExportFailure::OutputFolder, "Cannot write to the folder \"" +
                                                         folder.string() +
                                                         "\": " + std::strerror(errno) + ".");
        }
    }
    return Fail(ExportFailure::OutputFolder,
                "Cannot write to the folder \"" + folder.string() + "\": no free file name.");
}

bool ExportJob::StartEncoder() {
    const std::string command = BuildEncoderCommand(temporary_, request_.tags, request_.encoder);
    // The span's exact length, announced to the encoder, lets it work while the data arrives.
    EncoderHandle = BASS_Encode_StartLimit(ExportMixer, command.c_str(), BASS_ENCODE_FP_16BIT,
                                           nullptr, nullptr, spanBytes_);
    if (EncoderHandle != 0) return true;
    if (BASS_ErrorGetCode() == BASS_ERROR_FILEOPEN) {
        return Fail(ExportFailure::EncoderMissing,
                    "The encoder program \"" + request_.encoder +
                        "\" was not found beside Chimewright or on the PATH, so no ringtone can "
                        "be made. Reinstall Chimewright.");
    }
    return Fail(ExportFailure::EncoderFailed,
                "The encoder program \"" + request_.encoder + "\" could not be started.");
}

bool ExportJob::Start() {
    if (state_ != State::Idle) return !Ended();
    if (!(request_.startSeconds >= 0) || !(request_.endSeconds > request_.startSeconds)) {
        return Fail(ExportFailure::BadSpan, "The start (" + Seconds(request_.startSeconds) +
                                                ") is not before the end (" +
                                                Seconds(request_.endSeconds) + ").");
    }
    OpenInBackground();
    state_ = State::Opening;
    return true;
}

bool ExportJob::WaitForSource(int waitMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!opened_.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() >= until) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    JoinOpening();
    return SetUp();
}

bool ExportJob::SetUp() {
    if (!OpenSource() || !ReserveTemporary()) {
        Release(true);
        return false;
    }
    chain_.SetFormat({16, 44100, 2});
    chain_.SetSettings(request_.effects);
    ExportMixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_MIXER_END);
    if (ExportMixer == 0 ||
        !BASS_Mixer_StreamAddChannel(ExportMixer, ExportSource,
                                     BASS_MIXER_DOWNMIX | BASS_STREAM_AUTOFREE)) {
        Fail(ExportFailure::SourceOpen,
             "Error creating stream!\n" + request_.input + ": its sound cannot be converted.");
        Release(true);
        return false;
    }
    if (!BASS_ChannelSetPosition(ExportSource, start_, BASS_POS_BYTE)) {
        Fail(ExportFailure::BadSpan,
             "The start (" + Seconds(request_.startSeconds) + ") lies past the song's end.");
        Release(true);
        return false;
    }
    // The span is counted in the mixer's output, where the song's end point comes out: the
    // ringtone holds exactly the span, whatever the song's rate.
    spanBytes_ = BASS_Mixer_ChannelGetMixerPosition(ExportSource, end_);
    if (request_.effects.fadeOutOn) {
        const QWORD fade = BASS_ChannelSeconds2Bytes(ExportSource, request_.effects.fadeOutSeconds);
        // A fade-out longer than the span puts its point before the start, never reached.
        BASS_ChannelSetSync(ExportSource, BASS_SYNC_MIXTIME | BASS_SYNC_POS, end_ - fade,
                            ExportFadeOutSyncProc, this);
    }
    if (!StartEncoder()) {
        Release(true);
        return false;
    }
    // After the encoder: it takes the data after every routine of the mixer all the same.
    AttachExportEffects(chain_, ExportMixer);
    chain_.SetEndPosition(spanBytes_);
    state_ = State::Pulling;
    return true;
}

void ExportJob::ExportFadeOutSyncProc(HSYNC, DWORD, DWORD, void* user) {
    auto* job = static_cast<ExportJob*>(user);
    AttachExportFade(job->chain_, job->ExportMixer, false);
}

bool ExportJob::PullBlock() {
    uint8_t buffer[1024];
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(sizeof buffer, spanBytes_ - pulled_));
    const DWORD got = BASS_ChannelGetData(ExportMixer, buffer, want);
    if (got == 0xFFFFFFFF) {
        Fail(ExportFailure::GetData, "Error Get Data!");
        Release(true);
        return false;
    }
    if (got == 0) {
        Fail(ExportFailure::SongEndedEarly,
             "The song ends at " +
                 Seconds(request_.startSeconds + static_cast<double>(pulled_) / (44100.0 * 4)) +
                 ", before the end point (" + Seconds(request_.endSeconds) + ").");
        Release(true);
        return false;
    }
    pulled_ += got;
    const QWORD position = BASS_ChannelGetPosition(ExportSource, BASS_POS_BYTE);
    const double part = static_cast<double>((position - start_) * 100) / (end_ - start_);
    progress_.store(std::clamp(static_cast<int>(std::trunc(part)), 0, 100),
                    std::memory_order_relaxed);
    if (BASS_Encode_IsActive(EncoderHandle) != BASS_ACTIVE_PLAYING) {
        // It died or stopped taking data before the end: its words say why, complete once it
        // has ended. One that still runs gets a moment, then is stopped.
        BASS_Encode_Finish(EncoderHandle);
        BASS_ENCODE_RESULT result{};
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (BASS_Encode_GetResult(EncoderHandle, &result) && result.running &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (result.running) {
            BASS_Encode_Abort(EncoderHandle);
            BASS_Encode_GetResult(EncoderHandle, &result);
        }
        Fail(ExportFailure::EncoderFailed,
             std::string("The encoder stopped before the end of the ringtone: ") +
                 (result.message[0] ? result.message : "no reason given") + ".");
        Release(true);
        return false;
    }
    if (pulled_ == spanBytes_) {
        progress_.store(100, std::memory_order_relaxed);
        // The encoder now completes the file; the window goes on meanwhile.
        BASS_Encode_Finish(EncoderHandle);
        state_ = State::Encoding;
    }
    return true;
}

bool ExportJob::WaitForEncoder(int waitMs) {
    BASS_ENCODE_RESULT result{};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (BASS_Encode_GetResult(EncoderHandle, &result) && result.running &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (result.running) return true;
    // Read before the mixer is freed: the engine lets go of the result with it.
    const bool ok = result.exited && result.exitcode == 0 && !result.writefailed;
    Release(false, ok);
    if (!ok) {
        std::string words = result.message;
        if (words.empty()) {
            words = result.exited ? "it ended with exit code " + std::to_string(result.exitcode)
                                  : "it ended abnormally";
        }
        return Fail(ExportFailure::EncoderFailed, "The encoder failed: " + words + ".");
    }
    state_ = State::Checking;
    check_ = std::thread([this] {
        checkOk_ = ReadRingtone(temporary_, facts_, checkError_, &stopCheck_);
        checkDone_.store(true, std::memory_order_release);  // orders the results above
    });
    return true;
}

bool ExportJob::WaitForCheck(int waitMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!checkDone_.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() >= until) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    JoinCheck();
    std::string why = checkError_;
    if (!checkOk_ || !IsExpectedRingtone(facts_, SpanFrames(), why)) {
        Release(true);
        return Fail(ExportFailure::Check, "The finished ringtone did not pass its check (" + why +
                                              "); nothing was saved.");
    }
    std::error_code ec;
    fs::rename(temporary_, request_.output, ec);
    if (ec) {
        Release(true);
        return Fail(ExportFailure::OutputFolder, "Cannot save the ringtone as \"" +
                                                     request_.output + "\": " + ec.message() + ".");
    }
    temporary_.clear();
    state_ = State::Done;
    return false;
}

bool ExportJob::Step(int waitMs) {
    switch (state_) {
        case State::Opening:
            return WaitForSource(waitMs);
        case State::Pulling:
            return PullBlock();
        case State::Encoding:
            return WaitForEncoder(waitMs);
        case State::Checking:
            return WaitForCheck(waitMs);
        case State::Idle:
        case State::Done:
        case State::Failed:
            break;
    }
    return false;
}

void ExportJob::Cancel() {
    if (Ended()) return;
    JoinOpening();
    JoinCheck();
    Release(true);
    Fail(ExportFailure::Cancelled, "The export was cancelled; nothing was saved.");
}

void ExportJob::JoinOpening() {
    if (!opening_.joinable()) return;
    opening_.join();
    // A source opened for a job that is being cancelled is the job's to free.
    if (ExportSource == 0 && ExportMixer == 0) ExportSource = openedSource_;
}

void ExportJob::JoinCheck() {
    stopCheck_.store(true, std::memory_order_relaxed);
    if (check_.joinable()) check_.join();
}

void ExportJob::Release(bool abortEncoder, bool keepTemporary) {
    if (EncoderHandle != 0 && abortEncoder) BASS_Encode_Abort(EncoderHandle);
    EncoderHandle = 0;
    if (ExportMixer != 0) {
        BASS_StreamFree(ExportMixer);  // and the song with it, once added
        ExportMixer = 0;
    }
    if (ExportSource != 0) {
        BASS_StreamFree(ExportSource);  // fails without effect when the mixer took it
        ExportSource = 0;
    }
    if (temporary_.empty() || keepTemporary) return;
    // The encoder's own part files beside ours, left when it had to be killed.
    std::error_code ec;
    const fs::path folder = FolderOf(temporary_);
    const std::string prefix = fs::path(temporary_).filename().string() + ".part-";
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) fs::remove(entry.path(), ec);
    }
    fs::remove(temporary_, ec);
    temporary_.clear();
}

}  // namespace chime
