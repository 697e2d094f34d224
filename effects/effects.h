#pragma once
// Effect chains: the gain, high-pass, low-pass and fade routines of one stream (the preview's,
// or one export's mixer), with that stream's format, its settings and its running state. The
// routines run as the engine's DSP routines with the chain as their user value; they allocate
// nothing, take no lock and call nothing outside the kernels.
//
// Threads: the window (UI thread) or the export's own thread sets a chain up; the routines run
// in the thread that makes the stream's data (the playback thread, or the one pulling a mixer).
// Values the routines read are atomics, each written whole; the latest one wins.

#include <atomic>
#include <cstdint>

#include "engine.h"
#include "kernels.h"

namespace chime {

struct EffectFormat {
    int Bits = 0;
    int Rate = 0;
    int Channels = 0;
};

// The effect controls, taken whole at one moment (the window's controls, or the command line's
// options). Positions are the sliders' positions; seconds may have decimals (command line).
struct EffectSettings {
    bool gainOn = false;
    double gainDb = 0;  // GainFactor = 10^(gainDb * 0.05)
    bool highPassOn = false;
    int highCut = 5000;  // ten-thousandths of Nyquist
    bool lowPassOn = false;
    int lowCut = 5000;
    bool fadeInOn = true;
    double fadeInSeconds = 5;
    bool fadeOutOn = false;
    double fadeOutSeconds = 5;
};

// 10 to the power (gainDb * 0.05), worked out in double precision and held as a float.
float GainFactorOf(double gainDb);

class EffectChain {  // one per stream: the preview's, and one per export job
  public:
    EffectChain() = default;
    // Removes what the chain still has on a stream that still exists.
    ~EffectChain();
    EffectChain(const EffectChain&) = delete;
    EffectChain& operator=(const EffectChain&) = delete;

    // The thread that sets the chain up: the UI thread for the preview, an export's own thread
    // for its chain.
    void SetFormat(const EffectFormat& format);        // UI thread
    void SetSettings(const EffectSettings& settings);  // UI thread; latest value wins
    // Export chains: the mixer byte position where the export ends; a fade-out then reaches
    // gain 0 exactly there and everything after it stays silent. Before the fade-out's set-up.
    void SetEndPosition(int64_t mixerBytes);
    // The thread that sets the chain up (the UI thread for the preview). Attaches the gain or a
    // filter routine to channel when on, removes it when off. A routine that already runs on
    // channel stays as it is: a new setting reaches it through SetSettings, and a filter keeps
    // its state (re-attaching would restart it from zero, a click). A filter starts from zero
    // when attached and again each time the channel is moved.
    void SetEffect(HSTREAM channel, EffectKind kind, bool on);

    // Any thread.
    EffectFormat Format() const;
    EffectSettings Settings() const;
    float GainFactor() const { return gainFactor_.load(std::memory_order_relaxed); }
    // The fade ramp as it stands.
    FadeRamp Ramp() const;
    // The routine of kind that the chain has attached (for Fade, the fade routine attached
    // last), 0 when none. Kept until removed, also once its stream has gone. The thread that
    // sets the chain up; any thread for Fade.
    HDSP Routine(EffectKind kind) const;

  private:
    struct Filter {
        // The routine's own: only the running routine touches these, and the attaching thread
        // before it attaches one.
        FilterState state;
        FilterCoefficients coefficients;
        int rate = -1;
        int setting = 0;
        int bits = -1;
        uint32_t movesSeen = 0;
        // The attaching thread's.
        HDSP dsp = 0;
        HSTREAM channel = 0;
    };
    Filter& FilterOf(EffectKind kind) { return filters_[kind == EffectKind::HighPass ? 0 : 1]; }
    void WatchMoves(HSTREAM channel);
    void StoreRamp(const FadeRamp& ramp);
    void SetUpFade(HSTREAM channel, bool fadeIn, bool forExport);
    void RunFilter(EffectKind kind, void* buffer, DWORD length);
    void RunFade(void* buffer, DWORD length);

    friend void AttachPreviewFade(EffectChain&, HSTREAM, bool);
    friend void AttachExportFade(EffectChain&, HSTREAM, bool);
    friend void GainDspProc(HDSP, DWORD, void*, DWORD, void*);
    friend void HighPassDspProc(HDSP, DWORD, void*, DWORD, void*);
    friend void LowPassDspProc(HDSP, DWORD, void*, DWORD, void*);
    friend void PreviewFadeDspProc(HDSP, DWORD, void*, DWORD, void*);
    friend void ExportFadeDspProc(HDSP, DWORD, void*, DWORD, void*);
    friend void ChainMoveSyncProc(HSYNC, DWORD, DWORD, void*);

    // Format and settings: written by the UI thread, read by the routines and the fade set-ups.
    // Each is a value of its own, so relaxed order is enough.
    std::atomic<int> bits_{0}, rate_{0}, channels_{0};
    std::atomic<bool> gainOn_{false}, highPassOn_{false}, lowPassOn_{false};
    std::atomic<double> gainDb_{0};
    std::atomic<float> gainFactor_{1};
    std::atomic<int> highCut_{5000}, lowCut_{5000};
    std::atomic<bool> fadeInOn_{true}, fadeOutOn_{false};
    std::atomic<double> fadeInSeconds_{5}, fadeOutSeconds_{5};
    std::atomic<int64_t> endPosition_{-1};

    // The fade ramp: set up between blocks, advanced by the fade routine.
    std::atomic<double> fadeGain_{0}, fadeStep_{0};
    std::atomic<int> fadePhase_{static_cast<int>(FadeRamp::Phase::Over)};
    std::atomic<bool> fadeSilenceAfter_{false};
    std::atomic<HDSP> fadeDsp_{0};
    std::atomic<HSTREAM> fadeChannel_{0};

    // Moves of the watched stream, counted by its move sync; a filter that finds the count
    // changed starts again from zero.
    std::atomic<uint32_t> moves_{0};
    HSTREAM watched_ = 0;
    HSYNC moveSync_ = 0;

    Filter filters_[2];  // high-pass, low-pass
    HDSP gainDsp_ = 0;
    HSTREAM gainChannel_ = 0;
};

// Any thread (the selection's syncs call it on the playback thread). Sets up a fade-in or a
// fade-out on the preview stream with the chain's fade settings and format, replacing a fade of
// the chain that still runs. Set-ups of one chain never overlap in time: the window's come from
// the UI thread while the stream is not playing, or from the stream's own syncs.
void AttachPreviewFade(EffectChain& chain, HSTREAM channel, bool fadeIn);
// The thread that pulls the mixer. The same for an export; a fade-out ends at the end position
// when one is set, and the rest of the export then stays silent.
void AttachExportFade(EffectChain& chain, HSTREAM mixer, bool fadeIn);
// The thread that pulls the mixer, before the first pull: low-pass, high-pass, gain, fade-in, in
// that order, as the chain's settings ask.
void AttachExportEffects(EffectChain& chain, HSTREAM mixer);

// The DSP routines; their user value is the chain.
void GainDspProc(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);
void HighPassDspProc(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);
void LowPassDspProc(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);
void PreviewFadeDspProc(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);
void ExportFadeDspProc(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);

}  // namespace chime
