#pragma once

#include <cstdint>
#include <string>

namespace chime::faac {

// Where bytes come from: standard input or a scratch file in the program, memory in tests.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Reads up to size bytes: returns the count read, 0 at the end of the stream, -1 on error.
    virtual int64_t Read(uint8_t* buffer, int64_t size) = 0;
};

// Reads a file descriptor, which may be a pipe.
class FdSource : public ByteSource {
  public:
    explicit FdSource(int fd) : fd_(fd) {}
    int64_t Read(uint8_t* buffer, int64_t size) override;

  private:
    int fd_;
};

// Reads until size bytes have arrived or the stream ends; returns the count read, or -1 on
// error.
int64_t ReadFully(ByteSource& source, uint8_t* buffer, int64_t size);

// The sample rates taken: outside them a header is broken (a 1 Hz stream resampled for the
// encoder would grow thousands of times over).
inline constexpr uint32_t kMinSampleRate = 1000;
inline constexpr uint32_t kMaxSampleRate = 768000;

enum class SampleFormat { kU8, kS16, kF32 };

struct WaveFormat {
    SampleFormat sampleFormat = SampleFormat::kS16;
    int sampleRate = 0;
    int channels = 0;
    // Bytes of sample data that the header announces, or -1 when the data runs to the end of
    // the stream: a writer into a pipe cannot know its length and leaves 0 or 0xFFFFFFFF.
    int64_t dataBytes = -1;

    int BytesPerSample() const;
    int BytesPerFrame() const { return BytesPerSample() * channels; }
};

// Reads the RIFF header up to the first byte of the 'data' chunk's samples, skipping chunks
// that are not needed. On failure error says what is wrong with the stream.
bool ReadWaveHeader(ByteSource& source, WaveFormat& format, std::string& error);

// Delivers the data chunk in whole sample frames: up to the size the header announced, or to
// the end of the stream when that comes first or the size was left open. A partial frame at
// the end is dropped.
class FrameReader {
  public:
    FrameReader(ByteSource& source, const WaveFormat& format);
    // Reads up to maxFrames frames into bytes; returns the frames read, 0 at the end, -1 on a
    // read error.
    int64_t Read(uint8_t* bytes, int64_t maxFrames);

  private:
    ByteSource& source_;
    int64_t bytesPerFrame_;
    int64_t bytesLeft_;  // -1: no limit
    bool ended_ = false;
};

// Converts interleaved frames of the given format to one float array per channel, full scale
// at +-1. Float samples are kept within +-1 and NaN becomes silence, which the encoder could
// not take.
void ToPlanarFloat(const uint8_t* bytes, int64_t frames, const WaveFormat& format,
                   float* const* planes);

}  // namespace chime::faac
