#pragma once
// Playback: the output of each playing channel (a ring of decoded bytes that the playback
// thread fills and the device empties) and the engine's output as a whole (the device chosen at
// BASS_Init and the playback thread that feeds every playing channel).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "channel.h"

typedef void PaStream;

namespace chime {

enum class PlayState : int { Stopped = 0, Playing = 1, Paused = 3 };

// Where playing channels are heard: a sound card through PortAudio, the silent device that the
// playback thread moves on by the clock, or the test device whose clock a test moves.
enum class DeviceKind { Card, Silent, Test };

class Playback {
  public:
    // Opens the output for channel on the device; a card that cannot be opened gives the silent
    // device. Playback thread or caller of BASS_ChannelPlay, with the channel's lock held.
    Playback(Channel& channel, DeviceKind device);
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    PlayState State() const { return state_.load(std::memory_order_acquire); }
    void SetState(PlayState state);

    // The rest runs with the channel's lock held, but for the device's calls below.

    // Tops the ring up from the channel and moves the silent device on; returns the syncs that
    // are now due (to be called without the lock) and whether playback has ended.
    struct Service {
        std::vector<DeferredSync> due;
        bool finished = false;
    };
    Service Run(Channel& channel);
    // The position being heard.
    int64_t HeardPosition(const Channel& channel);
    // Drops what is buffered; playback goes on from pos.
    void Flush(int64_t pos);
    // Peaks of the last 20 ms heard.
    DWORD Level();

    // Device thread: fills out with frames frames of the device's format. Takes no lock and
    // allocates nothing.
    void CopyOut(uint8_t* out, int64_t frames);
    // The bytes of one frame as the device takes it.
    int DeviceFrameBytes() const { return frameBytes_ / channels_ * deviceChannels_; }

  private:
    // Device thread: up to bytes bytes that can be read now, beginning at *from. They stay the
    // reader's until Release moves the read index past them, after they have been copied out.
    int64_t Reserve(int64_t bytes, int64_t* from) const;
    void Release(int64_t to);
    // Moves the read index on by up to bytes without reading them; returns the bytes passed.
    // The silent device only, which has no thread of its own.
    int64_t Consume(int64_t bytes);
    int64_t HeardIndex() const;

    const int frameBytes_;
    const int rate_;
    const int channels_;
    const bool isFloat_;
    DeviceKind device_;
    int deviceChannels_;
    PaStream* pa_ = nullptr;
    int64_t latencyBytes_ = 0;

    // Ring of bytes; indices count bytes written and read since the start and never wrap.
    std::vector<uint8_t> ring_;
    int64_t target_ = 0;                  // bytes kept buffered ahead of the device
    int64_t chunk_ = 0;                   // the most one refill step makes
    std::atomic<int64_t> writeIndex_{0};  // written by the playback thread
    std::atomic<int64_t> readIndex_{0};   // written by the device
    std::atomic<int64_t> skipTo_{0};      // the device jumps its read index here (a flush)
    std::atomic<PlayState> state_{PlayState::Stopped};

    std::deque<std::pair<int64_t, int64_t>> marks_;         // ring index, stream position
    std::deque<std::pair<int64_t, DeferredSync>> pending_;  // ring index, sync due there
    bool decodeEnded_ = false;
    std::vector<uint8_t> scratch_;
    std::chrono::steady_clock::time_point lastTick_{};
    double silentCarry_ = 0;
};

// The engine's output: the device that BASS_Init chose and the playback thread. Never
// destroyed: a call at exit still finds it.
class Output {
  public:
    // Callers' threads. BASS_OK or the engine's error.
    int Init(int device);
    // Stops and joins the playback thread (let go of when called from it); false when the
    // output was not started.
    bool Stop();
    // Closes the device once every channel has been freed.
    void Close();
    // The device, or nothing before BASS_Init.
    std::optional<DeviceKind> Device() const;
    // Lists a channel that has begun to play, for the playback thread, and wakes it.
    void Add(const std::shared_ptr<Channel>& channel);
    // The test device's clock moved on (BASS_TestDeviceAdvance). BASS_OK or the engine's
    // error.
    int Advance(int64_t milliseconds, int64_t periodMilliseconds, bool ownPace);

  private:
    void Run();
    // Asks the playback thread for a round and waits until one that began after the request
    // is done.
    void Round();
    // Waits, synchronising with nothing, until the playback thread has made a round of its own.
    void AwaitOwnRound();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable roundDone_;
    bool initialized_ = false;
    bool portAudio_ = false;
    DeviceKind device_ = DeviceKind::Silent;
    std::atomic<bool> running_{false};
    bool roundAsked_ = false;
    // Rounds of the playback thread begun and done, written under mutex_; the test device's
    // own-pace advance reads them relaxed so that it orders nothing.
    std::atomic<uint64_t> roundsBegun_{0};
    std::atomic<uint64_t> roundsDone_{0};
    std::thread thread_;
    std::vector<std::weak_ptr<Channel>> played_;
};

Output& TheOutput();

}  // namespace chime
