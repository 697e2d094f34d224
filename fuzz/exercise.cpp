#include "exercise.h"

#include <algorithm>
#include <vector>

#include "engine.h"

namespace chime::fuzz {
namespace {

constexpr DWORD kBlock = 65536;

std::string Describe(const char* what, QWORD a, QWORD b) {
    return std::string(what) + ": " + std::to_string(a) + " against " + std::to_string(b);
}

std::string CheckStream(HSTREAM h, unsigned choice) {
    BASS_CHANNELINFO info{};
    if (!BASS_ChannelGetInfo(h, &info)) return "no channel info";
    const QWORD frame = static_cast<QWORD>(info.chans) * ((choice & 1) ? 4 : 2);
    const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    if (length < 0 || length % frame != 0)
        return Describe("length not whole frames", length, frame);
    std::vector<uint8_t> buffer(kBlock);
    QWORD pulled = 0;
    for (;;) {
        const DWORD got = BASS_ChannelGetData(h, buffer.data(), kBlock);
        if (got == 0xFFFFFFFF || got == 0) break;
        pulled += got;
        if (pulled > length)
            return Describe("a pull delivered more than the length", pulled, length);
    }
    if (pulled != length) return Describe("the length is not what a pull delivers", length, pulled);

    // Seeks inside the length land where asked and deliver what is left, up to a block.
    for (int k = 7; k >= 0; --k) {
        const QWORD at =
            length / frame * ((choice >> 1) % 5 + static_cast<unsigned>(k)) / 11 * frame;
        if (at > length) continue;
        if (!BASS_ChannelSetPosition(h, at, BASS_POS_BYTE)) continue;  // nothing decodes there
        if (BASS_ChannelGetPosition(h, BASS_POS_BYTE) != at) {
            return Describe("a seek landed elsewhere", BASS_ChannelGetPosition(h, BASS_POS_BYTE),
                            at);
        }
        const QWORD want = std::min<QWORD>(length - at, 4096 / frame * frame);
        const DWORD got = BASS_ChannelGetData(h, buffer.data(), static_cast<DWORD>(want));
        if (static_cast<QWORD>(got) != want) return Describe("a pull after a seek", got, want);
    }
    if (!BASS_ChannelSetPosition(h, length, BASS_POS_BYTE)) return "the end is no position";
    if (BASS_ChannelSetPosition(h, length + frame, BASS_POS_BYTE)) return "a seek past the end";

    BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE);
    for (int i = 0; i < 8; ++i) {
        const DWORD level = BASS_ChannelGetLevel(h);
        if (level == 0xFFFFFFFF) break;
        if ((level & 0xFFFF) > 32768 || (level >> 16) > 32768) return "a level out of range";
    }
    return "";
}

}  // namespace

std::string Exercise(const std::string& path, unsigned choice) {
    const DWORD sampleFlag = (choice & 1) ? BASS_SAMPLE_FLOAT : 0;
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0,
                                            BASS_STREAM_DECODE | BASS_STREAM_PRESCAN | sampleFlag);
    if (h == 0) return "";
    std::string broken = CheckStream(h, choice);
    BASS_StreamFree(h);
    if (!broken.empty()) return broken;

    // The scan's way and the export's: an estimated length, through a mixer that converts.
    const HSTREAM source =
        BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | sampleFlag);
    if (source == 0) return "it opens measured but not unmeasured";
    const HSTREAM mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_MIXER_END);
    if (mixer == 0 || !BASS_Mixer_StreamAddChannel(mixer, source, BASS_STREAM_AUTOFREE)) {
        BASS_StreamFree(source);
        BASS_StreamFree(mixer);
        return "the mixer does not take it";
    }
    std::vector<uint8_t> buffer(16384);
    for (int i = 0; i < 64; ++i) {
        const DWORD got = BASS_ChannelGetData(mixer, buffer.data(), 16384);
        if (got == 0xFFFFFFFF || got == 0) break;
    }
    BASS_StreamFree(mixer);
    return "";
}

}  // namespace chime::fuzz
