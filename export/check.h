#pragma once
// Reads a finished ringtone back: what it holds, decoded to the last sample.

#include <atomic>
#include <cstdint>
#include <string>

namespace chime {

struct RingtoneFacts {
    std::string brand;  // the MP4 file's major brand
    std::string codec;  // "AAC-LC" for AAC of the low-complexity profile
    int rate = 0;
    int channels = 0;
    int64_t frames = 0;   // sample frames that decoding the whole file delivers
    int64_t bitRate = 0;  // of the audio, in bits per second
    double Seconds() const { return rate > 0 ? static_cast<double>(frames) / rate : 0; }
};

// Opens the file, reads its facts and decodes all of it. False, with the reason in error, when
// it cannot be read or decoded. A set stop flag ends the decoding early (also false).
bool ReadRingtone(const std::string& path, RingtoneFacts& facts, std::string& error,
                  const std::atomic<bool>* stop = nullptr);

// Whether the facts are those of an iPhone ringtone of exactly frames sample frames at
// 44.1 kHz stereo; error says what differs.
bool IsExpectedRingtone(const RingtoneFacts& facts, int64_t frames, std::string& error);

// One line for the user: "PATH: 30.000 s, AAC-LC, 44100 Hz, 2 channels, 160 kb/s".
std::string DescribeRingtone(const std::string& path, const RingtoneFacts& facts);

}  // namespace chime
