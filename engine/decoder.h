#pragma once
// Decodes one audio file through FFmpeg into interleaved 16-bit or float samples at the file's
// own rate and channel count, with an exact length and sample-accurate seeking.
// Not thread-safe: its channel serialises every call.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace chime {

struct DecoderOptions {
    bool floatSamples = false;
    bool exactLength = false;  // measure the exact length at open
};

class Decoder {
  public:
    // Returns null and sets error (an engine error code) when the file cannot be decoded.
    static std::unique_ptr<Decoder> Open(const std::string& path, const DecoderOptions& options,
                                         int& error);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    int Rate() const { return rate_; }
    int Channels() const { return channels_; }
    int BytesPerSample() const { return floatSamples_ ? 4 : 2; }
    int FrameBytes() const { return BytesPerSample() * channels_; }
    int SourceBits() const { return sourceBits_; }
    // Length in frames: exact when ExactLength(), else the container's estimate (0 if none).
    int64_t LengthFrames() const { return lengthFrames_; }
    bool ExactLength() const { return exactLength_; }
    int64_t PositionFrames() const { return position_; }
    bool Ended() const { return ended_; }

    // Decodes up to frames frames into out; returns the frames delivered, 0 at the end.
    int64_t Read(uint8_t* out, int64_t frames);
    // Moves to frame; returns false (and keeps the position) when frame lies past the end or
    // cannot be reached.
    bool Seek(int64_t frame);

  private:
    Decoder() = default;
    bool OpenContext(int& error);
    void CloseContext();
    bool MeasureByPackets();
    bool MeasureByDecoding();
    bool NextFrame();  // decodes the next frame into frame_, false at the end or on error
    int64_t FrameStartFromTimestamp() const;
    int64_t TimestampGap() const;  // frames missing before frame_, by its timestamp
    bool Rewind();
    bool SeekByTimestamp(int64_t frame);
    bool SeekByIndex(int64_t frame);
    bool SkipForward(int64_t frames);
    bool SeekTo(int64_t frame);

    std::string path_;
    bool floatSamples_ = false;
    bool usesIndex_ = false;       // the container's timestamps are not sample-accurate
    bool seekByDecoding_ = false;  // only decoding from the start reaches a sample exactly

    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int stream_ = -1;

    int rate_ = 0;
    int channels_ = 0;
    int sourceBits_ = 0;
    int64_t lengthFrames_ = 0;
    bool exactLength_ = false;
    bool lengthIsCap_ = false;  // the decoder delivers more than the true length: cut there
    int64_t origin_ = 0;        // timestamp of the first sample, in frames
    bool originKnown_ = false;

    int64_t position_ = 0;    // frame number of the next frame Read delivers
    int64_t frameStart_ = 0;  // frame number of frame_'s first sample
    int frameOffset_ = 0;     // samples of frame_ already delivered
    int64_t gap_ = 0;         // silence still to deliver before frame_
    bool frameValid_ = false;
    bool ended_ = false;
    bool seeking_ = false;  // an end met while seeking says nothing about the length
    bool drained_ = false;  // the demuxer is exhausted and the decoder has been flushed

    // For containers whose timestamps cannot be trusted: byte position of each packet, its
    // ordinal among packets sharing that position, and the frames decoded once it was fed.
    struct IndexEntry {
        int64_t pos;
        int32_t ordinal;
        int64_t timestamp;
        int64_t endSample;
    };
    std::vector<IndexEntry> index_;
    // Decoded frames waiting to be delivered, in order, after an index seek.
    std::vector<AVFrame*> batch_;
    size_t batchNext_ = 0;
};

}  // namespace chime
