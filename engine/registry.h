#pragma once
// The engine's table of handles: every channel by its handle, the encoders, the issuing of new
// handles, and freeing a channel with everything that goes with it.

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "channel.h"
#include "encoder.h"

namespace chime {

// Every member is free-threaded. The table's lock is taken last: a channel's lock may be held
// while it is taken, never the reverse.
class Registry {
  public:
    // Handles count up and are not issued again until the 32-bit count wraps.
    DWORD NewHandle();
    std::shared_ptr<Channel> Find(DWORD handle) const;
    // Opens a file as a stream and lists it: its handle, or 0 with error set.
    HSTREAM OpenStream(const std::string& path, DWORD flags, int& error);
    // Lists a new mixer: its handle.
    HSTREAM AddMixer(int rate, int channels, DWORD flags);

    // Takes the handle out of the table and frees the channel: its encoders stop, no routine of
    // it runs again, its output closes, and a mixer's auto-free sources are freed with it.
    // False when the handle is not in the table.
    bool Free(DWORD handle);
    // Frees every channel and lets go of every encoder (BASS_Free).
    void FreeAll();

    EncoderTable& Encoders() { return encoders_; }
    // Starts an encoder on the channel: its handle, or 0 with error set.
    HENCODE StartEncoder(Channel& channel, const char* commandLine, DWORD flags, int64_t limit,
                         int& error);
    // Ends the encoder of handle, or every encoder of the channel of handle; false when there
    // is none.
    bool EndEncoders(DWORD handle, EncoderEnd how);

  private:
    void FreeChannel(const std::shared_ptr<Channel>& channel);

    mutable std::mutex mutex_;
    std::unordered_map<DWORD, std::shared_ptr<Channel>> channels_;
    DWORD lastHandle_ = 0;
    EncoderTable encoders_;
};

// Never destroyed: a stream freed by a late caller at exit must still find the table.
Registry& TheRegistry();

}  // namespace chime
