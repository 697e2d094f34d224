#include "mixer.h"

#include <algorithm>
#include <cmath>

#include "sample_convert.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace chime {

Mixer::Mixer(DWORD handle, DWORD flags, int rate, int channels)
    : Channel(handle, flags, rate, channels) {}

Mixer::~Mixer() {
    for (auto& s : sources_)
        swr_free(&s->swr);
}

bool Mixer::Restart(Source& s, int64_t mixerFrame) {
    swr_free(&s.swr);
    const Channel& in = *s.channel;
    AVChannelLayout inLayout{};
    AVChannelLayout outLayout{};
    av_channel_layout_default(&inLayout, in.Channels());
    av_channel_layout_default(&outLayout, Channels());
    if (swr_alloc_set_opts2(&s.swr, &outLayout, AV_SAMPLE_FMT_FLT, Rate(), &inLayout,
                            in.IsFloat() ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S16, in.Rate(), 0,
                            nullptr) < 0) {
        return false;
    }
    // A longer filter than the default keeps images and noise of the rate conversion well
    // below -80 dB.
    av_opt_set_int(s.swr, "filter_size", 64, 0);
    av_opt_set_int(s.swr, "phase_shift", 12, 0);
    av_opt_set_double(s.swr, "cutoff", 0.95, 0);
    // Folding many channels onto fewer scales the mix so that it cannot clip.
    av_opt_set_double(s.swr, "rematrix_maxval", 1.0, 0);
    if (in.Channels() == 1) {
        // A mono source plays at its own level on every channel.
        std::vector<double> matrix(static_cast<size_t>(Channels()), 1.0);
        swr_set_matrix(s.swr, matrix.data(), 1);
    }
    if (swr_init(s.swr) < 0) {
        swr_free(&s.swr);
        return false;
    }
    s.anchorSource = in.DecodePosition();
    s.anchorMixer = mixerFrame;
    s.fedFrames = 0;
    s.outFrames = 0;
    s.expectedPos = s.anchorSource;
    s.sourceEnded = false;
    s.ended = false;
    return true;
}

int Mixer::AddSource(const std::shared_ptr<Channel>& source, DWORD flags) {
    auto s = std::make_unique<Source>();
    s->channel = source;
    s->flags = flags;
    std::lock_guard lock(source->mutex());
    if (source->MixerHandle() != 0) return BASS_ERROR_ALREADY;
    if (!Restart(*s, DecodePosition() / FrameBytes())) return BASS_ERROR_FORMAT;
    source->SetMixerHandle(Handle());
    sources_.push_back(std::move(s));
    return BASS_OK;
}

std::vector<std::shared_ptr<Channel>> Mixer::AutoFreeSources() const {
    std::vector<std::shared_ptr<Channel>> out;
    for (const auto& s : sources_) {
        if (s->flags & BASS_STREAM_AUTOFREE) out.push_back(s->channel);
    }
    return out;
}

int64_t Mixer::MixerPositionOf(Channel& source, int64_t sourcePos) {
    for (const auto& s : sources_) {
        if (s->channel.get() != &source) continue;
        std::lock_guard lock(source.mutex());
        int64_t anchorSource = s->anchorSource;
        int64_t anchorMixer = s->anchorMixer;
        // A source moved from outside since its last pull begins a new run at the next pull,
        // at the mixer's present position (see Render); answer for that run already. While it
        // is being pulled its position runs ahead of expectedPos without a move.
        if (pulling_ != s.get() && !source.Released() &&
            source.DecodePosition() != s->expectedPos) {
            anchorSource = source.DecodePosition();
            anchorMixer = DecodePosition() / FrameBytes();
        }
        const int64_t frames = (sourcePos - anchorSource) / source.FrameBytes();
        if (frames < 0) return -1;
        // Output frame m stands for source time m / rate: the first one at or after the
        // source frame.
        const int64_t out = (frames * Rate() + source.Rate() - 1) / source.Rate();
        return (anchorMixer + out) * FrameBytes();
    }
    return -1;
}

int64_t Mixer::DspStartPosition() {
    if (pulling_ != nullptr) {
        const int64_t at = MixerPositionOf(*pulling_->channel, pulling_->channel->DecodePosition());
        if (at >= 0) return at;
    }
    return DecodePosition();
}

bool Mixer::AtEnd() {
    if (!(Flags() & BASS_MIXER_END)) return false;
    for (const auto& s : sources_) {
        if (!s->ended) return false;
        // A source moved from outside after its end plays again.
        std::lock_guard lock(s->channel->mutex());
        if (!s->channel->Released() && s->channel->DecodePosition() != s->expectedPos) {
            return false;
        }
    }
    return true;
}

int64_t Mixer::Render(Source& s, int64_t frames, int64_t firstFrame) {
    Channel& in = *s.channel;
    std::lock_guard lock(in.mutex());
    if (in.Released()) {
        s.ended = true;
        return 0;
    }
    if (in.DecodePosition() != s.expectedPos && !Restart(s, firstFrame)) s.ended = true;
    const int channels = Channels();
    const int inFrameBytes = in.FrameBytes();
    if (s.out.size() < static_cast<size_t>(frames * channels)) {
        s.out.resize(static_cast<size_t>(frames * channels));
    }
    uint8_t nothing = 0;
    const uint8_t* noInput[1] = {&nothing};
    int64_t produced = 0;
    while (produced < frames && !s.ended) {
        uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(s.out.data() + produced * channels)};
        const int room = static_cast<int>(frames - produced);
        // What the converter already holds comes first.
        int r = swr_convert(s.swr, outPlanes, room, noInput, 0);
        if (r > 0) {
            produced += r;
            continue;
        }
        if (s.sourceEnded) {
            r = swr_convert(s.swr, outPlanes, room, nullptr, 0);
            if (r <= 0) {
                s.ended = true;
            } else {
                produced += r;
            }
            continue;
        }
        int64_t need = (room * int64_t{in.Rate()} + Rate() - 1) / Rate() + 16;
        need = std::clamp<int64_t>(need, 32, 16384);
        // The source's syncs run at the start of a pull: stop each pull at the next one, so a
        // routine that it sets on the mixer knows where in the mix it starts.
        const int64_t toSync = in.BytesToNextSync();
        if (toSync > 0) need = std::min(need, std::max<int64_t>(1, toSync / inFrameBytes));
        s.in.resize(static_cast<size_t>(need * inFrameBytes));
        pulling_ = &s;
        const int64_t got = in.Pull(s.in.data(), need * inFrameBytes, nullptr) / inFrameBytes;
        pulling_ = nullptr;
        s.expectedPos = in.DecodePosition();
        if (got == 0) {
            s.sourceEnded = true;
            continue;
        }
        const uint8_t* inPlanes[1] = {s.in.data()};
        r = swr_convert(s.swr, outPlanes, room, inPlanes, static_cast<int>(got));
        s.fedFrames += got;
        if (r > 0) produced += r;
    }
    const float* from = s.out.data();
    for (int64_t i = 0; i < produced * channels; ++i)
        mix_[static_cast<size_t>(i)] += from[i];
    s.outFrames += produced;
    return produced;
}

int64_t Mixer::Produce(uint8_t* out, int64_t bytes) {
    const int channels = Channels();
    const int64_t frames = bytes / FrameBytes();
    mix_.assign(static_cast<size_t>(frames * channels), 0.0f);
    const int64_t firstFrame = DecodePosition() / FrameBytes();
    int64_t longest = 0;
    bool allEnded = true;
    for (auto& s : sources_) {
        longest = std::max(longest, Render(*s, frames, firstFrame));
        allEnded = allEnded && s->ended;
    }
    // A mixer that ends with its sources stops where they stopped; any other plays silence.
    const int64_t made = (Flags() & BASS_MIXER_END) && allEnded ? longest : frames;
    const int64_t samples = made * channels;
    if (IsFloat()) {
        std::copy(mix_.begin(), mix_.begin() + samples, reinterpret_cast<float*>(out));
    } else {
        FloatTo16(mix_.data(), reinterpret_cast<int16_t*>(out), samples);
    }
    decodePos_ += made * FrameBytes();
    return made * FrameBytes();
}

bool Mixer::Seek(int64_t pos) {
    return pos == DecodePosition();
}

}  // namespace chime
