#include "channel.h"

#include <algorithm>
#include <cmath>

#include "playback.h"
#include "sample_convert.h"

namespace chime {

Channel::Channel(DWORD handle, DWORD flags, int rate, int channels)
    : handle_(handle), flags_(flags), rate_(rate), channels_(channels) {}

Channel::~Channel() = default;

double Channel::BytesToSeconds(int64_t bytes) const {
    return static_cast<double>(bytes) / (static_cast<double>(rate_) * FrameBytes());
}

int64_t Channel::SecondsToBytes(double seconds) const {
    if (!(seconds >= 0) || seconds > 1e12) return -1;
    // Whole frames, rounded down; a product that misses a whole number only by the double's
    // representation error (0.02 s at 44100 Hz) counts as that number.
    const double frames = seconds * rate_;
    double whole = std::nearbyint(frames);
    if (std::fabs(frames - whole) > 1e-7 * std::max(1.0, whole)) whole = std::floor(frames);
    return static_cast<int64_t>(whole) * FrameBytes();
}

BASS_CHANNELINFO Channel::Info() const {
    BASS_CHANNELINFO info{};
    info.freq = static_cast<DWORD>(rate_);
    info.chans = static_cast<DWORD>(channels_);
    info.flags = flags_;
    info.origres = static_cast<DWORD>(SourceBits());
    info.filename = FileName();
    return info;
}

int Channel::Play(bool restart, DeviceKind device) {
    if (released_) return BASS_ERROR_HANDLE;
    if (restart) {
        SetPosition(0);
        if (playback_) playback_->Flush(0);
    }
    if (!playback_) playback_ = std::make_unique<Playback>(*this, device);
    // A stream that has played to its end plays again from the start.
    if (playback_->State() == PlayState::Stopped && AtEnd()) {
        SetPosition(0);
        playback_->Flush(0);
    }
    if (playback_->State() != PlayState::Playing) playback_->SetState(PlayState::Playing);
    return BASS_OK;
}

int Channel::Pause() {
    if (!playback_ || playback_->State() != PlayState::Playing) return BASS_ERROR_NOPLAY;
    playback_->SetState(PlayState::Paused);
    return BASS_OK;
}

void Channel::Stop() {
    if (IsDecoding()) {
        stopped_ = true;
        return;
    }
    if (!playback_ || playback_->State() == PlayState::Stopped) return;
    const int64_t heard = playback_->HeardPosition(*this);
    playback_->SetState(PlayState::Stopped);
    // From the channel's own routines the pull under way goes on from where it is.
    if (!PulledOnThisThread()) {
        SetPosition(heard);
        playback_->Flush(decodePos_);
    }
}

int Channel::MoveTo(int64_t pos) {
    if (released_) return BASS_ERROR_HANDLE;
    if (!SetPosition(pos)) return BASS_ERROR_POSITION;
    if (playback_ && !PulledOnThisThread()) playback_->Flush(decodePos_);
    return BASS_OK;
}

int64_t Channel::Position() {
    if (playback_ && playback_->State() != PlayState::Stopped) {
        return playback_->HeardPosition(*this);
    }
    return decodePos_;
}

DWORD Channel::ActiveState() {
    if (IsDecoding()) return stopped_ || AtEnd() ? BASS_ACTIVE_STOPPED : BASS_ACTIVE_PLAYING;
    if (!playback_) return BASS_ACTIVE_STOPPED;
    return static_cast<DWORD>(playback_->State());
}

DWORD Channel::Level(int& error) {
    error = BASS_OK;
    if (!IsDecoding()) {
        if (!playback_) {
            error = BASS_ERROR_NOPLAY;
            return 0xFFFFFFFF;
        }
        return playback_->Level();
    }
    if (stopped_) {
        error = BASS_ERROR_NOPLAY;
        return 0xFFFFFFFF;
    }
    // 20 ms of the channel's data, pulled as a read would pull it, through a block of fixed size
    // whatever the rate and channels.
    uint8_t block[16384];
    const int frameBytes = FrameBytes();
    const int64_t blockFrames =
        std::max<int64_t>(1, static_cast<int64_t>(sizeof block) / frameBytes);
    int64_t left = std::max(1, rate_ / 50);
    bool any = false;
    Peaks p;
    while (left > 0) {
        const int64_t want = std::min(left, blockFrames);
        const int64_t got = Pull(block, want * frameBytes, nullptr) / frameBytes;
        if (got <= 0) break;
        any = true;
        const Peaks q = MeasurePeaks(block, got, channels_, IsFloat());
        p.left = std::max(p.left, q.left);
        p.right = std::max(p.right, q.right);
        left -= got;
        if (got < want) break;
    }
    if (!any) {
        error = BASS_ERROR_ENDED;
        return 0xFFFFFFFF;
    }
    return static_cast<DWORD>(p.left) | (static_cast<DWORD>(p.right) << 16);
}

int64_t Channel::Read(uint8_t* out, int64_t bytes, int& error) {
    error = released_ ? BASS_ERROR_HANDLE : stopped_ ? BASS_ERROR_NOPLAY : BASS_OK;
    if (error != BASS_OK) return -1;
    return Pull(out, bytes, nullptr);
}

bool Channel::ServicePlayback() {
    Playback::Service service;
    {
        std::lock_guard lock(mutex_);
        if (released_) {
            playback_.reset();
            return false;
        }
        if (!playback_) return false;
        service = playback_->Run(*this);
    }
    for (const DeferredSync& s : service.due) {
        // Under the channel's lock: once a removal or a free has returned, the sync never runs
        // again.
        std::lock_guard lock(mutex_);
        if (TakeHeardSync(s.handle)) s.proc(s.handle, handle_, s.data, s.user);
    }
    return service.finished && (flags_ & BASS_STREAM_AUTOFREE);
}

std::vector<std::shared_ptr<Channel>> Channel::Free() {
    Release();
    // From inside the channel's own routines the output is still in use up the stack; the
    // playback thread drops it afterwards.
    if (!PulledOnThisThread()) {
        playback_.reset();
    } else if (playback_) {
        playback_->SetState(PlayState::Stopped);
    }
    return AutoFreeSources();
}

bool Channel::PulledOnThisThread() const {
    return puller_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

int64_t Channel::BytesToNextSync() const {
    int64_t nearest = -1;
    for (const SyncEntry& s : syncs_) {
        if ((s.type & 0xFF) != BASS_SYNC_POS || s.pos <= decodePos_) continue;
        if (nearest < 0 || s.pos - decodePos_ < nearest) nearest = s.pos - decodePos_;
    }
    return nearest;
}

int64_t Channel::Pull(uint8_t* out, int64_t bytes, PullReport* report) {
    const int frame = FrameBytes();
    bytes -= bytes % frame;
    // Routines called from here may call back into the engine on this channel; they must then
    // know that they run inside the pull (a seek must not flush what was already delivered).
    const std::thread::id previous = puller_.load(std::memory_order_relaxed);
    puller_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ++pullDepth_;
    int64_t got = 0;
    while (got < bytes && !released_) {
        if (FireDueSync(got, report)) continue;
        if (endFired_ && AtEnd()) break;
        int64_t n = bytes - got;
        // Stop the block at the next sync so that it fires exactly at its position.
        const int64_t toSync = BytesToNextSync();
        if (toSync > 0) n = std::min(n, toSync);
        if (report != nullptr) report->marks.push_back({got, decodePos_});
        const int64_t blockPos = decodePos_;
        const int64_t r = AtEnd() ? 0 : Produce(out + got, n);
        if (r > 0) {
            RunDsp(out + got, r, blockPos);
            got += r;
            firedHere_.clear();
        }
        if (AtEnd() && !endFired_) {
            endFired_ = true;
            FireEndSyncs(got, report);
            continue;  // an end sync may have moved the position
        }
        if (r == 0) break;
    }
    if (report != nullptr) report->ended = AtEnd() && endFired_;
    --pullDepth_;
    puller_.store(pullDepth_ > 0 ? previous : std::thread::id{}, std::memory_order_relaxed);
    return got;
}

bool Channel::FireDueSync(int64_t got, PullReport* report) {
    for (size_t i = 0; i < syncs_.size(); ++i) {
        const SyncEntry s = syncs_[i];
        if ((s.type & 0xFF) != BASS_SYNC_POS || s.pos != decodePos_) continue;
        if (std::find(firedHere_.begin(), firedHere_.end(), s.handle) != firedHere_.end()) continue;
        firedHere_.push_back(s.handle);
        if ((s.type & BASS_SYNC_MIXTIME) || report == nullptr) {
            if (s.type & BASS_SYNC_ONETIME) {
                syncs_.erase(syncs_.begin() + static_cast<ptrdiff_t>(i));
            }
            s.proc(s.handle, handle_, 0, s.user);
        } else {
            // Runs when heard; a one-time sync goes only then (a seek may come first).
            report->deferred.push_back({got, s.handle, s.proc, s.user, 0});
        }
        return true;
    }
    return false;
}

void Channel::FireEndSyncs(int64_t got, PullReport* report) {
    std::vector<SyncEntry> due;
    for (const SyncEntry& s : syncs_) {
        if ((s.type & 0xFF) == BASS_SYNC_END) due.push_back(s);
    }
    std::erase_if(syncs_, [report](const SyncEntry& s) {
        return (s.type & 0xFF) == BASS_SYNC_END && (s.type & BASS_SYNC_ONETIME) &&
               ((s.type & BASS_SYNC_MIXTIME) || report == nullptr);
    });
    for (const SyncEntry& s : due) {
        if ((s.type & BASS_SYNC_MIXTIME) || report == nullptr) {
            s.proc(s.handle, handle_, 0, s.user);
        } else {
            report->deferred.push_back({got, s.handle, s.proc, s.user, 0});
        }
    }
}

void Channel::RunDsp(uint8_t* data, int64_t bytes, int64_t pos) {
    if (dsps_.empty()) return;
    // A routine may add or remove routines; the ones present when the block arrived see it,
    // unless removed before their turn. One set while the block was made (by a sync) sees it
    // from the position where it was set.
    std::vector<std::shared_ptr<DspEntry>> snapshot = dsps_;
    for (const auto& d : snapshot) {
        if (d->removed.load(std::memory_order_relaxed)) continue;
        int64_t skip = 0;
        if (d->from != INT64_MIN) {
            skip = std::clamp<int64_t>(d->from - pos, 0, bytes);
            if (skip == bytes) continue;
            // Once started, a routine sees every later block wherever the position goes.
            d->from = INT64_MIN;
        }
        d->proc(d->handle, handle_, data + skip, static_cast<DWORD>(bytes - skip), d->user);
    }
}

bool Channel::SetPosition(int64_t pos) {
    if (pos < 0) return false;
    pos -= pos % FrameBytes();
    const int64_t length = LengthBytes();
    if (length >= 0 && pos > length) return false;
    if (pos != decodePos_ || AtEnd()) {
        if (!Seek(pos)) return false;
    }
    for (auto& d : dsps_)
        d->from = INT64_MIN;
    const bool moved = pos != decodePos_;
    if (moved) {
        // A new pass: syncs and the end may fire again. A seek to where the stream already is
        // (a loop whose start equals its end) must not fire the same sync for ever.
        firedHere_.clear();
        endFired_ = false;
    }
    decodePos_ = pos;
    stopped_ = false;
    if (moved) FireMoveSyncs();
    return true;
}

void Channel::FireMoveSyncs() {
    std::vector<SyncEntry> due;
    for (const SyncEntry& s : syncs_) {
        if ((s.type & 0xFF) == BASS_SYNC_MOVE) due.push_back(s);
    }
    if (due.empty()) return;
    std::erase_if(syncs_, [](const SyncEntry& s) {
        return (s.type & 0xFF) == BASS_SYNC_MOVE && (s.type & BASS_SYNC_ONETIME);
    });
    for (const SyncEntry& s : due)
        s.proc(s.handle, handle_, 0, s.user);
}

HSYNC Channel::AddSync(HSYNC handle, DWORD type, int64_t pos, SYNCPROC* proc, void* user) {
    // Down to the frame's start; a position just below 0 must stay below 0, never reached.
    if ((type & 0xFF) == BASS_SYNC_POS) pos -= (pos % FrameBytes() + FrameBytes()) % FrameBytes();
    syncs_.push_back({handle, type, pos, proc, user});
    return handle;
}

bool Channel::TakeHeardSync(HSYNC handle) {
    auto it = std::find_if(syncs_.begin(), syncs_.end(),
                           [handle](const SyncEntry& s) { return s.handle == handle; });
    if (released_ || it == syncs_.end()) return false;
    if (it->type & BASS_SYNC_ONETIME) syncs_.erase(it);
    return true;
}

bool Channel::RemoveSync(HSYNC handle) {
    const size_t before = syncs_.size();
    std::erase_if(syncs_, [handle](const SyncEntry& s) { return s.handle == handle; });
    return syncs_.size() != before;
}

void Channel::AddDsp(HDSP handle, DSPPROC* proc, void* user, int priority) {
    auto entry = std::make_shared<DspEntry>();
    entry->handle = handle;
    entry->proc = proc;
    entry->user = user;
    entry->priority = priority;
    entry->from = DspStartPosition();
    entry->from -= entry->from % FrameBytes();
    entry->start = entry->from;
    auto at = std::find_if(dsps_.begin(), dsps_.end(),
                           [priority](const auto& d) { return d->priority < priority; });
    dsps_.insert(at, std::move(entry));
}

bool Channel::RemoveDsp(HDSP handle) {
    auto it = std::find_if(dsps_.begin(), dsps_.end(),
                           [handle](const auto& d) { return d->handle == handle; });
    if (it == dsps_.end()) return false;
    (*it)->removed.store(true, std::memory_order_relaxed);
    dsps_.erase(it);
    return true;
}

int64_t Channel::DspStart(HDSP handle) const {
    for (const auto& d : dsps_) {
        if (d->handle == handle) return d->start;
    }
    return -1;
}

void Channel::Release() {
    released_ = true;
    syncs_.clear();
    for (auto& d : dsps_)
        d->removed.store(true, std::memory_order_relaxed);
    dsps_.clear();
}

std::unique_ptr<Decoder> Stream::OpenDecoder(const std::string& path, DWORD flags, int& error) {
    DecoderOptions options;
    options.floatSamples = (flags & BASS_SAMPLE_FLOAT) != 0;
    options.exactLength = (flags & BASS_STREAM_PRESCAN) != 0;
    error = BASS_OK;
    return Decoder::Open(path, options, error);
}

Stream::Stream(DWORD handle, DWORD flags, std::unique_ptr<Decoder> decoder, std::string path)
    : Channel(handle, flags, decoder->Rate(), decoder->Channels()),
      decoder_(std::move(decoder)),
      path_(std::move(path)) {}

int64_t Stream::LengthBytes() {
    if (!decoder_) return -1;
    return decoder_->LengthFrames() * FrameBytes();
}

bool Stream::AtEnd() {
    return !decoder_ || decoder_->Ended() ||
           (decoder_->ExactLength() && decoder_->PositionFrames() >= decoder_->LengthFrames());
}

int64_t Stream::Produce(uint8_t* out, int64_t bytes) {
    const int64_t frames = decoder_->Read(out, bytes / FrameBytes());
    decodePos_ = decoder_->PositionFrames() * FrameBytes();
    return frames * FrameBytes();
}

bool Stream::Seek(int64_t pos) {
    if (!decoder_) return false;
    return decoder_->Seek(pos / FrameBytes());
}

void Stream::Release() {
    Channel::Release();
    // The decoder (and its open file) goes now unless a pull on this channel is under way; the
    // channel object itself lives until the last caller lets go of it.
    if (!PulledOnThisThread()) decoder_.reset();
}

}  // namespace chime
