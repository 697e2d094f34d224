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
struct SwrContext;

namespace chime {

// Sample rates a stream may have: anything outside is a broken header, not audio anyone could
// hear or that the engine could pull in reasonable time and memory.
inline constexpr int kMinRate = 1000;
inline constexpr int kMaxRate = 768000;
inline constexpr int kMaxChannels = 32;
// A rendered tracker module plays at most this long: a damaged one may declare a song of many
// hours, which would take seconds to render through at every open and seek.
inline constexpr int kMaxRenderedSeconds = 30 * 60;

struct DecoderOptions {
    bool floatSamples = false;
    bool exactLength = false;  // measure the exact length at open
};

// FFmpeg's objects, each freed by its own routine.
struct FormatCloser {
    void operator()(AVFormatContext* format) const;
};
struct CodecFreer {
    void operator()(AVCodecContext* codec) const;
};
struct FrameFreer {
    void operator()(AVFrame* frame) const;
};
struct PacketFreer {
    void operator()(AVPacket* packet) const;
};
struct ResamplerFreer {
    void operator()(SwrContext* resampler) const;
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerFreer>;

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

    // Decodes up to frames frames into out (nothing is written when out is null); returns the
    // frames delivered, 0 at the end.
    int64_t Read(uint8_t* out, int64_t frames);
    // Moves to frame; returns false (and keeps the position) when frame lies past the end or
    // cannot be reached.
    bool Seek(int64_t frame);

  private:
    // What a scan of the packets found out about the length.
    enum class Scan { kExact, kNeedsDecode, kFailed };

    Decoder() = default;
    bool OpenContext(int& error);
    void CloseContext();
    Scan MeasureByPackets(int64_t& total);
    bool MeasureByDecoding();
    int64_t PacketFrames(const AVPacket& packet, int64_t* skipped) const;
    bool NextFrame();  // decodes the next frame into frame_, false at the end
    void CountMissing();
    bool MatchFormat();
    bool Advance();
    int64_t FrameStartFromTimestamp() const;
    int64_t TimestampGap(int64_t start) const;  // frames missing before frame_, by its timestamp
    int64_t Limit() const;
    void ResetDecoding();
    bool Rewind();
    bool SeekByTimestamp(int64_t frame);
    bool SeekByIndex(int64_t frame);
    bool SkipForward(int64_t frames);
    bool SeekTo(int64_t frame);

    std::string path_;
    bool floatSamples_ = false;
    bool usesIndex_ = false;       // the container's timestamps are not sample-accurate
    bool seekByDecoding_ = false;  // only decoding from the start reaches a sample exactly
    // The output keeps to the packets' durations: what a packet should have given and did not
    // (damaged data the decoder dropped) is delivered as silence, so the length that the packet
    // scan measures is what plays and positions stay on the file's timeline.
    bool packetTimed_ = false;
    bool apeDurations_ = false;  // the packets carry their frame count in their first bytes

    FormatPtr format_;
    CodecPtr codec_;
    FramePtr frame_;
    PacketPtr packet_;
    int stream_ = -1;

    int rate_ = 0;
    int channels_ = 0;
    int sourceBits_ = 0;
    int64_t lengthFrames_ = 0;
    int64_t maxFrames_ = INT64_MAX;  // nothing is delivered past this
    bool exactLength_ = false;
    bool lengthIsCap_ = false;  // the decoder delivers more than the true length: cut there
    int64_t origin_ = 0;        // timestamp of the first sample, in frames
    bool originKnown_ = false;

    int64_t position_ = 0;  // frame number of the next frame Read delivers
    int frameOffset_ = 0;   // samples of frame_ already delivered
    int64_t gap_ = 0;       // silence still to deliver before frame_
    bool frameValid_ = false;
    bool ended_ = false;
    bool seeking_ = false;         // an end met while seeking says nothing about the length
    bool drained_ = false;         // the demuxer is exhausted and the decoder has been flushed
    bool failed_ = false;          // the decoder ran out of memory
    bool measuring_ = false;       // a decode from the start that measures the length
    bool timelineBroken_ = false;  // timestamps went back: they cannot be seeked by

    // Packet timing (packetTimed_): frames the packets fed since the decoder was last flushed
    // stand for, frames they gave, and frames given as silence in place of the missing ones.
    int64_t fedFrames_ = 0;
    int64_t decodedFrames_ = 0;
    int64_t missingFrames_ = 0;
    int64_t missingToDeliver_ = 0;

    // A part of the file in another format (chained Ogg streams) is converted to the format of
    // the first part.
    ResamplerPtr resampler_;
    int resamplerRate_ = 0;
    int resamplerChannels_ = 0;
    int resamplerFormat_ = -1;
    FramePtr converted_;

    // For containers whose timestamps cannot be trusted: byte position of each packet, its
    // ordinal among packets sharing that position, and the frames decoded once it was fed.
    struct IndexEntry {
        int64_t pos;
        int32_t ordinal;
        int64_t timestamp;
        int64_t endSample;
    };
    std::vector<IndexEntry> index_;
    int64_t indexLastPos_ = -1;
    int32_t indexOrdinal_ = 0;
    // Decoded frames waiting to be delivered, in order, after an index seek.
    std::vector<FramePtr> batch_;
    size_t batchNext_ = 0;
};

}  // namespace chime
