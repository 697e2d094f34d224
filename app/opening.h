#pragma once
// Opening a song off the window's thread: its exact length can take a scan of the whole file,
// or for some kinds a whole decode, and the window must stay alive meanwhile. The playing stream
// comes first, so the song plays while the waveform's own stream is still being opened. Plain
// C++.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "formats.h"

namespace chime {

// A stream that an opening made, or 0 with the engine's error code.
struct OpenedStream {
    HSTREAM handle = 0;
    int error = BASS_OK;
};

class SongOpener {
  public:
    SongOpener() = default;
    // Waits for any opening under way and frees what it made.
    ~SongOpener();
    SongOpener(const SongOpener&) = delete;
    SongOpener& operator=(const SongOpener&) = delete;

    // UI thread. Starts opening path with create: first the playing stream (with its exact
    // length), then, if that opened, the decode-only one for the waveform's scan. Returns the
    // opening's ticket. An earlier opening is superseded: what it made and nobody took is
    // freed.
    uint64_t Start(const std::string& path, CreateFn* create);
    // UI thread. The playing stream of the latest opening once it is made, if ticket names that
    // opening; the caller's from then on.
    std::optional<OpenedStream> TakePreview(uint64_t ticket);
    // UI thread. The same for the scan's stream, which is made after the playing one.
    std::optional<OpenedStream> TakeScan(uint64_t ticket);
    // UI thread. Supersedes every opening and waits for them all to end.
    void Stop();

  private:
    void Run(uint64_t ticket, std::string path, CreateFn* create);
    // Keeps what an opening made when it is still the latest one; false when it is not (the
    // caller frees it then).
    bool Keep(uint64_t ticket, std::optional<OpenedStream>& slot, const OpenedStream& made);
    void DropUntaken();  // with mutex_ held
    void JoinEnded();

    std::mutex mutex_;  // guards the fields below
    uint64_t latest_ = 0;
    std::optional<OpenedStream> preview_;  // made and not yet taken
    std::optional<OpenedStream> scan_;
    std::vector<std::thread::id> ended_;
    std::vector<std::thread> threads_;  // UI thread only
};

}  // namespace chime
