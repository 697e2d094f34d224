#include "decoder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include "engine.h"
#include "sample_convert.h"

namespace chime {

void FormatCloser::operator()(AVFormatContext* format) const {
    avformat_close_input(&format);
}
void CodecFreer::operator()(AVCodecContext* codec) const {
    avcodec_free_context(&codec);
}
void FrameFreer::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}
void PacketFreer::operator()(AVPacket* packet) const {
    av_packet_free(&packet);
}
void ResamplerFreer::operator()(SwrContext* resampler) const {
    swr_free(&resampler);
}

namespace {

// Errors in a row after which a decoder that only fails is taken to have nothing more to give.
constexpr int kMaxErrorsInARow = 100;

bool IsOneOf(AVCodecID id, std::initializer_list<AVCodecID> ids) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Packet durations do not add up to the decoded length for these codecs, and the container
// gives no exact count, so measuring them takes a full decode.
bool NeedsFullDecode(AVCodecID id) {
    return IsOneOf(id, {AV_CODEC_ID_WMAV1, AV_CODEC_ID_WMAV2, AV_CODEC_ID_WMAPRO,
                        AV_CODEC_ID_WMALOSSLESS, AV_CODEC_ID_MUSEPACK7, AV_CODEC_ID_MUSEPACK8});
}

// The timestamps these codecs' containers give are not sample-accurate (Ogg Vorbis's are off on
// the last page, whose granule trims the end); seeking counts samples from a packet index
// instead.
bool NeedsIndex(AVCodecID id) {
    return IsOneOf(id, {AV_CODEC_ID_AC3, AV_CODEC_ID_EAC3, AV_CODEC_ID_WMAV1, AV_CODEC_ID_WMAV2,
                        AV_CODEC_ID_WMAPRO, AV_CODEC_ID_WMALOSSLESS, AV_CODEC_ID_MUSEPACK7,
                        AV_CODEC_ID_MUSEPACK8, AV_CODEC_ID_VORBIS});
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

// A WAV's block size and byte rate fields may disagree with its sample format (a block of 3
// bytes for 16-bit mono, twice the true byte rate). FFmpeg cuts packets and places seeks by
// those fields, so they are set from the sample format, which is what the data holds.
void TrustPcmFormat(AVFormatContext* format, int stream) {
    if (std::strcmp(format->iformat->name, "wav") != 0) return;
    AVCodecParameters* par = format->streams[stream]->codecpar;
    const int bits = av_get_bits_per_sample(par->codec_id);
    const int channels = par->ch_layout.nb_channels;
    if (bits <= 0 || bits % 8 != 0 || channels <= 0) return;
    const int blockAlign = bits / 8 * channels;
    const int64_t bitRate = int64_t{blockAlign} * par->sample_rate * 8;
    if (par->block_align == blockAlign && par->bit_rate == bitRate) return;
    par->block_align = blockAlign;
    par->bit_rate = bitRate;
    // The packets read while the stream was probed were cut by the old block size.
    av_seek_frame(format, stream, 0, AVSEEK_FLAG_BACKWARD);
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
    // A raw ADTS stream's timestamps after a seek are guessed from the bit rate, which damage
    // throws off.
    d->usesIndex_ = NeedsIndex(id) || std::strcmp(d->format_->iformat->name, "aac") == 0;
    // Rendered modules restart their mixer on a seek; only rendering from the start is exact,
    // and it is fast.
    const bool rendered = std::strcmp(d->format_->iformat->name, "libopenmpt") == 0;
    d->seekByDecoding_ = rendered;
    if (rendered) d->maxFrames_ = int64_t{kMaxRenderedSeconds} * d->rate_;
    d->apeDurations_ = id == AV_CODEC_ID_APE;
    // Ogg Vorbis packets give too little for their first frames; the others give what they
    // decode to, or their container says it exactly.
    d->packetTimed_ = !NeedsFullDecode(id) && id != AV_CODEC_ID_VORBIS && !rendered;
    int64_t streamDuration = 0;
    if (st->duration > 0 && st->duration != AV_NOPTS_VALUE) {
        streamDuration = av_rescale_q(st->duration, st->time_base, AVRational{1, d->rate_});
    }
    // AAC in MP4 decodes its last frame's padding too; the container's length is the truth.
    d->lengthIsCap_ = id == AV_CODEC_ID_AAC && IsMp4(d->format_.get()) && streamDuration > 0;
    const bool byDuration = d->lengthIsCap_ || (id == AV_CODEC_ID_APE && streamDuration > 0);
    // Neither the packets of Ogg Vorbis nor its container's count add up to what decodes (a short
    // file decodes 128 frames less than its last granule says), and chained parts (radio rips)
    // leave the container only the last part's count: only a decode measures it.
    const bool decodeToMeasure = NeedsFullDecode(id) || id == AV_CODEC_ID_VORBIS;

    if (streamDuration > 0) {
        d->lengthFrames_ = streamDuration;
    } else if (d->format_->duration > 0) {
        d->lengthFrames_ = av_rescale(d->format_->duration, d->rate_, AV_TIME_BASE);
    }
    d->lengthFrames_ = std::min(d->lengthFrames_, d->maxFrames_);
    if (byDuration) d->exactLength_ = true;

    if ((options.exactLength && !byDuration) || d->usesIndex_) {
        int64_t total = 0;
        const Scan scan = decodeToMeasure ? Scan::kNeedsDecode : d->MeasureByPackets(total);
        bool measured = scan != Scan::kFailed;
        if (scan == Scan::kNeedsDecode) {
            // From the start: the scan has read part of the file already.
            measured = d->Rewind() && d->MeasureByDecoding();
            // Parts whose timestamps start again, or in another format, are reached only by
            // decoding through what comes before them.
            if (d->timelineBroken_) d->seekByDecoding_ = true;
        } else if (scan == Scan::kExact) {
            d->lengthFrames_ = total;
        }
        if (!measured) {
            error = d->failed_ ? BASS_ERROR_MEM : BASS_ERROR_FILEFORM;
            return nullptr;
        }
        if (!d->Rewind()) {
            error = d->failed_ ? BASS_ERROR_MEM : BASS_ERROR_FILEFORM;
            return nullptr;
        }
        d->exactLength_ = true;
    }

    // The first frame fixes the time origin that seeking relies on; a file without one decodable
    // frame is not audio.
    if (!d->Advance()) {
        error = d->failed_ ? BASS_ERROR_MEM : BASS_ERROR_FILEFORM;
        return nullptr;
    }
    if (d->exactLength_ && d->lengthFrames_ == 0) d->ended_ = true;
    error = BASS_OK;
    return d;
}

Decoder::~Decoder() = default;

bool Decoder::OpenContext(int& error) {
    error = BASS_ERROR_FILEFORM;
    AVFormatContext* format = nullptr;
    if (const int r = avformat_open_input(&format, path_.c_str(), nullptr, nullptr); r < 0) {
        // A file that is there but may not be read fails to open, like a missing one.
        if (r == AVERROR(EACCES) || r == AVERROR(EPERM)) error = BASS_ERROR_FILEOPEN;
        return false;
    }
    format_.reset(format);
    if (avformat_find_stream_info(format_.get(), nullptr) < 0) return false;
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ < 0 || codec == nullptr) {
        error = BASS_ERROR_FORMAT;
        return false;
    }
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        if (static_cast<int>(i) != stream_) format_->streams[i]->discard = AVDISCARD_ALL;
    }
    AVStream* st = format_->streams[stream_];
    TrustPcmFormat(format_.get(), stream_);
    codec_.reset(avcodec_alloc_context3(codec));
    if (codec_ == nullptr) {
        error = BASS_ERROR_MEM;
        return false;
    }
    if (avcodec_parameters_to_context(codec_.get(), st->codecpar) < 0) return false;
    codec_->pkt_timebase = st->time_base;
    codec_->thread_count = 1;
    if (avcodec_open2(codec_.get(), codec, nullptr) < 0) return false;
    const int rate = codec_->sample_rate;
    const int channels = codec_->ch_layout.nb_channels;
    if (rate < kMinRate || rate > kMaxRate || channels <= 0 || channels > kMaxChannels) {
        error = BASS_ERROR_FORMAT;
        return false;
    }
    if (rate_ != 0 && (rate != rate_ || channels != channels_)) return false;
    rate_ = rate;
    channels_ = channels;
    sourceBits_ = st->codecpar->bits_per_raw_sample > 0 ? st->codecpar->bits_per_raw_sample
                                                        : st->codecpar->bits_per_coded_sample;
    if (frame_ == nullptr) frame_.reset(av_frame_alloc());
    if (packet_ == nullptr) packet_.reset(av_packet_alloc());
    if (frame_ == nullptr || packet_ == nullptr) {
        failed_ = true;
        error = BASS_ERROR_MEM;
        return false;
    }
    ResetDecoding();
    error = BASS_OK;
    return true;
}

void Decoder::CloseContext() {
    ResetDecoding();
    codec_.reset();
    format_.reset();
}

void Decoder::ResetDecoding() {
    if (codec_ != nullptr) avcodec_flush_buffers(codec_.get());
    batch_.clear();
    batchNext_ = 0;
    if (frame_ != nullptr) av_frame_unref(frame_.get());
    frameValid_ = false;
    frameOffset_ = 0;
    drained_ = false;
    gap_ = 0;
    fedFrames_ = 0;
    decodedFrames_ = 0;
    missingFrames_ = 0;
    missingToDeliver_ = 0;
    resampler_.reset();
}

int64_t Decoder::PacketFrames(const AVPacket& packet, int64_t* whole) const {
    const AVStream* st = format_->streams[stream_];
    int64_t frames = 0;
    if (packet.duration > 0) {
        frames = av_rescale_q(packet.duration, st->time_base, AVRational{1, rate_});
    } else if (apeDurations_ && packet.size >= 8) {
        // Monkey's Audio packets start with the number of frames they decode to.
        frames = AV_RL32(packet.data);
    }
    if (whole != nullptr) *whole = frames;
    size_t size = 0;
    const uint8_t* skip = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
    if (skip != nullptr && size >= 8) {
        frames = std::max<int64_t>(0, frames - AV_RL32(skip) - AV_RL32(skip + 4));
    }
    return frames;
}

Decoder::Scan Decoder::MeasureByPackets(int64_t& total) {
    const AVStream* st = format_->streams[stream_];
    const int64_t jitter = std::max(32, rate_ / 1000);
    int64_t whole = 0;  // the packets' frames before skipping, as their timestamps count
    int64_t first = AV_NOPTS_VALUE;
    total = 0;
    indexLastPos_ = -1;
    indexOrdinal_ = 0;
    index_.clear();
    while (av_read_frame(format_.get(), packet_.get()) >= 0) {
        if (packet_->stream_index != stream_) {
            av_packet_unref(packet_.get());
            continue;
        }
        int64_t frames = 0;
        const int64_t counted = PacketFrames(*packet_, &frames);
        const int64_t ts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
        bool startsAgain = false;
        if (ts != AV_NOPTS_VALUE) {
            const int64_t at = av_rescale_q(ts, st->time_base, AVRational{1, rate_});
            if (first == AV_NOPTS_VALUE) first = at - whole;
            startsAgain = at - first < whole - jitter;
            // Frames lost without a trace (a damaged stretch the demuxer skipped) keep their
            // time as silence, as a pull gives them.
            const int64_t gap = TimestampGap(at - first - whole);
            whole += gap;
            total += gap;
        }
        if (frames <= 0 || startsAgain) {
            // A packet that does not say what it holds, or a second stream after the first:
            // only decoding tells.
            av_packet_unref(packet_.get());
            index_.clear();
            return Scan::kNeedsDecode;
        }
        whole += frames;
        total += counted;
        if (usesIndex_) {
            indexOrdinal_ = packet_->pos == indexLastPos_ ? indexOrdinal_ + 1 : 0;
            indexLastPos_ = packet_->pos;
            index_.push_back({packet_->pos, indexOrdinal_, ts, total});
        }
        av_packet_unref(packet_.get());
        if (total >= maxFrames_) {
            total = maxFrames_;
            break;
        }
    }
    return Scan::kExact;
}

bool Decoder::MeasureByDecoding() {
    indexLastPos_ = -1;
    indexOrdinal_ = 0;
    index_.clear();
    exactLength_ = false;
    measuring_ = true;
    // Reading without converting counts exactly what a pull delivers, silence for damaged
    // frames included.
    while (Read(nullptr, int64_t{1} << 30) > 0) {
    }
    measuring_ = false;
    return !failed_;
}

bool Decoder::NextFrame() {
    if (batchNext_ < batch_.size()) {
        av_frame_unref(frame_.get());
        av_frame_move_ref(frame_.get(), batch_[batchNext_].get());
        if (++batchNext_ == batch_.size()) {
            batch_.clear();
            batchNext_ = 0;
        }
        return true;
    }
    int errors = 0;
    while (!drained_) {
        const int r = avcodec_receive_frame(codec_.get(), frame_.get());
        if (r == 0) {
            decodedFrames_ += frame_->nb_samples;
            if (frame_->nb_samples > 0) return true;
            av_frame_unref(frame_.get());
            continue;
        }
        if (r == AVERROR_EOF) {
            drained_ = true;
            CountMissing();
            break;
        }
        if (r != AVERROR(EAGAIN)) {
            // Damaged data: the decoder has dropped what it was decoding and goes on with the
            // next packet. Out of memory, or nothing but errors, ends the stream.
            if (r == AVERROR(ENOMEM)) failed_ = true;
            if (failed_ || ++errors > kMaxErrorsInARow) {
                drained_ = true;
                break;
            }
            continue;
        }
        errors = 0;
        // Everything fed so far has been decoded.
        CountMissing();
        if (measuring_ && usesIndex_ && !index_.empty()) index_.back().endSample = position_;
        if (av_read_frame(format_.get(), packet_.get()) < 0) {
            // End of the file, or a read error: let the decoder give what it still holds.
            if (avcodec_send_packet(codec_.get(), nullptr) < 0) {
                drained_ = true;
                CountMissing();
            }
            continue;
        }
        if (packet_->stream_index == stream_) {
            if (measuring_ && usesIndex_) {
                indexOrdinal_ = packet_->pos == indexLastPos_ ? indexOrdinal_ + 1 : 0;
                indexLastPos_ = packet_->pos;
                const int64_t ts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
                index_.push_back({packet_->pos, indexOrdinal_, ts, position_});
            }
            if (packetTimed_) fedFrames_ += PacketFrames(*packet_, nullptr);
            // A packet the decoder refuses is damaged data: it is skipped.
            if (avcodec_send_packet(codec_.get(), packet_.get()) == AVERROR(ENOMEM)) {
                failed_ = true;
                drained_ = true;
            }
        }
        av_packet_unref(packet_.get());
    }
    return false;
}

void Decoder::CountMissing() {
    if (!packetTimed_) return;
    const int64_t missing = fedFrames_ - decodedFrames_ - missingFrames_;
    if (missing <= 0) return;
    missingFrames_ += missing;
    missingToDeliver_ += missing;
}

bool Decoder::MatchFormat() {
    AVFrame* in = frame_.get();
    const int channels = in->ch_layout.nb_channels;
    if (in->sample_rate == rate_ && channels == channels_) return true;
    // A later part in another format: positions in it are only known by decoding up to them.
    timelineBroken_ = true;
    if (in->sample_rate < kMinRate || in->sample_rate > kMaxRate || channels <= 0 ||
        channels > kMaxChannels) {
        return false;
    }
    if (resampler_ == nullptr || resamplerRate_ != in->sample_rate ||
        resamplerChannels_ != channels || resamplerFormat_ != in->format) {
        AVChannelLayout inLayout{};
        AVChannelLayout outLayout{};
        av_channel_layout_default(&inLayout, channels);
        av_channel_layout_default(&outLayout, channels_);
        SwrContext* made = nullptr;
        if (swr_alloc_set_opts2(&made, &outLayout, AV_SAMPLE_FMT_FLT, rate_, &inLayout,
                                static_cast<AVSampleFormat>(in->format), in->sample_rate, 0,
                                nullptr) < 0) {
            return false;
        }
        resampler_.reset(made);
        if (channels == 1) {
            // A mono part plays at its own level on every channel.
            std::vector<double> matrix(static_cast<size_t>(channels_), 1.0);
            swr_set_matrix(made, matrix.data(), 1);
        }
        if (swr_init(made) < 0) {
            resampler_.reset();
            return false;
        }
        resamplerRate_ = in->sample_rate;
        resamplerChannels_ = channels;
        resamplerFormat_ = in->format;
    }
    if (converted_ == nullptr) converted_.reset(av_frame_alloc());
    if (converted_ == nullptr) return false;
    AVFrame* out = converted_.get();
    av_frame_unref(out);
    out->format = AV_SAMPLE_FMT_FLT;
    out->sample_rate = rate_;
    av_channel_layout_default(&out->ch_layout, channels_);
    out->nb_samples = std::max(1, swr_get_out_samples(resampler_.get(), in->nb_samples));
    if (av_frame_get_buffer(out, 0) < 0) return false;
    const int made = swr_convert(resampler_.get(), out->extended_data, out->nb_samples,
                                 const_cast<const uint8_t**>(in->extended_data), in->nb_samples);
    if (made < 0) return false;
    out->nb_samples = made;
    out->best_effort_timestamp = in->best_effort_timestamp;
    av_frame_unref(in);
    av_frame_move_ref(in, out);
    return true;
}

bool Decoder::Advance() {
    frameValid_ = false;
    for (;;) {
        const bool more = NextFrame();
        // What damaged packets should have given comes first, as silence.
        gap_ += missingToDeliver_;
        missingToDeliver_ = 0;
        if (!more) return false;
        if (!MatchFormat()) {
            // Not convertible: dropped like damaged data.
            av_frame_unref(frame_.get());
            continue;
        }
        if (frame_->nb_samples > 0) break;
        av_frame_unref(frame_.get());
    }
    const int64_t start = position_ + gap_;
    const int64_t ts = frame_->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE) {
        const AVRational timeBase = format_->streams[stream_]->time_base;
        const int64_t at = av_rescale_q_rnd(ts, timeBase, AVRational{1, rate_}, AV_ROUND_NEAR_INF);
        if (!originKnown_) {
            origin_ = at - start;
            originKnown_ = true;
        } else if (!usesIndex_ && at - origin_ < start - std::max(32, rate_ / 1000)) {
            // The timestamps start again: a second stream appended to the first.
            timelineBroken_ = true;
        } else {
            gap_ += TimestampGap(at - origin_ - start);
        }
    }
    frameValid_ = true;
    frameOffset_ = 0;
    return true;
}

int64_t Decoder::TimestampGap(int64_t gap) const {
    // Only where timestamps are sample-accurate, and only for a real gap: not jitter, and not a
    // jump so large it is a broken timestamp rather than lost frames.
    if (usesIndex_ || seekByDecoding_ || timelineBroken_) return 0;
    if (gap < std::max(32, rate_ / 1000) || gap > int64_t{rate_} * 10) return 0;
    return gap;
}

int64_t Decoder::FrameStartFromTimestamp() const {
    const int64_t ts = frame_->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE || !originKnown_) return AV_NOPTS_VALUE;
    const AVStream* st = format_->streams[stream_];
    return av_rescale_q_rnd(ts, st->time_base, AVRational{1, rate_}, AV_ROUND_NEAR_INF) - origin_;
}

int64_t Decoder::Limit() const {
    return std::min(exactLength_ || lengthIsCap_ ? lengthFrames_ : INT64_MAX, maxFrames_);
}

int64_t Decoder::Read(uint8_t* out, int64_t frames) {
    int64_t got = 0;
    while (got < frames && !ended_) {
        const int64_t room = Limit() - position_;
        if (room <= 0) {
            ended_ = true;
            if (!seeking_) {
                lengthFrames_ = position_;
                exactLength_ = true;
            }
            break;
        }
        if (gap_ > 0) {
            // A frame the decoder dropped (damaged data): its time is kept as silence, so the
            // stream stays as long as measured and positions stay on the file's timeline.
            const int64_t n = std::min({gap_, frames - got, room});
            if (out != nullptr) {
                std::memset(out + got * FrameBytes(), 0, static_cast<size_t>(n * FrameBytes()));
            }
            gap_ -= n;
            position_ += n;
            got += n;
            continue;
        }
        if (!frameValid_ || frameOffset_ >= frame_->nb_samples) {
            if (!Advance() && gap_ == 0) {
                ended_ = true;
                // Decoding has told the true length (damaged data can end it before the
                // measured one). A seek that runs into the end is refused instead.
                if (!seeking_) {
                    lengthFrames_ = position_;
                    exactLength_ = true;
                }
                break;
            }
            continue;
        }
        const int64_t n =
            std::min({frames - got, int64_t{frame_->nb_samples} - frameOffset_, room});
        if (out != nullptr) {
            if (!ConvertSamples(frame_.get(), frameOffset_, static_cast<int>(n), channels_,
                                floatSamples_, out + got * FrameBytes())) {
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
    return frames >= 0 && Read(nullptr, frames) == frames;
}

bool Decoder::Seek(int64_t frame) {
    if (frame < 0 || frame > maxFrames_) return false;
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
    if (seekByDecoding_ || timelineBroken_) {
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
    const int64_t preroll = rate_ / 20;
    // Pre-rolls long enough for every decoder's warm-up; a longer one is tried when a seek
    // lands past the target.
    for (const int64_t margin : {int64_t{rate_} / 10, int64_t{rate_}, int64_t{rate_} * 5}) {
        const int64_t target = frame - margin;
        if (target <= 0 || !originKnown_) break;
        const int64_t ts = av_rescale_q(target + origin_, AVRational{1, rate_}, st->time_base);
        if (av_seek_frame(format_.get(), stream_, ts, AVSEEK_FLAG_BACKWARD) < 0) break;
        ResetDecoding();
        if (!NextFrame()) continue;
        // What went missing before the first frame lies before its timestamp.
        missingToDeliver_ = 0;
        if (!MatchFormat()) break;
        const int64_t start = FrameStartFromTimestamp();
        if (start == AV_NOPTS_VALUE) break;
        // A landing too close to the target leaves the decoder no frames to settle in.
        if (start > frame - preroll) continue;
        frameValid_ = true;
        frameOffset_ = 0;
        position_ = start;
        if (SkipForward(frame - start)) return true;
        break;  // the timestamps misled: decode from the start instead
    }
    return Rewind() && SkipForward(frame);
}

bool Decoder::SeekByIndex(int64_t frame) {
    // The first packet whose output reaches past the target.
    auto it = std::upper_bound(index_.begin(), index_.end(), frame,
                               [](int64_t f, const IndexEntry& e) { return f < e.endSample; });
    const ptrdiff_t target = it - index_.begin();
    for (const int64_t margin : {int64_t{rate_} / 10, int64_t{rate_}, int64_t{rate_} * 5}) {
        // Step back past the pre-roll, then a few packets more for the decoder's overlap.
        ptrdiff_t k = target;
        while (k > 0 && index_[k - 1].endSample > frame - margin)
            --k;
        k = std::max<ptrdiff_t>(0, k - 3);
        if (k == 0 || index_[k].timestamp == AV_NOPTS_VALUE) break;
        if (av_seek_frame(format_.get(), stream_, index_[k].timestamp, AVSEEK_FLAG_BACKWARD) < 0) {
            break;
        }
        ResetDecoding();

        ptrdiff_t matched = -1;
        int64_t lastPos = -1;
        int32_t ordinal = 0;
        bool overshot = false;
        std::vector<FramePtr> frames;
        while (av_read_frame(format_.get(), packet_.get()) >= 0) {
            if (packet_->stream_index != stream_) {
                av_packet_unref(packet_.get());
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
            avcodec_send_packet(codec_.get(), packet_.get());
            av_packet_unref(packet_.get());
            int64_t total = 0;
            for (;;) {
                FramePtr f(av_frame_alloc());
                if (f == nullptr) {
                    failed_ = true;
                    return false;
                }
                if (avcodec_receive_frame(codec_.get(), f.get()) != 0) break;
                total += f->nb_samples;
                frames.push_back(std::move(f));
            }
            if (j < 0 || j >= static_cast<ptrdiff_t>(index_.size())) {
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
                frameValid_ = false;
                if (start > frame) {
                    // The target lies in the silence that damaged packets before this one left.
                    position_ = frame;
                    gap_ = start - frame;
                    return true;
                }
                position_ = start;
                return SkipForward(frame - start);
            }
            frames.clear();
        }
        if (!overshot) break;
    }
    return Rewind() && SkipForward(frame);
}

}  // namespace chime
