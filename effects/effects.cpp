#include "effects.h"

#include <cmath>

namespace chime {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// The routines read these on the thread that makes the data: they must never take a lock.
static_assert(std::atomic<double>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);

// Removal waits for the channel's lock, so it is asked for only when there is something to
// remove.
void Remove(HSTREAM channel, HDSP dsp) {
    if (dsp != 0) BASS_ChannelRemoveDSP(channel, dsp);
}

}  // namespace

float GainFactorOf(double gainDb) {
    return static_cast<float>(std::pow(10.0, gainDb * 0.05));
}

EffectChain::~EffectChain() {
    // Stale handles fail without effect.
    Remove(fadeChannel_.load(), fadeDsp_.load());
    Remove(gainChannel_, gainDsp_);
    for (Filter& f : filters_)
        Remove(f.channel, f.dsp);
    if (moveSync_ != 0) BASS_ChannelRemoveSync(watched_, moveSync_);
}

void EffectChain::SetFormat(const EffectFormat& format) {
    bits_.store(format.Bits, kRelaxed);
    rate_.store(format.Rate, kRelaxed);
    channels_.store(format.Channels, kRelaxed);
}

EffectFormat EffectChain::Format() const {
    return {bits_.load(kRelaxed), rate_.load(kRelaxed), channels_.load(kRelaxed)};
}

void EffectChain::SetSettings(const EffectSettings& s) {
    gainOn_.store(s.gainOn, kRelaxed);
    gainDb_.store(s.gainDb, kRelaxed);
    gainFactor_.store(GainFactorOf(s.gainDb), kRelaxed);
    highPassOn_.store(s.highPassOn, kRelaxed);
    highCut_.store(s.highCut, kRelaxed);
    lowPassOn_.store(s.lowPassOn, kRelaxed);
    lowCut_.store(s.lowCut, kRelaxed);
    fadeInOn_.store(s.fadeInOn, kRelaxed);
    fadeInSeconds_.store(s.fadeInSeconds, kRelaxed);
    fadeOutOn_.store(s.fadeOutOn, kRelaxed);
    fadeOutSeconds_.store(s.fadeOutSeconds, kRelaxed);
}

EffectSettings EffectChain::Settings() const {
    EffectSettings s;
    s.gainOn = gainOn_.load(kRelaxed);
    s.gainDb = gainDb_.load(kRelaxed);
    s.highPassOn = highPassOn_.load(kRelaxed);
    s.highCut = highCut_.load(kRelaxed);
    s.lowPassOn = lowPassOn_.load(kRelaxed);
    s.lowCut = lowCut_.load(kRelaxed);
    s.fadeInOn = fadeInOn_.load(kRelaxed);
    s.fadeInSeconds = fadeInSeconds_.load(kRelaxed);
    s.fadeOutOn = fadeOutOn_.load(kRelaxed);
    s.fadeOutSeconds = fadeOutSeconds_.load(kRelaxed);
    return s;
}

void EffectChain::SetEndPosition(int64_t mixerBytes) {
    endPosition_.store(mixerBytes, kRelaxed);
}

FadeRamp EffectChain::Ramp() const {
    FadeRamp r;
    r.gain = fadeGain_.load(kRelaxed);
    r.step = fadeStep_.load(kRelaxed);
    r.phase = static_cast<FadeRamp::Phase>(fadePhase_.load(kRelaxed));
    r.silenceAfterFadeOut = fadeSilenceAfter_.load(kRelaxed);
    return r;
}

void EffectChain::StoreRamp(const FadeRamp& r) {
    fadeGain_.store(r.gain, kRelaxed);
    fadeStep_.store(r.step, kRelaxed);
    fadePhase_.store(static_cast<int>(r.phase), kRelaxed);
    fadeSilenceAfter_.store(r.silenceAfterFadeOut, kRelaxed);
}

HDSP EffectChain::Routine(EffectKind kind) const {
    switch (kind) {
        case EffectKind::Gain:
            return gainDsp_;
        case EffectKind::HighPass:
            return filters_[0].dsp;
        case EffectKind::LowPass:
            return filters_[1].dsp;
        case EffectKind::Fade:
            return fadeDsp_.load();
    }
    return 0;
}

void ChainMoveSyncProc(HSYNC, DWORD, DWORD, void* user) {
    // Runs under the channel's lock, before the first block from the new place; the routines
    // run under the same lock, which orders the count for them.
    static_cast<EffectChain*>(user)->moves_.fetch_add(1, kRelaxed);
}

void EffectChain::WatchMoves(HSTREAM channel) {
    if (watched_ == channel) return;
    if (moveSync_ != 0) BASS_ChannelRemoveSync(watched_, moveSync_);
    moveSync_ = BASS_ChannelSetSync(channel, BASS_SYNC_MOVE | BASS_SYNC_MIXTIME, 0,
                                    ChainMoveSyncProc, this);
    watched_ = channel;
}

void EffectChain::SetEffect(HSTREAM channel, EffectKind kind, bool on) {
    if (kind == EffectKind::Fade) return;
    const bool isGain = kind == EffectKind::Gain;
    HDSP& dsp = isGain ? gainDsp_ : FilterOf(kind).dsp;
    HSTREAM& attachedTo = isGain ? gainChannel_ : FilterOf(kind).channel;
    if (!on) {
        Remove(attachedTo, dsp);
        dsp = 0;
        return;
    }
    if (channel == 0 || (dsp != 0 && attachedTo == channel)) return;
    Remove(attachedTo, dsp);  // one left on an earlier stream
    DSPPROC* proc = GainDspProc;
    if (!isGain) {
        WatchMoves(channel);
        Filter& f = FilterOf(kind);
        // No routine of this filter runs now: the state is this thread's until the attach
        // below, whose lock hands it to the routine.
        f.state.Reset();
        f.rate = -1;
        f.movesSeen = moves_.load(kRelaxed);
        proc = kind == EffectKind::HighPass ? HighPassDspProc : LowPassDspProc;
    }
    dsp = BASS_ChannelSetDSP(channel, proc, this, 0);
    attachedTo = channel;
}

void EffectChain::RunFilter(EffectKind kind, void* buffer, DWORD length) {
    Filter& f = FilterOf(kind);
    const EffectFormat format = Format();
    if (format.Rate <= 0) return;
    const uint32_t moves = moves_.load(kRelaxed);
    if (moves != f.movesSeen) {
        f.state.Reset();
        f.movesSeen = moves;
    }
    const int setting = (kind == EffectKind::HighPass ? highCut_ : lowCut_).load(kRelaxed);
    const int bits = format.Bits & 0xFF;
    if (setting != f.setting || format.Rate != f.rate || bits != f.bits) {
        f.coefficients = FilterCoefficients::For(format.Rate, setting, bits);
        f.setting = setting;
        f.rate = format.Rate;
        f.bits = bits;
    }
    KernelArgs args;
    args.coefficients = f.coefficients;
    args.state = &f.state;
    ProcessInChunks(kind, static_cast<uint8_t*>(buffer), length, static_cast<uint8_t>(bits),
                    static_cast<uint8_t>(format.Channels), args);
}

void EffectChain::RunFade(void* buffer, DWORD length) {
    FadeRamp ramp = Ramp();
    if (ramp.phase == FadeRamp::Phase::Over) return;
    const EffectFormat format = Format();
    KernelArgs args;
    args.ramp = &ramp;
    ProcessInChunks(EffectKind::Fade, static_cast<uint8_t*>(buffer), length,
                    static_cast<uint8_t>(format.Bits), static_cast<uint8_t>(format.Channels), args);
    StoreRamp(ramp);
}

void EffectChain::SetUpFade(HSTREAM channel, bool fadeIn, bool forExport) {
    if (channel == 0) return;
    if (!(fadeIn ? fadeInOn_ : fadeOutOn_).load(kRelaxed)) return;
    const double seconds = (fadeIn ? fadeInSeconds_ : fadeOutSeconds_).load(kRelaxed);
    const EffectFormat format = Format();
    if (!(seconds > 0) || format.Rate <= 0 || format.Channels <= 0) return;
    FadeRamp ramp;
    ramp.step = (fadeIn ? 1.0 : -1.0) / seconds / format.Rate / format.Channels;
    ramp.gain = (fadeIn ? 0.0 : 1.0) + ramp.step;
    ramp.silenceAfterFadeOut = forExport;

    // One ramp at a time: the fade that runs now goes, so no block is faded twice.
    const HSTREAM previous = fadeChannel_.load();
    Remove(previous, fadeDsp_.exchange(0));
    DSPPROC* proc = forExport ? ExportFadeDspProc : PreviewFadeDspProc;
    if (!forExport) {
        // From the UI thread the routine may run as soon as it is attached.
        StoreRamp(ramp);
        fadeChannel_.store(channel);
        fadeDsp_.store(BASS_ChannelSetDSP(channel, proc, this, 0));
        return;
    }
    // An export's set-ups run in the thread that pulls the mixer, between its blocks.
    const HDSP dsp = BASS_ChannelSetDSP(channel, proc, this, 0);
    const int64_t end = endPosition_.load(kRelaxed);
    const int sampleBytes = (format.Bits & 0xFF) / 8;
    if (!fadeIn && end >= 0 && dsp != 0 && sampleBytes > 0) {
        // The ramp runs from where the routine starts to the end, whatever the rounding of
        // the positions on the way: its last step is 0 just before the end.
        const int64_t from = BASS_ChannelGetDSPStart(channel, dsp);
        const int64_t samples = (end - from) / sampleBytes;
        if (samples > 0) {
            ramp.step = -1.0 / static_cast<double>(samples);
            ramp.gain = 1.0 + ramp.step;
        } else {
            ramp.gain = 0;  // at or past the end: silent from here
        }
    }
    StoreRamp(ramp);
    fadeChannel_.store(channel);
    fadeDsp_.store(dsp);
}

void AttachPreviewFade(EffectChain& chain, HSTREAM channel, bool fadeIn) {
    chain.SetUpFade(channel, fadeIn, false);
}

void AttachExportFade(EffectChain& chain, HSTREAM mixer, bool fadeIn) {
    chain.SetUpFade(mixer, fadeIn, true);
}

void AttachExportEffects(EffectChain& chain, HSTREAM mixer) {
    if (mixer == 0) return;
    const EffectSettings s = chain.Settings();
    if (s.lowPassOn) chain.SetEffect(mixer, EffectKind::LowPass, true);
    if (s.highPassOn) chain.SetEffect(mixer, EffectKind::HighPass, true);
    if (s.gainOn) chain.SetEffect(mixer, EffectKind::Gain, true);
    if (s.fadeInOn) AttachExportFade(chain, mixer, true);
}

void GainDspProc(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    auto* chain = static_cast<EffectChain*>(user);
    const EffectFormat format = chain->Format();
    KernelArgs args;
    args.gainFactor = chain->GainFactor();
    ProcessInChunks(EffectKind::Gain, static_cast<uint8_t*>(buffer), length,
                    static_cast<uint8_t>(format.Bits), static_cast<uint8_t>(format.Channels), args);
}

void HighPassDspProc(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    static_cast<EffectChain*>(user)->RunFilter(EffectKind::HighPass, buffer, length);
}

void LowPassDspProc(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    static_cast<EffectChain*>(user)->RunFilter(EffectKind::LowPass, buffer, length);
}

// The two fade routines differ only in what follows a fade-out, which the ramp carries.
void PreviewFadeDspProc(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    static_cast<EffectChain*>(user)->RunFade(buffer, length);
}

void ExportFadeDspProc(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    static_cast<EffectChain*>(user)->RunFade(buffer, length);
}

}  // namespace chime
