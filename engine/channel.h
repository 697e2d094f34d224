#pragma once
// A channel: a source of sample data with its syncs and DSP routines, pulled directly when it is
// a decoding channel, or fed to an output by the engine's playback thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decoder.h"
#include "engine.h"

namespace chime {

class Playback;
enum class DeviceKind;

struct SyncEntry {
    HSYNC handle;
    DWORD type;
    int64_t pos;  // byte position, frame-aligned; unused for end syncs
    SYNCPROC* proc;
    void* user;
};

struct DspEntry {
    HDSP handle;
    DSPPROC* proc;
    void* user;
    int priority;
    int64_t from;   // the first byte position of the channel's output the routine processes
    int64_t start;  // the same, kept after the routine has started
    std::atomic<bool> removed{false};
};

// A sync that is due when the output reaches offset bytes into the block a pull delivered.
struct DeferredSync {
    int64_t offset;
    HSYNC handle;
    SYNCPROC* proc;
    void* user;
    DWORD data;
};

// Where a pulled block's bytes came from: bytes from offset on continue the stream at pos.
struct PositionMark {
    int64_t offset;
    int64_t pos;
};

// What a pull reports besides the bytes, for a channel that is being played.
struct PullReport {
    std::vector<PositionMark> marks;
    std::vector<DeferredSync> deferred;
    bool ended = false;
};

class Channel : public std::enable_shared_from_this<Channel> {
  public:
    Channel(DWORD handle, DWORD flags, int rate, int channels);
    virtual ~Channel();

    DWORD Handle() const { return handle_; }
    DWORD Flags() const { return flags_; }
    int Rate() const { return rate_; }
    int Channels() const { return channels_; }
    bool IsFloat() const { return (flags_ & BASS_SAMPLE_FLOAT) != 0; }
    bool IsDecoding() const { return (flags_ & BASS_STREAM_DECODE) != 0; }
    int FrameBytes() const { return channels_ * (IsFloat() ? 4 : 2); }
    virtual const char* FileName() const { return nullptr; }
    virtual int SourceBits() const { return 0; }
    // Exact: bytes divided by the bytes of one second.
    double BytesToSeconds(int64_t bytes) const;
    // Whole frames, rounded down; -1 for a time that is not a time.
    int64_t SecondsToBytes(double seconds) const;

    // Everything below is called with mutex() held, but for ServicePlayback.
    std::recursive_mutex& mutex() { return mutex_; }

    BASS_CHANNELINFO Info() const;
    // The transport of a channel that is played (not decoding); each returns BASS_OK or the
    // engine's error. Play opens the output on device when there is none yet.
    int Play(bool restart, DeviceKind device);
    int Pause();
    // Back to where the position was heard; what was buffered but not heard is decoded again
    // when play resumes. A decoding channel stops delivering until it is moved.
    void Stop();
    // A seek from outside the channel's routines drops what is buffered so that it is heard at
    // once; one from its own sync or DSP routine continues the data being decoded (a seamless
    // loop). Past the end it fails and changes nothing.
    int MoveTo(int64_t pos);
    // For a playing channel the position being heard, else the decoding position.
    int64_t Position();
    DWORD ActiveState();
    // Peaks of the last 20 ms heard, or for a decoding channel of the next 20 ms, which it
    // consumes; all bits set with error set when there is nothing to measure.
    DWORD Level(int& error);
    // Pulls from a decoding channel as a caller does; -1 with error set when it cannot.
    int64_t Read(uint8_t* out, int64_t bytes, int& error);
    // Playback thread, without the lock: one round of the channel's output (refill, the syncs
    // now heard). True when an auto-free channel has played to its end and is to be freed.
    bool ServicePlayback();

    // Total length in bytes (exact where the channel knows it), -1 when unknown.
    virtual int64_t LengthBytes() = 0;
    // Position of the next byte that a pull delivers.
    int64_t DecodePosition() const { return decodePos_; }
    // True when a pull would deliver nothing more.
    virtual bool AtEnd() = 0;

    // Pulls up to bytes bytes (whole frames), running syncs and DSP routines; returns the bytes
    // delivered. report is given for a played channel.
    int64_t Pull(uint8_t* out, int64_t bytes, PullReport* report);
    // Moves the decoding position; fails and changes nothing past the end.
    bool SetPosition(int64_t pos);
    bool PulledOnThisThread() const;
    // Bytes from the position to the nearest position sync beyond it, -1 when there is none.
    int64_t BytesToNextSync() const;

    HSYNC AddSync(HSYNC handle, DWORD type, int64_t pos, SYNCPROC* proc, void* user);
    bool RemoveSync(HSYNC handle);
    // Whether a sync that was queued to run when heard is still to run (a one-time one is
    // taken off now).
    bool TakeHeardSync(HSYNC handle);
    void AddDsp(HDSP handle, DSPPROC* proc, void* user, int priority);
    bool RemoveDsp(HDSP handle);
    // Where the routine acts from, -1 when it is not here.
    int64_t DspStart(HDSP handle) const;

    // Playback state: the output that plays this channel, or null.
    std::unique_ptr<Playback>& playback() { return playback_; }
    bool Stopped() const { return stopped_; }
    // The mixer this channel is a source of, or 0.
    DWORD MixerHandle() const { return mixerHandle_; }
    void SetMixerHandle(DWORD mixer) { mixerHandle_ = mixer; }
    void SetStopped(bool stopped) { stopped_ = stopped; }
    // Where a DSP routine set now starts to act: the next byte delivered, or for a mixer inside
    // a source's sync, the mixer position that corresponds to the sync.
    virtual int64_t DspStartPosition() { return decodePos_; }

    // Called when the handle is freed: no further pulls deliver anything, no routine runs
    // again and the output closes. Returns the channels to be freed with it.
    std::vector<std::shared_ptr<Channel>> Free();
    bool Released() const { return released_; }

  protected:
    virtual void Release();
    // The channels freed with this one (a mixer's auto-free sources).
    virtual std::vector<std::shared_ptr<Channel>> AutoFreeSources() const { return {}; }
    // Delivers up to bytes bytes of raw data from the current position (frame-aligned) and
    // advances decodePos_; fewer at the end.
    virtual int64_t Produce(uint8_t* out, int64_t bytes) = 0;
    virtual bool Seek(int64_t pos) = 0;

    int64_t decodePos_ = 0;

  private:
    bool FireDueSync(int64_t got, PullReport* report);
    void FireEndSyncs(int64_t got, PullReport* report);
    void FireMoveSyncs();
    void RunDsp(uint8_t* data, int64_t bytes, int64_t pos);

    const DWORD handle_;
    const DWORD flags_;
    const int rate_;
    const int channels_;
    std::recursive_mutex mutex_;
    std::vector<SyncEntry> syncs_;
    std::vector<std::shared_ptr<DspEntry>> dsps_;  // highest priority first
    std::vector<HSYNC> firedHere_;  // syncs fired at the current position, no byte since
    bool endFired_ = false;
    bool stopped_ = false;
    bool released_ = false;
    DWORD mixerHandle_ = 0;
    std::atomic<std::thread::id> puller_{};
    int pullDepth_ = 0;
    std::unique_ptr<Playback> playback_;
};

// A file decoded through FFmpeg.
class Stream : public Channel {
  public:
    // The decoder for a file opened with the create calls' flags; null with the engine's error
    // set when it cannot be decoded.
    static std::unique_ptr<Decoder> OpenDecoder(const std::string& path, DWORD flags, int& error);
    Stream(DWORD handle, DWORD flags, std::unique_ptr<Decoder> decoder, std::string path);
    const char* FileName() const override { return path_.c_str(); }
    int SourceBits() const override { return decoder_ ? decoder_->SourceBits() : 0; }
    int64_t LengthBytes() override;
    bool AtEnd() override;

  protected:
    void Release() override;
    int64_t Produce(uint8_t* out, int64_t bytes) override;
    bool Seek(int64_t pos) override;

  private:
    std::unique_ptr<Decoder> decoder_;
    std::string path_;
};

}  // namespace chime
