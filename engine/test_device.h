#pragma once
// The test device: a sound card for tests whose clock moves only when a test says so. Its own
// thread calls each open output's callback for the frames that the time given stands for, as a
// card's driver would, so transport tests advance time instead of sleeping and the device path
// runs under ThreadSanitizer as it does with a card.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace chime {

class Playback;

class TestDevice {
  public:
    // Never destroyed: an output closed by a late caller at exit still finds it.
    static TestDevice& Instance();

    // Starts and stops the device's thread (BASS_Init and BASS_Free).
    void Start();
    void Stop();

    // An output that the device calls back from now on, at its own rate. Close waits for a
    // callback under way. Called with the output's channel lock held.
    void Open(Playback* output, int rate);
    void Close(Playback* output);

    // Moves the clock on by microseconds: the device's thread calls every open output for its
    // share, then this returns. Not from the device's thread.
    void Tick(int64_t microseconds);

  private:
    TestDevice() = default;
    void Run();

    struct Output {
        Playback* playback;
        int rate;
        int64_t owed;  // rate times microseconds not yet given as a whole frame
    };

    std::mutex mutex_;  // held around the callbacks
    std::condition_variable asked_;
    std::condition_variable done_;
    std::vector<Output> outputs_;
    std::vector<uint8_t> buffer_;  // what the device "plays"; only its thread writes it
    int64_t tickMicroseconds_ = 0;
    uint64_t ticksAsked_ = 0;
    uint64_t ticksDone_ = 0;
    bool running_ = false;
    std::thread thread_;
};

}  // namespace chime
