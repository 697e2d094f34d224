#include "wave.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace chime::faac {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The sub-format of an extensible 'fmt ' chunk is a GUID whose first two bytes carry the
// plain format code and whose remaining bytes are always these.
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool IsId(const uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

// Skips count bytes of a stream that cannot seek; false when it ends first or fails.
bool Skip(ByteSource& source, int64_t count) {
    uint8_t scratch[4096];
    while (count > 0) {
        const int64_t got = source.Read(scratch, std::min<int64_t>(count, sizeof scratch));
        if (got <= 0) return false;
        count -= got;
    }
    return true;
}

bool ParseFmt(const uint8_t* fmt, uint32_t size, WaveFormat& format, std::string& error) {
    uint16_t tag = Le16(fmt);
    const uint16_t channels = Le16(fmt + 2);
    const uint32_t rate = Le32(fmt + 4);
    const uint16_t blockAlign = Le16(fmt + 12);
    const uint16_t bits = Le16(fmt + 14);
    if (tag == kFormatExtensible) {
        if (size < 40 || Le16(fmt + 16) < 22) {
            error = "the extensible 'fmt ' chunk is too short";
            return false;
        }
        const uint8_t* guid = fmt + 24;
        if (std::memcmp(guid + 2, kSubFormatTail, sizeof kSubFormatTail) != 0) {
            error = "the extensible 'fmt ' chunk has an unknown sub-format";
            return false;
        }
        tag = Le16(guid);
    }
    if (tag == kFormatPcm && bits == 8) {
        format.sampleFormat = SampleFormat::kU8;
    } else if (tag == kFormatPcm && bits == 16) {
        format.sampleFormat = SampleFormat::kS16;
    } else if (tag == kFormatFloat && bits == 32) {
        format.sampleFormat = SampleFormat::kF32;
    } else {
        error = "unsupported sample format (format code " + std::to_string(tag) + ", " +
                std::to_string(bits) + " bits): 8-bit or 16-bit PCM or 32-bit float expected";
        return false;
    }
    if (channels == 0) {
        error = "the 'fmt ' chunk gives no channels";
        return false;
    }
    if (rate < kMinSampleRate || rate > kMaxSampleRate) {
        error = "the 'fmt ' chunk gives an impossible sample rate (" + std::to_string(rate) +
                " Hz): " + std::to_string(kMinSampleRate) + " to " +
                std::to_string(kMaxSampleRate) + " Hz expected";
        return false;
    }
    format.channels = channels;
    format.sampleRate = static_cast<int>(rate);
    if (blockAlign != format.BytesPerFrame()) {
        error = "the 'fmt ' chunk's block size (" + std::to_string(blockAlign) +
                ") does not match its channels and sample size";
        return false;
    }
    return true;
}

}  // namespace

int64_t FdSource::Read(uint8_t* buffer, int64_t size) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, static_cast<size_t>(size));
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

int64_t ReadFully(ByteSource& source, uint8_t* buffer, int64_t size) {
    int64_t done = 0;
    while (done < size) {
        const int64_t got = source.Read(buffer + done, size - done);
        if (got < 0) return -1;
        if (got == 0) break;
        done += got;
    }
    return done;
}

int WaveFormat::BytesPerSample() const {
    switch (sampleFormat) {
        case SampleFormat::kU8:
            return 1;
        case SampleFormat::kS16:
            return 2;
        case SampleFormat::kF32:
            return 4;
    }
    return 0;
}

bool ReadWaveHeader(ByteSource& source, WaveFormat& format, std::string& error) {
    uint8_t riff[12];
    const int64_t got = ReadFully(source, riff, sizeof riff);
    if (got < 0) {
        error = std::string("cannot read: ") + std::strerror(errno);
        return false;
    }
    if (got == 0) {
        error = "the input is empty: a WAVE stream was expected";
        return false;
    }
    if (got < 4 || !IsId(riff, "RIFF")) {
        error = "not a WAVE stream (no RIFF header)";
        return false;
    }
    if (got < 12) {
        error = "the WAVE header is cut short";
        return false;
    }
    if (!IsId(riff + 8, "WAVE")) {
        error = "not a WAVE stream (a RIFF stream of another kind)";
        return false;
    }

    bool haveFmt = false;
    for (;;) {
        uint8_t chunk[8];
        const int64_t headerGot = ReadFully(source, chunk, sizeof chunk);
        if (headerGot < 0) {
            error = std::string("cannot read: ") + std::strerror(errno);
            return false;
        }
        if (headerGot < 8) {
            error = haveFmt ? "the WAVE stream has no 'data' chunk"
                            : "the WAVE stream has no 'fmt ' chunk";
            return false;
        }
        const uint32_t size = Le32(chunk + 4);
        if (IsId(chunk, "data")) {
            if (!haveFmt) {
                error = "the 'data' chunk comes before the 'fmt ' chunk";
                return false;
            }
            format.dataBytes = (size == 0 || size == 0xFFFFFFFFu) ? -1 : static_cast<int64_t>(size);
            return true;
        }
        // Chunks are padded to an even length.
        int64_t toSkip = static_cast<int64_t>(size) + (size & 1);
        if (IsId(chunk, "fmt ") && !haveFmt) {
            if (size < 16) {
                error = "the 'fmt ' chunk is too short";
                return false;
            }
            uint8_t fmt[40] = {};
            const int64_t want = std::min<int64_t>(size, sizeof fmt);
            if (ReadFully(source, fmt, want) != want) {
                error = "the WAVE header is cut short";
                return false;
            }
            if (!ParseFmt(fmt, size, format, error)) return false;
            haveFmt = true;
            toSkip -= want;
        }
        if (!Skip(source, toSkip)) {
            error = haveFmt ? "the WAVE stream has no 'data' chunk"
                            : "the WAVE stream has no 'fmt ' chunk";
            return false;
        }
    }
}

FrameReader::FrameReader(ByteSource& source, const WaveFormat& format)
    : source_(source), bytesPerFrame_(format.BytesPerFrame()), bytesLeft_(format.dataBytes) {}

int64_t FrameReader::Read(uint8_t* bytes, int64_t maxFrames) {
    if (ended_ || maxFrames <= 0) return 0;
    int64_t want = maxFrames * bytesPerFrame_;
    if (bytesLeft_ >= 0) want = std::min(want, bytesLeft_ / bytesPerFrame_ * bytesPerFrame_);
    const int64_t got = ReadFully(source_, bytes, want);
    if (got < 0) return -1;
    if (got < want || want == 0) ended_ = true;
    if (bytesLeft_ >= 0) bytesLeft_ -= got;
    return got / bytesPerFrame_;
}

void ToPlanarFloat(const uint8_t* bytes, int64_t frames, const WaveFormat& format,
                   float* const* planes) {
    const int channels = format.channels;
    switch (format.sampleFormat) {
        case SampleFormat::kU8:
            for (int64_t i = 0; i < frames; ++i) {
                for (int c = 0; c < channels; ++c) {
                    planes[c][i] = (static_cast<int>(*bytes++) - 128) * (1.0f / 128);
                }
            }
            break;
        case SampleFormat::kS16:
            for (int64_t i = 0; i < frames; ++i) {
                for (int c = 0; c < channels; ++c, bytes += 2) {
                    planes[c][i] = static_cast<int16_t>(Le16(bytes)) * (1.0f / 32768);
                }
            }
            break;
        case SampleFormat::kF32:
            for (int64_t i = 0; i < frames; ++i) {
                for (int c = 0; c < channels; ++c, bytes += 4) {
                    const float v = std::bit_cast<float>(Le32(bytes));
                    planes[c][i] = std::isnan(v) ? 0.0f : std::clamp(v, -1.0f, 1.0f);
                }
            }
            break;
    }
}

}  // namespace chime::faac
