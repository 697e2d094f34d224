#include "aac_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace chime::faac {
namespace {

constexpr int kIoBufferSize = 64 * 1024;

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The output file as FFmpeg sees it; the MP4 muxer seeks back to complete its headers.
struct OutputFile {
    int fd = -1;
    int error = 0;  // the errno of the first failed write or seek
};

int WriteOutput(void* opaque, uint8_t* data, int size) {
    auto* file = static_cast<OutputFile*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(file->fd, data + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (file->error == 0) file->error = n < 0 ? errno : EIO;
            return AVERROR(file->error);
        }
        done += static_cast<int>(n);
    }
    return size;
}

int64_t SeekOutput(void* opaque, int64_t offset, int whence) {
    auto* file = static_cast<OutputFile*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat info {};
        return ::fstat(file->fd, &info) == 0 ? info.st_size : AVERROR(errno);
    }
    const off_t at = ::lseek(file->fd, offset, whence & ~AVSEEK_FORCE);
    if (at < 0) {
        if (file->error == 0) file->error = errno;
        return AVERROR(errno);
    }
    return at;
}

AVCodecContext* OpenEncoder(const AVCodec* codec, int rate, int channels) {
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (context == nullptr) return nullptr;
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = rate;
    av_channel_layout_default(&context->ch_layout, channels);
    context->bit_rate = kBitRate;
    context->profile = FF_PROFILE_AAC_LOW;
    context->time_base = AVRational{1, rate};
    // MP4 keeps the decoder configuration in its header, not in the stream.
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The encoder's fast quantiser search: at this bit rate its error comes within about half a
    // decibel of the two-loop search's (measured on music-like test signals), at a third of the
    // time, so a ringtone is encoded while it is read.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "aac_coder", "fast", 0);
    if (avcodec_open2(context, codec, &options) < 0) avcodec_free_context(&context);
    av_dict_free(&options);
    return context;
}

// The rate the encoder falls back to for one it refuses: the next higher one it takes, so that
// nothing of the input's band is lost, or its highest.
int FallbackRate(const AVCodec* codec, int rate) {
    int best = 0;
    int highest = 0;
    for (const int* r = codec->supported_samplerates; r != nullptr && *r != 0; ++r) {
        highest = std::max(highest, *r);
        if (*r >= rate && (best == 0 || *r < best)) best = *r;
    }
    return best != 0 ? best : highest;
}

// Converts planar float from one rate and channel count to another. Channel counts without a
// standard layout have no positions to mix by: their even channels go to the left and their
// odd ones to the right.
SwrContext* OpenResampler(int inRate, int inChannels, int outRate, const AVChannelLayout& out) {
    AVChannelLayout in{};
    AVChannelLayout outLayout{};  // swr_alloc_set_opts2 wants it writable
    av_channel_layout_default(&in, inChannels);
    SwrContext* resampler = nullptr;
    int result = av_channel_layout_copy(&outLayout, &out);
    if (result >= 0) {
        result = swr_alloc_set_opts2(&resampler, &outLayout, AV_SAMPLE_FMT_FLTP, outRate, &in,
                                     AV_SAMPLE_FMT_FLTP, inRate, 0, nullptr);
    }
    if (result >= 0 && in.order != AV_CHANNEL_ORDER_NATIVE && out.nb_channels <= 2) {
        const int outChannels = out.nb_channels;
        std::vector<double> matrix(outChannels * inChannels, 0.0);
        const int perSide = (inChannels + outChannels - 1) / outChannels;
        for (int i = 0; i < inChannels; ++i) {
            matrix[(i % outChannels) * inChannels + i] = 1.0 / perSide;
        }
        result = swr_set_matrix(resampler, matrix.data(), inChannels);
    }
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&outLayout);
    if (result >= 0) result = swr_init(resampler);
    if (result < 0) swr_free(&resampler);
    return resampler;
}

void AddTag(AVDictionary** metadata, const char* key, const std::string& value) {
    if (!value.empty()) av_dict_set(metadata, key, value.c_str(), 0);
}

}  // namespace

struct AacMp4Writer::State {
    OutputFile file;
    AVCodecContext* codec = nullptr;
    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;
    AVStream* stream = nullptr;
    SwrContext* resampler = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int fill = 0;                               // samples already in frame
    int64_t nextPts = 0;                        // of frame, in samples of the output rate
    int64_t framesLeft = 0;                     // of the output's length still to come
    std::vector<std::vector<float>> converted;  // the resampler's output

    ~State() {
        swr_free(&resampler);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        if (format != nullptr) avformat_free_context(format);
        if (io != nullptr) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }

    bool WritePackets(std::string& error) {
        int result;
        while ((result = avcodec_receive_packet(codec, packet)) == 0) {
            packet->stream_index = stream->index;
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            result = av_write_frame(format, packet);
            av_packet_unref(packet);
            if (result < 0) return Failed("cannot write the output", result, error);
        }
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
        return Failed("the AAC encoder failed", result, error);
    }

    bool SendFrame(std::string& error) {
        frame->nb_samples = fill;
        frame->pts = nextPts;
        nextPts += fill;
        fill = 0;
        const int result = avcodec_send_frame(codec, frame);
        if (result < 0) return Failed("the AAC encoder failed", result, error);
        return WritePackets(error);
    }

    // Adds count samples per channel to the encoder's input, silence when planes is null.
    bool Append(const float* const* planes, int64_t count, std::string& error) {
        count = std::min(count, framesLeft);
        framesLeft -= count;
        return AppendUnlimited(planes, count, error);
    }

    bool AppendUnlimited(const float* const* planes, int64_t count, std::string& error) {
        const int channels = codec->ch_layout.nb_channels;
        int64_t done = 0;
        while (done < count) {
            if (fill == 0) {
                frame->nb_samples = codec->frame_size;
                // The encoder may still hold the previous frame's buffer.
                if (av_frame_make_writable(frame) < 0) {
                    error = "out of memory";
                    return false;
                }
            }
            const int n =
                static_cast<int>(std::min<int64_t>(codec->frame_size - fill, count - done));
            for (int c = 0; c < channels; ++c) {
                float* to = reinterpret_cast<float*>(frame->extended_data[c]) + fill;
                if (planes != nullptr) {
                    std::memcpy(to, planes[c] + done, sizeof(float) * n);
                } else {
                    std::fill_n(to, n, 0.0f);
                }
            }
            fill += n;
            done += n;
            if (fill == codec->frame_size && !SendFrame(error)) return false;
        }
        return true;
    }

    // Runs the resampler on count input samples per channel (none to drain it) and appends
    // its output.
    bool Resample(const float* const* planes, int count, std::string& error) {
        const int capacity = swr_get_out_samples(resampler, count);
        if (capacity < 0) return Failed("cannot resample", capacity, error);
        std::vector<float*> out;
        for (auto& plane : converted) {
            if (static_cast<int>(plane.size()) < capacity) plane.resize(capacity);
            out.push_back(plane.data());
        }
        for (;;) {
            // swr_convert takes its input as uint8_t pointers without a const on the array.
            const int made = swr_convert(
                resampler, reinterpret_cast<uint8_t**>(out.data()), capacity,
                const_cast<const uint8_t**>(reinterpret_cast<const uint8_t* const*>(planes)),
                count);
            if (made < 0) return Failed("cannot resample", made, error);
            if (!Append(out.data(), made, error)) return false;
            if (planes != nullptr || made == 0) return true;
        }
    }

    bool Failed(const char* what, int code, std::string& error) {
        error = what;
        error += ": ";
        error += file.error != 0 ? std::strerror(file.error) : AvError(code);
        return false;
    }
};

AacMp4Writer::AacMp4Writer(std::unique_ptr<State> state) : state_(std::move(state)) {}
AacMp4Writer::~AacMp4Writer() = default;

std::unique_ptr<AacMp4Writer> AacMp4Writer::Create(int fd, int sampleRate, int channels,
                                                   int64_t inputFrames, const Tags& tags,
                                                   std::string& error) {
    // FFmpeg's own messages would only repeat, less clearly, what the caller reports.
    av_log_set_level(AV_LOG_FATAL);
    auto state = std::make_unique<State>();
    State& s = *state;
    s.file.fd = fd;

    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        error = "FFmpeg has no AAC encoder";
        return nullptr;
    }
    const int fallbackRate = FallbackRate(codec, sampleRate);
    const std::pair<int, int> tries[] = {
        {sampleRate, channels}, {fallbackRate, channels}, {fallbackRate, std::min(channels, 2)}};
    for (const auto& [rate, count] : tries) {
        if ((s.codec = OpenEncoder(codec, rate, count)) != nullptr) break;
    }
    if (s.codec == nullptr) {
        error = "the AAC encoder takes neither " + std::to_string(sampleRate) + " Hz with " +
                std::to_string(channels) + " channels nor anything this can be converted to";
        return nullptr;
    }

    int64_t outputFrames = inputFrames;
    if (s.codec->sample_rate != sampleRate || s.codec->ch_layout.nb_channels != channels) {
        s.resampler = OpenResampler(sampleRate, channels, s.codec->sample_rate, s.codec->ch_layout);
        if (s.resampler == nullptr) {
            error = "cannot convert " + std::to_string(sampleRate) + " Hz with " +
                    std::to_string(channels) + " channels for the AAC encoder";
            return nullptr;
        }
        s.converted.resize(s.codec->ch_layout.nb_channels);
        outputFrames = std::max<int64_t>(
            1, av_rescale_rnd(inputFrames, s.codec->sample_rate, sampleRate, AV_ROUND_NEAR_INF));
    }
    s.framesLeft = outputFrames;

    if (avformat_alloc_output_context2(&s.format, nullptr, "ipod", nullptr) < 0) {
        error = "FFmpeg has no ipod muxer";
        return nullptr;
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (buffer != nullptr) {
        s.io =
            avio_alloc_context(buffer, kIoBufferSize, 1, &s.file, nullptr, WriteOutput, SeekOutput);
    }
    s.stream = avformat_new_stream(s.format, nullptr);
    s.frame = av_frame_alloc();
    s.packet = av_packet_alloc();
    if (s.io == nullptr) av_free(buffer);
    if (s.io == nullptr || s.stream == nullptr || s.frame == nullptr || s.packet == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    s.format->pb = s.io;
    s.format->flags |= AVFMT_FLAG_CUSTOM_IO;
    avcodec_parameters_from_context(s.stream->codecpar, s.codec);
    s.stream->time_base = s.codec->time_base;
    AddTag(&s.format->metadata, "title", tags.title);
    AddTag(&s.format->metadata, "artist", tags.artist);
    AddTag(&s.format->metadata, "album", tags.album);
    AddTag(&s.format->metadata, "genre", tags.genre);
    AddTag(&s.format->metadata, "date", tags.year);
    // The edit list counts in samples rather than milliseconds, so that an output shorter than
    // a millisecond still has a length.
    av_opt_set_int(s.format->priv_data, "movie_timescale", s.codec->sample_rate, 0);
    if (const int result = avformat_write_header(s.format, nullptr); result < 0) {
        s.Failed("cannot write the output", result, error);
        return nullptr;
    }

    s.frame->format = AV_SAMPLE_FMT_FLTP;
    s.frame->sample_rate = s.codec->sample_rate;
    s.frame->nb_samples = s.codec->frame_size;
    if (av_channel_layout_copy(&s.frame->ch_layout, &s.codec->ch_layout) < 0 ||
        av_frame_get_buffer(s.frame, 0) < 0) {
        error = "out of memory";
        return nullptr;
    }
    // The silence that fills up the last frame goes before the first sample, with negative
    // timestamps, so that the edit list drops it together with the encoder's priming: readers
    // (libavformat among them) honour where the edit list starts, to the sample, while
    // libavformat plays the last frame whole. libavformat also takes the last frame to last as
    // long as the whole edit and drops it when that is less than the silence before the first
    // sample; an output of about half a frame
    // or less therefore keeps its padding at the end, decoded there as part of its one frame.
    const int64_t frameSize = s.codec->frame_size;
    const int64_t oneMs = (s.codec->sample_rate + 999) / 1000;
    const bool leadFits = 2 * outputFrames > frameSize + oneMs + 1;
    const int64_t lead = leadFits ? (frameSize - outputFrames % frameSize) % frameSize : 0;
    s.nextPts = -lead;
    if (!s.AppendUnlimited(nullptr, lead, error)) return nullptr;
    return std::unique_ptr<AacMp4Writer>(new AacMp4Writer(std::move(state)));
}

bool AacMp4Writer::Write(const float* const* planes, int frames, std::string& error) {
    if (state_->resampler != nullptr) return state_->Resample(planes, frames, error);
    return state_->Append(planes, frames, error);
}

bool AacMp4Writer::Finish(std::string& error) {
    State& s = *state_;
    if (s.resampler != nullptr && !s.Resample(nullptr, 0, error)) return false;
    // A resampler may deliver a few samples less than the length promised.
    if (!s.Append(nullptr, s.framesLeft, error)) return false;
    // A frame that is not full is left only by a short output, which keeps its padding at the
    // end: the encoder gives its packet the true duration, so the edit list ends with the input.
    if (s.fill > 0 && !s.SendFrame(error)) return false;
    if (const int result = avcodec_send_frame(s.codec, nullptr); result < 0) {
        return s.Failed("the AAC encoder failed", result, error);
    }
    if (!s.WritePackets(error)) return false;
    if (const int result = av_write_trailer(s.format); result < 0) {
        return s.Failed("cannot write the output", result, error);
    }
    avio_flush(s.io);
    if (s.file.error != 0 || s.io->error < 0) {
        return s.Failed("cannot write the output", s.io->error, error);
    }
    return true;
}

}  // namespace chime::faac
