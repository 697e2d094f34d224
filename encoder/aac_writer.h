#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "options.h"

namespace chime::faac {

// Encodes planar float samples to AAC-LC with FFmpeg's native encoder and writes them with the
// iTunes tags into an MP4 file of brand "M4A " (the ipod muxer).
//
// The file decodes to exactly the input's length. AAC works in frames of 1024 samples and the
// encoder adds 1024 samples of priming; the MP4 edit list says how many samples to drop at the
// start. Readers (libavformat among them) honour that start to the sample but play the last
// frame whole, so the padding that fills up the last frame goes at the start as well: the
// writer has to know the input's length before the first sample.
class AacMp4Writer {
  public:
    // fd: an open, seekable file. inputFrames: the number of sample frames that will follow.
    // The output keeps the input's rate and channel count unless the encoder refuses them;
    // then it is resampled to the nearest rate the encoder takes and, if need be, mixed down
    // to stereo.
    static std::unique_ptr<AacMp4Writer> Create(int fd, int sampleRate, int channels,
                                                int64_t inputFrames, const Tags& tags,
                                                std::string& error);
    ~AacMp4Writer();
    AacMp4Writer(const AacMp4Writer&) = delete;
    AacMp4Writer& operator=(const AacMp4Writer&) = delete;

    // planes: one array of frames samples per input channel.
    bool Write(const float* const* planes, int frames, std::string& error);
    // Encodes what is left and completes the file.
    bool Finish(std::string& error);

  private:
    struct State;
    explicit AacMp4Writer(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace chime::faac
