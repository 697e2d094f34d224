#include "playback.h"

#include <portaudio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "registry.h"
#include "sample_convert.h"
#include "test_device.h"

namespace chime {

struct DeviceCallback {
    static int Run(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags, void* self) {
        static_cast<Playback*>(self)->CopyOut(static_cast<uint8_t*>(output),
                                              static_cast<int64_t>(frames));
        return paContinue;
    }
};

namespace {

// Copies n bytes between a flat buffer and the ring at ring index at, across the wrap.
void RingCopy(std::vector<uint8_t>& ring, int64_t at, uint8_t* flat, int64_t n, bool toRing) {
    const int64_t size = static_cast<int64_t>(ring.size());
    for (int64_t done = 0; done < n;) {
        const int64_t i = (at + done) % size;
        const int64_t k = std::min(n - done, size - i);
        if (toRing) {
            std::memcpy(ring.data() + i, flat + done, static_cast<size_t>(k));
        } else {
            std::memcpy(flat + done, ring.data() + i, static_cast<size_t>(k));
        }
        done += k;
    }
}

}  // namespace

Playback::Playback(Channel& channel, DeviceKind device)
    : frameBytes_(channel.FrameBytes()),
      rate_(channel.Rate()),
      channels_(channel.Channels()),
      isFloat_(channel.IsFloat()),
      device_(device),
      deviceChannels_(channel.Channels()) {
    // A quarter second ahead of the device; the ring keeps 150 ms more behind the device for
    // level readings and a chunk of slack.
    target_ = static_cast<int64_t>(rate_ / 4) * frameBytes_;
    chunk_ = static_cast<int64_t>(rate_ / 20) * frameBytes_;
    // A whole number of frames, so that no frame straddles the wrap.
    ring_.assign(static_cast<size_t>(target_ + chunk_ + rate_ * 3 / 20 * frameBytes_), 0);
    scratch_.assign(static_cast<size_t>(chunk_), 0);
    marks_.push_back({0, channel.DecodePosition()});
    if (device_ == DeviceKind::Test) {
        TestDevice::Instance().Open(this, rate_);
        return;
    }
    if (device_ != DeviceKind::Card) return;
    device_ = DeviceKind::Silent;  // until the card is open

    const PaDeviceIndex card = Pa_GetDefaultOutputDevice();
    const PaDeviceInfo* info = card == paNoDevice ? nullptr : Pa_GetDeviceInfo(card);
    if (info == nullptr || info->maxOutputChannels <= 0) return;
    deviceChannels_ = std::min(channels_, info->maxOutputChannels);
    PaStreamParameters params{};
    params.device = card;
    params.channelCount = deviceChannels_;
    params.sampleFormat = isFloat_ ? paFloat32 : paInt16;
    params.suggestedLatency = info->defaultLowOutputLatency;
    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, nullptr, &params, rate_, paFramesPerBufferUnspecified, paNoFlag,
                      &DeviceCallback::Run, this) != paNoError) {
        return;
    }
    if (Pa_StartStream(stream) != paNoError) {
        Pa_CloseStream(stream);
        return;
    }
    pa_ = stream;
    device_ = DeviceKind::Card;
    if (const PaStreamInfo* si = Pa_GetStreamInfo(stream)) {
        latencyBytes_ = static_cast<int64_t>(si->outputLatency * rate_) * frameBytes_;
    }
}

Playback::~Playback() {
    // Neither device calls back once these have returned.
    if (device_ == DeviceKind::Test) TestDevice::Instance().Close(this);
    if (pa_ != nullptr) {
        Pa_AbortStream(pa_);
        Pa_CloseStream(pa_);
    }
}

void Playback::SetState(PlayState state) {
    if (device_ == DeviceKind::Silent && state == PlayState::Playing &&
        State() != PlayState::Playing) {
        lastTick_ = std::chrono::steady_clock::now();
        silentCarry_ = 0;
    }
    state_.store(state, std::memory_order_release);
}

int64_t Playback::Reserve(int64_t bytes, int64_t* from) const {
    int64_t r = readIndex_.load(std::memory_order_relaxed);
    // acquire: the flush's marks were written before skipTo_ was published.
    const int64_t skip = skipTo_.load(std::memory_order_acquire);
    if (skip > r) r = skip;
    // acquire: the ring's bytes up to writeIndex_ are complete.
    const int64_t available = writeIndex_.load(std::memory_order_acquire) - r;
    *from = r;
    return std::min(available, bytes);
}

void Playback::Release(int64_t to) {
    // release: the bytes before the new read index have been copied out; the producer may
    // overwrite them from now on.
    readIndex_.store(to, std::memory_order_release);
}

int64_t Playback::Consume(int64_t bytes) {
    int64_t from = 0;
    const int64_t n = Reserve(bytes, &from);
    Release(from + n);
    return n;
}

void Playback::CopyOut(uint8_t* out, int64_t frames) {
    const int outFrameBytes = DeviceFrameBytes();
    if (State() != PlayState::Playing) {
        std::memset(out, 0, static_cast<size_t>(frames * outFrameBytes));
        return;
    }
    int64_t start = 0;
    const int64_t n = Reserve(frames * frameBytes_, &start);
    const int64_t size = static_cast<int64_t>(ring_.size());
    const int64_t got = n / frameBytes_;
    if (deviceChannels_ == channels_) {
        RingCopy(ring_, start, out, n, false);
        Release(start + n);
        std::memset(out + n, 0, static_cast<size_t>((frames - got) * outFrameBytes));
        return;
    }
    for (int64_t f = 0; f < got; ++f) {
        const uint8_t* in = ring_.data() + (start + f * frameBytes_) % size;
        uint8_t* o = out + f * outFrameBytes;
        if (isFloat_) {
            // Fold the extra channels onto the device's by averaging.
            const float* s = reinterpret_cast<const float*>(in);
            float* d = reinterpret_cast<float*>(o);
            for (int c = 0; c < deviceChannels_; ++c) {
                float sum = 0;
                int count = 0;
                for (int k = c; k < channels_; k += deviceChannels_, ++count)
                    sum += s[k];
                d[c] = sum / static_cast<float>(count);
            }
        } else {
            const int16_t* s = reinterpret_cast<const int16_t*>(in);
            int16_t* d = reinterpret_cast<int16_t*>(o);
            for (int c = 0; c < deviceChannels_; ++c) {
                int sum = 0;
                int count = 0;
                for (int k = c; k < channels_; k += deviceChannels_, ++count)
                    sum += s[k];
                d[c] = static_cast<int16_t>(sum / count);
            }
        }
    }
    Release(start + n);
    std::memset(out + got * outFrameBytes, 0, static_cast<size_t>((frames - got) * outFrameBytes));
}

int64_t Playback::HeardIndex() const {
    const int64_t read = readIndex_.load(std::memory_order_acquire);
    if (device_ == DeviceKind::Silent && State() == PlayState::Playing) {
        // The silent device moves on between the playback thread's rounds too: count the time
        // since its last round, as far as there is data.
        const double since =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - lastTick_).count();
        const int64_t ahead = static_cast<int64_t>(since * rate_ + silentCarry_) * frameBytes_;
        return std::min(read + ahead, writeIndex_.load(std::memory_order_acquire));
    }
    return std::max<int64_t>(0, read - latencyBytes_);
}

Playback::Service Playback::Run(Channel& channel) {
    Service out;
    const PlayState state = State();
    if (device_ == DeviceKind::Silent && state == PlayState::Playing) {
        // The silent device consumes in real time, like a sound card that nobody hears.
        const auto now = std::chrono::steady_clock::now();
        const double frames =
            std::chrono::duration<double>(now - lastTick_).count() * rate_ + silentCarry_;
        lastTick_ = now;
        const int64_t whole = static_cast<int64_t>(frames);
        silentCarry_ = frames - static_cast<double>(whole);
        Consume(whole * frameBytes_);
    }
    const int64_t heard = HeardIndex();
    while (marks_.size() >= 2 && marks_[1].first <= heard)
        marks_.pop_front();
    while (!pending_.empty() && pending_.front().first <= heard) {
        out.due.push_back(pending_.front().second);
        pending_.pop_front();
    }
    if (state != PlayState::Stopped) {
        while (!decodeEnded_) {
            const int64_t w = writeIndex_.load(std::memory_order_relaxed);
            // acquire: the device has copied out every byte before the read index.
            const int64_t read = readIndex_.load(std::memory_order_acquire);
            // After a flush the device goes on from skipTo_ (written under the channel's lock,
            // which is held here), so the ring is filled from there at once; but the device may
            // still be copying bytes from read on, so nothing is written over them, and the
            // last 150 ms before them stay for the level.
            const int64_t from = std::max(read, skipTo_.load(std::memory_order_relaxed));
            const int64_t buffered = w - from;
            if (buffered >= target_) break;
            int64_t want = std::min<int64_t>(target_ - buffered, scratch_.size());
            want = std::min(want, read + target_ + chunk_ - w);
            want -= want % frameBytes_;
            if (want <= 0) break;
            PullReport report;
            const int64_t got = channel.Pull(scratch_.data(), want, &report);
            RingCopy(ring_, w, scratch_.data(), got, true);
            for (const PositionMark& m : report.marks)
                marks_.push_back({w + m.offset, m.pos});
            for (const DeferredSync& d : report.deferred)
                pending_.push_back({w + d.offset, d});
            // release: publishes the bytes copied above to the device.
            writeIndex_.store(w + got, std::memory_order_release);
            if (report.ended || got == 0) decodeEnded_ = true;
        }
        if (decodeEnded_ && readIndex_.load(std::memory_order_acquire) >=
                                writeIndex_.load(std::memory_order_relaxed)) {
            for (auto& p : pending_)
                out.due.push_back(p.second);
            pending_.clear();
            SetState(PlayState::Stopped);
            out.finished = true;
        }
    }
    return out;
}

int64_t Playback::HeardPosition(const Channel& channel) {
    if (marks_.empty()) return channel.DecodePosition();
    const int64_t r = std::min(HeardIndex(), writeIndex_.load(std::memory_order_relaxed));
    while (marks_.size() >= 2 && marks_[1].first <= r)
        marks_.pop_front();
    const auto& m = marks_.front();
    if (r < m.first) return m.second;
    return m.second + (r - m.first);
}

void Playback::Flush(int64_t pos) {
    const int64_t w = writeIndex_.load(std::memory_order_relaxed);
    marks_.clear();
    marks_.push_back({w, pos});
    pending_.clear();
    decodeEnded_ = false;
    // release: the device jumps to w and finds nothing older to play.
    skipTo_.store(w, std::memory_order_release);
    if (device_ == DeviceKind::Silent) Consume(0);
}

DWORD Playback::Level() {
    if (State() == PlayState::Stopped) return 0;
    const int64_t r = std::min(HeardIndex(), writeIndex_.load(std::memory_order_relaxed));
    int64_t n = static_cast<int64_t>(rate_ / 50) * frameBytes_;
    n = std::min(n, r);
    std::vector<uint8_t> block(static_cast<size_t>(n));
    RingCopy(ring_, r - n, block.data(), n, false);
    const Peaks p = MeasurePeaks(block.data(), n / frameBytes_, channels_, isFloat_);
    return static_cast<DWORD>(p.left) | (static_cast<DWORD>(p.right) << 16);
}

Output& TheOutput() {
    static Output* output = new Output();
    return *output;
}

int Output::Init(int device) {
    std::lock_guard lock(mutex_);
    if (initialized_) return BASS_ERROR_ALREADY;
    if (device < -1) return BASS_ERROR_DEVICE;
    const char* choice = std::getenv("CHIMEWRIGHT_AUDIO");
    const std::string_view chosen = choice != nullptr ? choice : "";
    if (chosen == "manual") {
        device_ = DeviceKind::Test;
        TestDevice::Instance().Start();
    } else if (device == 0 || chosen == "silent") {
        device_ = DeviceKind::Silent;
    } else {
        device_ = DeviceKind::Silent;
        if (Pa_Initialize() == paNoError) {
            portAudio_ = true;
            if (Pa_GetDefaultOutputDevice() != paNoDevice) device_ = DeviceKind::Card;
        }
    }
    initialized_ = true;
    running_ = true;
    thread_ = std::thread([this] { Run(); });
    return BASS_OK;
}

bool Output::Stop() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (!initialized_) return false;
        initialized_ = false;
        running_ = false;
        thread = std::move(thread_);
        played_.clear();
    }
    wake_.notify_all();
    roundDone_.notify_all();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
    return true;
}

void Output::Close() {
    TestDevice::Instance().Stop();
    std::lock_guard lock(mutex_);
    if (portAudio_) {
        Pa_Terminate();
        portAudio_ = false;
    }
}

std::optional<DeviceKind> Output::Device() const {
    std::lock_guard lock(mutex_);
    if (!initialized_) return std::nullopt;
    return device_;
}

void Output::Add(const std::shared_ptr<Channel>& channel) {
    {
        std::lock_guard lock(mutex_);
        bool listed = false;
        for (const auto& w : played_)
            listed = listed || w.lock() == channel;
        if (!listed) played_.push_back(channel);
        roundAsked_ = true;
    }
    wake_.notify_all();
}

// The playback thread: keeps every playing channel's output fed and calls the syncs that are
// due when their position is heard.
void Output::Run() {
    std::unique_lock lock(mutex_);
    while (running_) {
        roundsBegun_.fetch_add(1, std::memory_order_relaxed);
        roundAsked_ = false;
        std::vector<std::shared_ptr<Channel>> list;
        std::erase_if(played_, [&list](const std::weak_ptr<Channel>& w) {
            auto c = w.lock();
            if (!c) return true;
            list.push_back(std::move(c));
            return false;
        });
        lock.unlock();
        for (const auto& ch : list) {
            if (ch->ServicePlayback()) TheRegistry().Free(ch->Handle());
        }
        list.clear();
        lock.lock();
        roundsDone_.fetch_add(1, std::memory_order_relaxed);
        roundDone_.notify_all();
        wake_.wait_for(lock, std::chrono::milliseconds(5),
                       [this] { return roundAsked_ || !running_; });
    }
}

void Output::Round() {
    std::unique_lock lock(mutex_);
    if (!running_) return;
    const uint64_t wanted = roundsBegun_.load(std::memory_order_relaxed) + 1;
    roundAsked_ = true;
    wake_.notify_all();
    roundDone_.wait(lock, [this, wanted] {
        return roundsDone_.load(std::memory_order_relaxed) >= wanted || !running_;
    });
}

void Output::AwaitOwnRound() {
    // relaxed: the count only tells that a round has come; the wait must order nothing between
    // the device and the playback thread.
    const uint64_t wanted = roundsBegun_.load(std::memory_order_relaxed) + 1;
    while (roundsDone_.load(std::memory_order_relaxed) < wanted &&
           running_.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

int Output::Advance(int64_t milliseconds, int64_t periodMilliseconds, bool ownPace) {
    {
        std::lock_guard lock(mutex_);
        if (!initialized_) return BASS_ERROR_INIT;
        // From the playback thread the rounds waited for could never come.
        if (device_ != DeviceKind::Test || std::this_thread::get_id() == thread_.get_id()) {
            return BASS_ERROR_NOTAVAIL;
        }
    }
    if (periodMilliseconds <= 0) periodMilliseconds = 10;
    Round();
    for (int64_t left = milliseconds; left > 0;) {
        const int64_t step = std::min(left, periodMilliseconds);
        TestDevice::Instance().Tick(step * 1000);
        if (ownPace) {
            AwaitOwnRound();
        } else {
            Round();
        }
        left -= step;
    }
    return BASS_OK;
}

}  // namespace chime
