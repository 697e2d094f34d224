#pragma once

// WAVE streams built in memory for the tests, with synthesised sines.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "wave.h"

namespace chime::faac::test {

using Bytes = std::vector<uint8_t>;

// How the 'data' chunk's size field is filled in.
enum class DataSize {
    kExact,
    kZero,      // left at 0 by a writer that cannot seek back
    kOpen,      // 0xFFFFFFFF, the same
    kOversize,  // announces more than the stream holds, as a cut-off stream does
};

struct WaveParams {
    SampleFormat format = SampleFormat::kS16;
    int rate = 44100;
    int channels = 2;
    bool extensible = false;
    bool listChunk = false;  // an odd-sized chunk before 'fmt ' and one between it and 'data'
    DataSize dataSize = DataSize::kExact;
    Bytes trailer;  // bytes after the data chunk
};

// Channel c carries a sine of 300 * (c + 1) Hz at half scale, so that swapped or mixed
// channels show.
inline std::vector<float> Sines(int64_t frames, int channels, int rate) {
    std::vector<float> samples(frames * channels);
    for (int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            const double phase = 2 * std::numbers::pi * 300.0 * (c + 1) * i / rate;
            samples[i * channels + c] = static_cast<float>(0.5 * std::sin(phase));
        }
    }
    return samples;
}

inline void Put16(Bytes& out, uint32_t v) {
    out.push_back(v & 0xFF);
    out.push_back((v >> 8) & 0xFF);
}
inline void Put32(Bytes& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
inline void PutId(Bytes& out, const char* id) {
    out.insert(out.end(), id, id + 4);
}

inline Bytes SampleBytes(const std::vector<float>& samples, SampleFormat format) {
    Bytes out;
    for (const float v : samples) {
        switch (format) {
            case SampleFormat::kU8:
                out.push_back(
                    static_cast<uint8_t>(std::clamp(std::lrint(v * 128) + 128, 0L, 255L)));
                break;
            case SampleFormat::kS16:
                Put16(out,
                      static_cast<uint16_t>(std::clamp(std::lrint(v * 32768), -32768L, 32767L)));
                break;
            case SampleFormat::kF32: {
                uint32_t bits;
                std::memcpy(&bits, &v, 4);
                Put32(out, bits);
                break;
            }
        }
    }
    return out;
}

// The bytes of a WAVE stream holding samples (interleaved, full scale +-1).
inline Bytes MakeWave(const WaveParams& params, const std::vector<float>& samples) {
    const Bytes data = SampleBytes(samples, params.format);
    const int bytesPerSample =
        params.format == SampleFormat::kU8 ? 1 : (params.format == SampleFormat::kS16 ? 2 : 4);
    const uint16_t code = params.format == SampleFormat::kF32 ? 3 : 1;

    Bytes out;
    PutId(out, "RIFF");
    Put32(out, 0);  // patched below
    PutId(out, "WAVE");
    if (params.listChunk) {
        PutId(out, "LIST");
        Put32(out, 5);
        out.insert(out.end(), {'I', 'N', 'F', 'O', '!', 0});  // 5 bytes and the pad byte
    }
    PutId(out, "fmt ");
    Put32(out, params.extensible ? 40 : 16);
    Put16(out, params.extensible ? 0xFFFE : code);
    Put16(out, params.channels);
    Put32(out, params.rate);
    Put32(out, params.rate * params.channels * bytesPerSample);
    Put16(out, params.channels * bytesPerSample);
    Put16(out, bytesPerSample * 8);
    if (params.extensible) {
        Put16(out, 22);
        Put16(out, bytesPerSample * 8);
        Put32(out, params.channels == 2 ? 3 : 0);
        Put16(out, code);
        out.insert(out.end(), {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00,
                               0x38, 0x9B, 0x71});
    }
    if (params.listChunk) {
        PutId(out, "junk");
        Put32(out, 3);
        out.insert(out.end(), {1, 2, 3, 0});
    }
    PutId(out, "data");
    switch (params.dataSize) {
        case DataSize::kExact:
            Put32(out, static_cast<uint32_t>(data.size()));
            break;
        case DataSize::kZero:
            Put32(out, 0);
            break;
        case DataSize::kOpen:
            Put32(out, 0xFFFFFFFFu);
            break;
        case DataSize::kOversize:
            Put32(out, static_cast<uint32_t>(data.size() * 2 + 1000));
            break;
    }
    out.insert(out.end(), data.begin(), data.end());
    out.insert(out.end(), params.trailer.begin(), params.trailer.end());
    const uint32_t riffSize = static_cast<uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i)
        out[4 + i] = static_cast<uint8_t>(riffSize >> (8 * i));
    return out;
}

}  // namespace chime::faac::test
