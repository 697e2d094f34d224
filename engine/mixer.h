#pragma once
// A mixer: a channel that pulls its source channels, resamples them to its own rate with
// libswresample, folds their channels onto its own and sums them.

#include <memory>
#include <vector>

#include "channel.h"

struct SwrContext;

namespace chime {

class Mixer : public Channel {
  public:
    Mixer(DWORD handle, DWORD flags, int rate, int channels);
    ~Mixer() override;

    // With the mixer's lock held. BASS_OK, or BASS_ERROR_ALREADY when the source is already
    // in a mixer, BASS_ERROR_FORMAT when it cannot be converted to the mixer's format.
    int AddSource(const std::shared_ptr<Channel>& source, DWORD flags);
    // The mixer byte position at which the source's byte position comes out of the mixer,
    // counted along the source's data since it last moved (a move not yet seen by a pull
    // included); -1 when it is not a source here or the position lies before the move.
    int64_t MixerPositionOf(Channel& source, int64_t sourcePos);

    int64_t LengthBytes() override { return -1; }
    bool AtEnd() override;
    int64_t DspStartPosition() override;

  protected:
    // The sources added with BASS_STREAM_AUTOFREE.
    std::vector<std::shared_ptr<Channel>> AutoFreeSources() const override;
    int64_t Produce(uint8_t* out, int64_t bytes) override;
    bool Seek(int64_t pos) override;

  private:
    struct Source {
        std::shared_ptr<Channel> channel;
        DWORD flags = 0;
        SwrContext* swr = nullptr;
        int64_t anchorSource = 0;  // source byte position where the current run began
        int64_t anchorMixer = 0;   // mixer frame that the run's first sample became
        int64_t fedFrames = 0;     // source frames pulled in this run
        int64_t outFrames = 0;     // mixer frames made in this run
        int64_t expectedPos = 0;   // where the source should be unless moved from outside
        bool sourceEnded = false;
        bool ended = false;
        std::vector<uint8_t> in;
        std::vector<float> out;
    };
    bool Restart(Source& s, int64_t mixerFrame);
    int64_t Render(Source& s, int64_t frames, int64_t firstFrame);

    std::vector<std::unique_ptr<Source>> sources_;
    std::vector<float> mix_;
    Source* pulling_ = nullptr;  // the source being pulled, while its routines may run
};

}  // namespace chime
