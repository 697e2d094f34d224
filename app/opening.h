#pragma once
// Opening a song off the window's thread: its exact length can take a scan of the whole file,
// or for some kinds a whole decode, and the window must stay alive meanwhile. Plain C++.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "formats.h"

namespace chime {

// What an opening made: the playing stream and the decode-only one for the waveform's scan
// (0 where it failed, with the engine's error code of the first failure).
struct OpenedSong {
    HSTREAM preview = 0;
    HSTREAM scan = 0;
    int error = BASS_OK;
};

class SongOpener {
  public:
    SongOpener() = default;
    // Waits for any opening under way and frees what it made.
    ~SongOpener();
    SongOpener(const SongOpener&) = delete;
    SongOpener& operator=(const SongOpener&) = delete;

    // UI thread. Starts opening path with create; returns its ticket. An earlier opening that
    // has not been taken is superseded: what it made is freed when it ends.
    uint64_t Start(const std::string& path, CreateFn* create);
    // UI thread. The result of the latest opening, once it has ended, if ticket names it; it is
    // the caller's from then on.
    std::optional<OpenedSong> Take(uint64_t ticket);
    // UI thread. Whether the latest opening is still under way.
    bool Busy() const;
    // UI thread. Supersedes every opening and waits for them all to end.
    void Stop();

  private:
    void Run(uint64_t ticket, std::string path, CreateFn* create);
    void JoinEnded();

    mutable std::mutex mutex_;          // guards the fields below
    uint64_t latest_ = 0;               // the ticket whose result is wanted; 0 for none
    std::optional<OpenedSong> result_;  // the latest's, once it has ended
    std::vector<std::thread> threads_;  // UI thread only
    std::vector<std::thread::id> ended_;
};

}  // namespace chime
