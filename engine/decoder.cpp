#include "decoder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "engine.h"
#include "sample_convert.h"

namespace chime {
namespace {

bool IsOneOf(AVCodecID id, std::initializer_list<AVCodecID> ids) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Packet durations do not add up to the decoded length for these codecs, and the container
// gives no exact count, so measuring them takes a full decode.
bool NeedsFullDecode(AVCodecID id) {
    return IsOneOf(id, {AV_CODEC_ID_WMAV1, AV_CODEC_ID_WMAV2, AV_CODEC_ID_WMAPRO,
                        AV_CODEC_ID_WMALOSSLESS, AV_CODEC_ID_MUSEPACK7, AV_CODEC_ID_MUSEPACK8});
}

// The timestamps these codecs' containers give are not sample-accurate; seeking counts samples
// from a packet index instead.
bool NeedsIndex(AVCodecID id) {
    return IsOneOf(id, {AV_CODEC_ID_AC3, AV_CODEC_ID_EAC3, AV_CODEC_ID_WMAV1, AV_CODEC_ID_WMAV2,
                        AV_CODEC_ID_WMAPRO, AV_CODEC_ID_WMALOSSLESS, AV_CODEC_ID_MUSEPACK7,
                        AV_CODEC_ID_MUSEPACK8});
}

bool IsMp4(const AVFormatContext* format) {
    return std::strstr(format->iformat->name, "mp4") != nullptr ||
           std::strstr(format->iformat->name, "mov") != nullptr;
}

void QuietLogs() {
    static bool once = [] {
        av_log_set_level(AV_LOG_FATAL);
        return true;
    }();
    (void)once;
}

}  // namespace

std::unique_ptr<Decoder> Decoder::Open(const std::string& path, const DecoderOptions& options,
                                       int& error) {
    QuietLogs();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = BASS_ERROR_FILEOPEN;
        return nullptr;
    }
    if (info.st_size == 0) {
        error = BASS_ERROR_FILEFORM;
        return nullptr;
    }
    std::unique_ptr<Decoder> d(new Decoder());
    d->path_ = path;
    d->floatSamples_ = options.floatSamples;
    if (!d->OpenContext(error)) return nullptr;

    const AVStream* st = d->format_->streams[d->stream_];  // valid until the context reopens
    const AVCodecID id = st->codecpar->codec_id;
    d->usesIndex_ = NeedsIndex(id);
    // Rendered modules restart their mixer on a seek; only rendering from the start is exact,
    // and it is fast.
    d->seekByDecoding_ = std::strcmp(d->format_->iformat->name, "libopenmpt") == 0;
    int64_t streamDuration = 0;
    if (st->duration > 0 && st->duration != AV_NOPTS_VALUE) {
        streamDuration = av_rescale_q(st->duration, st->time_base, AVRational{1, d->rate_});
    }
    // AAC in MP4 decodes its last frame's padding too; the container's length is the truth.
    d->lengthIsCap_ = id == AV_CODEC_ID_AAC && IsMp4(d->format_) && streamDuration > 0;
    const bool byDuration =
        d->lengthIsCap_ ||
        (IsOneOf(id, {AV_CODEC_ID_VORBIS, AV_CODEC_ID_APE}) && streamDuration > 0);

    if (streamDuration > 0) {
        d->lengthFrames_ = streamDuration;
    } else if (d->format_->duration > 0) {
        d->lengthFrames_ = av_rescale(d->format_->duration, d->rate_, AV_TIME_BASE);
    }
    if (byDuration) d->exactLength_ = true;

    if ((options.exactLength && !byDuration) || d->usesIndex_) {
        bool measured = false;
        if (!NeedsFullDecode(id)) measured = d->MeasureByPackets();
        if (!measured) measured = d->MeasureByDecoding();
        d->CloseContext();
        if (!measured || !d->OpenContext(error)) {
            if (!measured) error = BASS_ERROR_FILEFORM;
            return nullptr;
        }
        d->exactLength_ = true;
    }

    // The first frame fixes the time origin that seeking relies on; a file without one decodable
    // frame is not audio.
    if (!d->NextFrame()) {
        error = BASS_ERROR_FILEFORM;
        return nullptr;
    }
    d->frameValid_ = true;
    d->frameStart_ = 0;
    const int64_t ts = d->frame_->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE) {
        // The context may have been opened anew after measuring: take its stream again.
        const AVRational timeBase = d->format_->streams[d->stream_]->time_base;
        d->origin_ = av_rescale_q(ts, timeBase, AVRational{1, d->rate_});
        d->originKnown_ = true;
    }
    if (d->exactLength_ && d->lengthFrames_ == 0) d->ended_ = true;
    error = BASS_OK;
    return d;
}

Decoder::~Decoder() {
    CloseContext();
    av_frame_free(&frame_);
    av_packet_free(&packet_);
}

bool Decoder::OpenContext(int& error) {
    error = BASS_ERROR_FILEFORM;
    if (const int r = avformat_open_input(&format_, path_.c_str(), nullptr, nullptr); r < 0) {
        // A file that is there but may not be read fails to open, like a missing one.
        if (r == AVERROR(EACCES) || r == AVERROR(EPERM)) error = BASS_ERROR_FILEOPEN;
        format_ = nullptr;
        return false;
    }
    if (avformat_find_stream_info(format_, nullptr) < 0) return false;
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ < 0 || codec == nullptr) {
        error = BASS_ERROR_FORMAT;
        return false;
    }
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        if (static_cast<int>(i) != stream_) format_->streams[i]->discard = AVDISCARD_ALL;
    }
    AVStream* st = format_->streams[stream_];
    codec_ = avcodec_alloc_context3(codec);
    if (codec_ == nullptr || avcodec_parameters_to_context(codec_, st->codecpar) < 0) return false;
    codec_->pkt_timebase = st->time_base;
    codec_->thread_count = 1;
    if (avcodec_open2(codec_, codec, nullptr) < 0) return false;
    const int rate = codec_->sample_rate;
    const int channels = codec_->ch_layout.nb_channels;
    if (rate <= 0 || channels <= 0 || channels > 32) {
        error = BASS_ERROR_FORMAT;
        return false;
    }
    if (rate_ != 0 && (rate != rate_ || channels != channels_)) return false;
    rate_ = rate;
    channels_ = channels;
    sourceBits_ = st->codecpar->bits_per_raw_sample > 0 ? st->codecpar->bits_per_raw_sample
                                                        : st->codecpar->bits_per_coded_sample;
    if (frame_ == nullptr) frame_ = av_frame_alloc();
    if (packet_ == nullptr) packet_ = av_packet_alloc();
    frameValid_ = false;
    drained_ = false;
    error = BASS_OK;
    return frame_ != nullptr && packet_ != nullptr;
}

void Decoder::CloseContext() {
    for (AVFrame* f : batch_)
        av_frame_free(&f);
    batch_.clear();
    batchNext_ = 0;
    if (codec_ != nullptr) avcodec_free_context(&codec_);
    if (format_ != nullptr) avformat_close_input(&format_);
    if (frame_ != nullptr) av_frame_unref(frame_);
    frameValid_ = false;
    gap_ = 0;
}

bool Decoder::MeasureByPackets() {
    const AVStream* st = format_->streams[stream_];
    int64_t total = 0;
    int64_t lastPos = -1;
    int32_t ordinal = 0;
    index_.clear();
    while (av_read_frame(format_, packet_) >= 0) {
        if (packet_->stream_index != stream_) {
            av_packet_unref(packet_);
            continue;
        }
        if (packet_->duration <= 0) {
            av_packet_unref(packet_);
            index_.clear();
            return false;
        }
        int64_t frames = av_rescale_q(packet_->duration, st->time_base, AVRational{1, rate_});
        size_t size = 0;
        const uint8_t* skip = av_packet_get_side_data(packet_, AV_PKT_DATA_SKIP_SAMPLES, &size);
        if (skip != nullptr && size >= 8) {
            uint32_t atStart = 0;
            uint32_t atEnd = 0;
            std::memcpy(&atStart, skip, 4);
            std::memcpy(&atEnd, skip + 4, 4);
            frames = std::max<int64_t>(0, frames - atStart - atEnd);
        }
        total += frames;
        if (usesIndex_) {
            ordinal = packet_->pos == lastPos ? ordinal + 1 : 0;
            lastPos = packet_->pos;
            const int64_t ts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
            index_.push_back({packet_->pos, ordinal, ts, total});
        }
        av_packet_unref(packet_);
    }
    lengthFrames_ = total;
    return true;
}

bool Decoder::MeasureByDecoding() {
    int64_t total = 0;
    int64_t lastPos = -1;
    int32_t ordinal = 0;
    index_.clear();
    AVFrame* f = av_frame_alloc();
    bool flushing = false;
    while (true) {
        const int r = avcodec_receive_frame(codec_, f);
        if (r == 0) {
            total += f->nb_samples;
            av_frame_unref(f);
            continue;
        }
        if (r == AVERROR_EOF || (r != AVERROR(EAGAIN))) break;
        if (flushing) break;
        // The packets fed so far have all been decoded: record where the last one ended.
        if (usesIndex_ && !index_.empty()) index_.back().endSample = total;
        if (av_read_frame(format_, packet_) < 0) {
            avcodec_send_packet(codec_, nullptr);
            flushing = true;
            continue;
        }
        if (packet_->stream_index != stream_) {
            av_packet_unref(packet_);
            continue;
        }
        if (usesIndex_) {
            ordinal = packet_->pos == lastPos ? ordinal + 1 : 0;
            lastPos = packet_->pos;
            const int64_t ts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
            index_.push_back({packet_->pos, ordinal, ts, total});
        }
        avcodec_send_packet(codec_, packet_);
        av_packet_unref(packet_);
    }
    av_frame_free(&f);
    lengthFrames_ = total;
    return true;
}

bool Decoder::NextFrame() {
    if (batchNext_ < batch_.size()) {
        av_frame_unref(frame_);
        av_frame_move_ref(frame_, batch_[batchNext_]);
        av_frame_free(&batch_[batchNext_]);
        if (++batchNext_ == batch_.size()) {
            batch_.clear();
            batchNext_ = 0;
        }
        return true;
    }
    while (!drained_) {
        const int r = avcodec_receive_frame(codec_, frame_);
        if (r == 0) {
            if (frame_->nb_samples > 0) return true;
            av_frame_unref(frame_);
            continue;
        }
        if (r != AVERROR(EAGAIN)) {
            drained_ = true;
            break;
        }
        if (av_read_frame(format_, packet_) < 0) {
            // End of the file, or a read error: let the decoder give what it still holds.
            if (avcodec_send_packet(codec_, nullptr) < 0) drained_ = true;
            continue;
        }
        if (packet_->stream_index == stream_) {
            // A packet the decoder refuses is damaged data: it is skipped.
            avcodec_send_packet(codec_, packet_);
        }
        av_packet_unref(packet_);
    }
    return false;
}

int64_t Decoder::TimestampGap() const {
    // Only where timestamps are sample-accurate, and only for a real gap: not jitter, and not a
    // jump so large it is a broken timestamp rather than lost frames.
    if (usesIndex_ || seekByDecoding_ || !originKnown_) return 0;
    const int64_t start = FrameStartFromTimestamp();
    if (start == AV_NOPTS_VALUE) return 0;
    const int64_t gap = start - position_;
    if (gap < std::max(32, rate_ / 1000) || gap > int64_t{rate_} * 10) return 0;
    return gap;
}

int64_t Decoder::FrameStartFromTimestamp() const {
    const int64_t ts = frame_->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE || !originKnown_) return AV_NOPTS_VALUE;
    const AVStream* st = format_->streams[stream_];
    return av_rescale_q_rnd(ts, st->time_base, AVRational{1, rate_}, AV_ROUND_NEAR_INF) - origin_;
}

int64_t Decoder::Read(uint8_t* out, int64_t frames) {
    int64_t got = 0;
    const bool capped = exactLength_ || lengthIsCap_;
    while (got < frames && !ended_) {
        if (capped && position_ >= lengthFrames_) {
            ended_ = true;
            break;
        }
        if (!frameValid_ || frameOffset_ >= frame_->nb_samples) {
            if (!NextFrame()) {
                ended_ = true;
                // Decoding has told the true length (damaged data can end it before the
                // measured one). A seek that runs into the end is refused instead.
                if (!seeking_) {
                    lengthFrames_ = position_;
                    exactLength_ = true;
                }
                break;
            }
            frameValid_ = true;
            frameOffset_ = 0;
            frameStart_ = position_;
            gap_ = TimestampGap();
        }
        if (gap_ > 0) {
            // A frame the decoder dropped (damaged data): its time is kept as silence, so the
            // stream stays as long as measured and positions stay on the file's timeline.
            const int64_t n = std::min(gap_, frames - got);
            if (out != nullptr) {
                std::memset(out + got * FrameBytes(), 0, static_cast<size_t>(n * FrameBytes()));
            }
            gap_ -= n;
            position_ += n;
            frameStart_ += n;
            got += n;
            continue;
        }
        int64_t n = std::min<int64_t>(frames - got, frame_->nb_samples - frameOffset_);
        if (capped) n = std::min(n, lengthFrames_ - position_);
        if (out != nullptr) {
            if (!ConvertSamples(frame_, frameOffset_, static_cast<int>(n), channels_, floatSamples_,
                                out + got * FrameBytes())) {
                ended_ = true;
                break;
            }
        }
        frameOffset_ += static_cast<int>(n);
        position_ += n;
        got += n;
    }
    return got;
}

bool Decoder::SkipForward(int64_t frames) {
    return Read(nullptr, frames) == frames;
}

bool Decoder::Seek(int64_t frame) {
    if (frame < 0) return false;
    if ((exactLength_ || lengthIsCap_) && frame > lengthFrames_) return false;
    if (frame == position_) return true;
    const int64_t before = position_;
    seeking_ = true;
    bool reached = SeekTo(frame);
    // Unreachable (past the end of a file whose length was only estimated): go back.
    if (!reached) SeekTo(before);
    seeking_ = false;
    return reached;
}

bool Decoder::SeekTo(int64_t frame) {
    // A short way forward is decoded through; it is exact and cheaper than a seek.
    if (frame >= position_ && frame - position_ <= rate_ / 2 && !ended_) {
        return SkipForward(frame - position_);
    }
    if (seekByDecoding_) {
        if ((frame < position_ || ended_) && !Rewind()) return false;
        return SkipForward(frame - position_);
    }
    ended_ = false;
    if (usesIndex_ && !index_.empty()) return SeekByIndex(frame);
    return SeekByTimestamp(frame);
}

bool Decoder::Rewind() {
    int error = 0;
    CloseContext();
    if (!OpenContext(error)) return false;
    position_ = 0;
    ended_ = false;
    return true;
}

bool Decoder::SeekByTimestamp(int64_t frame) {
    const AVStream* st = format_->streams[stream_];
    // Pre-rolls long enough for every decoder's warm-up; a longer one is tried when a seek
    // lands past the target.
    for (const int64_t margin : {int64_t{rate_} / 10, int64_t{rate_}, int64_t{rate_} * 5}) {
        const int64_t target = frame - margin;
        if (target <= 0 || !originKnown_) break;
        const int64_t ts = av_rescale_q(target + origin_, AVRational{1, rate_}, st->time_base);
        if (av_seek_frame(format_, stream_, ts, AVSEEK_FLAG_BACKWARD) < 0) break;
        avcodec_flush_buffers(codec_);
        for (AVFrame* f : batch_)
            av_frame_free(&f);
        batch_.clear();
        batchNext_ = 0;
        drained_ = false;
        frameValid_ = false;
        if (!NextFrame()) continue;
        const int64_t start = FrameStartFromTimestamp();
        if (start == AV_NOPTS_VALUE) break;
        if (start > frame) continue;
        frameValid_ = true;
        frameOffset_ = 0;
        frameStart_ = start;
        position_ = start;
        gap_ = 0;
        if (SkipForward(frame - start)) return true;
        break;  // the timestamps misled: decode from the start instead
    }
    return Rewind() && SkipForward(frame);
}

bool Decoder::SeekByIndex(int64_t frame) {
    // The first packet whose output reaches past the target.
    auto it = std::upper_bound(index_.begin(), index_.end(), frame,
                               [](int64_t f, const IndexEntry& e) { return f < e.endSample; });
    ptrdiff_t target = it - index_.begin();
    for (const int64_t margin : {int64_t{rate_} / 10, int64_t{rate_}, int64_t{rate_} * 5}) {
        // Step back past the pre-roll, then a few packets more for the decoder's overlap.
        ptrdiff_t k = target;
        while (k > 0 && index_[k - 1].endSample > frame - margin)
            --k;
        k = std::max<ptrdiff_t>(0, k - 3);
        if (k == 0 || index_[k].timestamp == AV_NOPTS_VALUE) break;
        if (av_seek_frame(format_, stream_, index_[k].timestamp, AVSEEK_FLAG_BACKWARD) < 0) break;
        avcodec_flush_buffers(codec_);
        for (AVFrame* f : batch_)
            av_frame_free(&f);
        batch_.clear();
        batchNext_ = 0;
        drained_ = false;
        frameValid_ = false;

        ptrdiff_t matched = -1;
        int64_t lastPos = -1;
        int32_t ordinal = 0;
        bool overshot = false;
        std::vector<AVFrame*> frames;
        while (av_read_frame(format_, packet_) >= 0) {
            if (packet_->stream_index != stream_) {
                av_packet_unref(packet_);
                continue;
            }
            ordinal = packet_->pos == lastPos ? ordinal + 1 : 0;
            lastPos = packet_->pos;
            ptrdiff_t j = -1;
            if (matched >= 0) {
                j = matched + 1;
            } else {
                auto e = std::lower_bound(index_.begin(), index_.end(),
                                          std::pair<int64_t, int32_t>(packet_->pos, ordinal),
                                          [](const IndexEntry& a, std::pair<int64_t, int32_t> b) {
                                              return a.pos < b.first ||
                                                     (a.pos == b.first && a.ordinal < b.second);
                                          });
                if (e != index_.end() && e->pos == packet_->pos && e->ordinal == ordinal) {
                    j = e - index_.begin();
                }
            }
            avcodec_send_packet(codec_, packet_);
            av_packet_unref(packet_);
            int64_t total = 0;
            while (true) {
                AVFrame* f = av_frame_alloc();
                if (avcodec_receive_frame(codec_, f) != 0) {
                    av_frame_free(&f);
                    break;
                }
                total += f->nb_samples;
                frames.push_back(f);
            }
            if (j < 0 || j >= static_cast<ptrdiff_t>(index_.size())) {
                for (AVFrame* f : frames)
                    av_frame_free(&f);
                frames.clear();
                continue;
            }
            // Everything the decoder gave for this packet ends where the full decode's did.
            const int64_t end = index_[j].endSample;
            const int64_t start = end - total;
            if (matched < 0 && start > frame) {
                overshot = true;
                break;
            }
            matched = j;
            if (end > frame && total > 0) {
                batch_ = std::move(frames);
                batchNext_ = 0;
                position_ = start;
                frameValid_ = false;
                return SkipForward(frame - start);
            }
            for (AVFrame* f : frames)
                av_frame_free(&f);
            frames.clear();
        }
        for (AVFrame* f : frames)
            av_frame_free(&f);
        if (!overshot) break;
    }
    return Rewind() && SkipForward(frame);
}

}  // namespace chime
