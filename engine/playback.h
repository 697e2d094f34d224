#pragma once
// Output of a playing channel: a ring of decoded bytes filled by the engine's playback thread
// and emptied by the device (PortAudio's callback, or the silent device's clock).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

#include "channel.h"

typedef void PaStream;

namespace chime {

enum class PlayState : int { Stopped = 0, Playing = 1, Paused = 3 };

class Playback {
  public:
    // Opens the output for channel; falls back to the silent device when no device opens.
    // Playback thread or caller of BASS_ChannelPlay, with the channel's mutex held.
    Playback(Channel& channel, bool silent);
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    bool Silent() const { return pa_ == nullptr; }
    PlayState State() const { return state_.load(std::memory_order_acquire); }
    void SetState(PlayState state);

    // The rest runs with the channel's mutex held.

    // Tops the ring up from the channel and moves the silent device on; returns the syncs that
    // are now due (to be called without the mutex) and whether playback has ended.
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
    DWORD Level(const Channel& channel);

  private:
    friend struct DeviceCallback;
    // Device thread: fills out with frames frames of the device's format. Takes no lock and
    // allocates nothing.
    void CopyOut(uint8_t* out, int64_t frames);
    // Device thread: up to bytes bytes that can be read now, beginning at *from. They stay the
    // reader's until Release moves the read index past them, after they have been copied out.
    int64_t Reserve(int64_t bytes, int64_t* from) const;
    void Release(int64_t to);
    // Moves the read index on by up to bytes without reading them; returns the bytes passed.
    int64_t Consume(int64_t bytes);
    int64_t HeardIndex() const;

    const int frameBytes_;
    const int rate_;
    const int channels_;
    const bool isFloat_;
    int deviceChannels_ = 0;
    PaStream* pa_ = nullptr;
    int64_t latencyBytes_ = 0;

    // Ring of bytes; indices count bytes written and read since the start and never wrap.
    std::vector<uint8_t> ring_;
    int64_t target_ = 0;                  // bytes kept buffered ahead of the device
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

}  // namespace chime
