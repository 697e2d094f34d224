#include "check.h"

#include <cstdio>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace chime {
namespace {

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

bool ReadRingtone(const std::string& path, RingtoneFacts& facts, std::string& error,
                  const std::atomic<bool>* stop) {
    facts = {};
    AVFormatContext* opened = nullptr;
    int r = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
    if (r < 0) {
        error = "cannot open it: " + AvError(r);
        return false;
    }
    std::unique_ptr<AVFormatContext, FormatCloser> format(opened);
    if ((r = avformat_find_stream_info(format.get(), nullptr)) < 0) {
        error = "cannot read it: " + AvError(r);
        return false;
    }
    if (const AVDictionaryEntry* brand = av_dict_get(format->metadata, "major_brand", nullptr, 0)) {
        facts.brand = brand->value;
    }
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        error = "it holds no audio";
        return false;
    }
    const AVCodecParameters* par = format->streams[index]->codecpar;
    facts.codec = par->codec_id == AV_CODEC_ID_AAC && par->profile == FF_PROFILE_AAC_LOW
                      ? "AAC-LC"
                      : avcodec_get_name(par->codec_id);
    facts.rate = par->sample_rate;
    facts.channels = par->ch_layout.nb_channels;

    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    std::unique_ptr<AVCodecContext, CodecFreer> codec(decoder ? avcodec_alloc_context3(decoder)
                                                              : nullptr);
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    if (!codec || !packet || !frame) {
        error = "no decoder for " + facts.codec;
        return false;
    }
    if ((r = avcodec_parameters_to_context(codec.get(), par)) < 0 ||
        (r = avcodec_open2(codec.get(), decoder, nullptr)) < 0) {
        error = "cannot decode it: " + AvError(r);
        return false;
    }
    int64_t audioBytes = 0;
    // The decoder drops the priming that the container's edit list names.
    auto drain = [&]() -> bool {
        while ((r = avcodec_receive_frame(codec.get(), frame.get())) >= 0) {
            facts.frames += frame->nb_samples;
            av_frame_unref(frame.get());
        }
        return r == AVERROR(EAGAIN) || r == AVERROR_EOF;
    };
    while ((r = av_read_frame(format.get(), packet.get())) >= 0) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            error = "stopped";
            return false;
        }
        if (packet->stream_index == index) {
            audioBytes += packet->size;
            const int sent = avcodec_send_packet(codec.get(), packet.get());
            if (sent < 0 || !drain()) {
                error = "its audio does not decode: " + AvError(sent < 0 ? sent : r);
                return false;
            }
        }
        av_packet_unref(packet.get());
    }
    if (r != AVERROR_EOF) {
        error = "cannot read it to its end: " + AvError(r);
        return false;
    }
    avcodec_send_packet(codec.get(), nullptr);
    if (!drain()) {
        error = "its audio does not decode to the end: " + AvError(r);
        return false;
    }
    if (facts.frames > 0 && facts.rate > 0) {
        facts.bitRate = audioBytes * 8 * facts.rate / facts.frames;
    }
    return true;
}

bool IsExpectedRingtone(const RingtoneFacts& facts, int64_t frames, std::string& error) {
    char text[256];
    if (facts.brand != "M4A ") {
        error = "its brand is \"" + facts.brand + "\", not \"M4A \"";
    } else if (facts.codec != "AAC-LC") {
        error = "its audio is " + facts.codec + ", not AAC-LC";
    } else if (facts.rate != 44100 || facts.channels != 2) {
        std::snprintf(text, sizeof text, "it is %d Hz with %d channels, not 44100 Hz stereo",
                      facts.rate, facts.channels);
        error = text;
    } else if (facts.frames != frames) {
        std::snprintf(text, sizeof text, "it decodes to %lld samples, not %lld",
                      static_cast<long long>(facts.frames), static_cast<long long>(frames));
        error = text;
    } else {
        return true;
    }
    return false;
}

std::string DescribeRingtone(const std::string& path, const RingtoneFacts& facts) {
    char text[256];
    std::snprintf(text, sizeof text, ": %.3f s, %s, %d Hz, %d channels, %lld kb/s", facts.Seconds(),
                  facts.codec.c_str(), facts.rate, facts.channels,
                  static_cast<long long>((facts.bitRate + 500) / 1000));
    return path + text;
}

}  // namespace chime
