#pragma once
// One export: a span of a song through a decoding mixer, the effects and the encoder program
// into a ringtone file, read back and checked before it takes the target's place.
//
// The job is driven by one thread (the window's UI thread, or the command line's), one step at
// a time, so that the driver can let other work run between blocks; Progress may be read from
// any thread. Nothing here touches a window.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "check.h"
#include "command.h"
#include "effects.h"
#include "engine.h"

namespace chime {

// Everything the export needs, taken whole when it starts: nothing done later to the window or
// the preview changes it.
struct ExportRequest {
    std::string input;
    std::string output;
    double startSeconds = 0;  // the span of the song, in seconds
    double endSeconds = 0;
    EffectSettings effects;
    TagFields tags;
    std::string encoder = kEncoderProgram;
    // Measure the song's exact length first and refuse an end past it (the window's boxes
    // cannot go there; the command line can).
    bool checkSongLength = false;
};

enum class ExportFailure {
    None,
    SourceOpen,      // the song cannot be opened for the export
    BadSpan,         // the start is not before the end, or the end lies past the song
    EncoderMissing,  // the encoder program is not there
    EncoderFailed,   // it could not be started, or it ended with an error
    OutputFolder,    // the output cannot be written where it is to go
    GetData,         // the mixer failed to deliver data
    SongEndedEarly,  // the song ended before the end point
    Check,           // the finished file is not what was asked for
    Cancelled,
};

class ExportJob {
  public:
    enum class State { Idle, Opening, Pulling, Encoding, Checking, Done, Failed };

    explicit ExportJob(ExportRequest request);
    // A job that has not ended is cancelled: nothing is written and nothing left behind.
    ~ExportJob();
    ExportJob(const ExportJob&) = delete;
    ExportJob& operator=(const ExportJob&) = delete;

    // Driving thread. Starts opening the song (on a thread of the job's own: for some kinds it
    // takes a whole decode); false when the request itself is refused.
    bool Start();
    // Driving thread. Does the next piece of work: waits up to waitMs for the song to open and
    // then sets up the mixer and the encoder, pulls one block of 1024 bytes, or waits up to
    // waitMs for the encoder to complete the file or for the check of it. False once the job has
    // ended (Done or Failed).
    bool Step(int waitMs = 10);
    // Driving thread, between steps. Stops the job at once: the encoder is aborted, the
    // temporary file removed, an existing file of the target's name left as it was.
    void Cancel();

    State GetState() const { return state_; }
    bool Ended() const { return state_ == State::Done || state_ == State::Failed; }
    // Any thread: 0..100, how far the song has been read through the span.
    int Progress() const { return progress_.load(std::memory_order_relaxed); }
    ExportFailure Failure() const { return failure_; }
    // The failure in words for the user.
    const std::string& Message() const { return message_; }
    // The facts of the finished file, once Done.
    const RingtoneFacts& Facts() const { return facts_; }
    // The sample frames of 44.1 kHz output that the span makes.
    int64_t SpanFrames() const { return spanBytes_ / 4; }

    // Sync routine on the song (user value: the job), in the thread that pulls the mixer: the
    // song has reached the fade-out's point.
    static void ExportFadeOutSyncProc(HSYNC handle, DWORD channel, DWORD data, void* user);

  private:
    bool Fail(ExportFailure failure, std::string message);
    void OpenInBackground();
    bool WaitForSource(int waitMs);
    // The rest of the start once the song is open: the mixer, the encoder, the effects.
    bool SetUp();
    bool OpenSource();
    bool ReserveTemporary();
    bool StartEncoder();
    bool PullBlock();
    bool WaitForEncoder(int waitMs);
    bool WaitForCheck(int waitMs);
    // Frees the chain, aborting the encoder first unless it completed; removes the temporary
    // file (unless kept for the check, or renamed into place already).
    void Release(bool abortEncoder, bool keepTemporary = false);
    void JoinOpening();
    void JoinCheck();

    ExportRequest request_;
    State state_ = State::Idle;
    ExportFailure failure_ = ExportFailure::None;
    std::string message_;
    std::atomic<int> progress_{0};

    EffectChain chain_;  // outlives the mixer, whose routines point to it
    HSTREAM ExportSource = 0;
    HSTREAM ExportMixer = 0;
    HENCODE EncoderHandle = 0;
    int64_t start_ = 0;  // byte positions in the song's own format
    int64_t end_ = 0;
    int64_t spanBytes_ = 0;  // bytes of mixer output that the span makes
    int64_t pulled_ = 0;
    std::string temporary_;  // the file the encoder writes, beside the target

    std::thread opening_;
    std::atomic<bool> opened_{false};
    HSTREAM openedSource_ = 0;  // the opening thread's, until opened_
    int openError_ = BASS_OK;
    std::thread check_;
    std::atomic<bool> checkDone_{false};
    std::atomic<bool> stopCheck_{false};
    bool checkOk_ = false;
    std::string checkError_;
    RingtoneFacts facts_;
};

}  // namespace chime
