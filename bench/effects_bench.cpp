// Times the preview's effect routines on one 16-bit 44.1 kHz stereo file, pulled through the
// engine as the playback thread pulls it (blocks of 50 ms). One whole process per mode, on one
// thread, so that a caller (bench/effects.sh) can time it against the same pull without them.
//
//   effects_bench none FILE  pull to the end with no routine
//   effects_bench all FILE   the same with low-pass, high-pass, gain and a fade attached; a
//                            mixtime sync sets up a new 10 s fade-in every 10 s, so a ramp
//                            runs all the time
//
// Prints the seconds of audio, the process's CPU time and a checksum of what came out.

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "effects.h"
#include "engine.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: effects_bench none|all FILE (16-bit 44.1 kHz stereo)\n");
    return 2;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void NewFade(HSYNC, DWORD channel, DWORD, void* user) {
    chime::AttachPreviewFade(*static_cast<chime::EffectChain*>(user), channel, true);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return Usage();
    const std::string mode = argv[1];
    if (mode != "none" && mode != "all") return Usage();
    const HSTREAM h =
        BASS_StreamCreateFile(FALSE, argv[2], 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    BASS_CHANNELINFO info{};
    if (h == 0 || !BASS_ChannelGetInfo(h, &info) || info.freq != 44100 || info.chans != 2 ||
        (info.flags & BASS_SAMPLE_FLOAT)) {
        std::fprintf(stderr, "effects_bench: %s is not a 16-bit 44.1 kHz stereo file\n", argv[2]);
        return 1;
    }
    const double seconds = BASS_ChannelBytes2Seconds(h, BASS_ChannelGetLength(h, BASS_POS_BYTE));

    chime::EffectChain chain;
    chain.SetFormat({16, 44100, 2});
    chime::EffectSettings s;
    s.gainOn = s.highPassOn = s.lowPassOn = s.fadeInOn = true;
    s.gainDb = 3;
    s.highCut = 200;
    s.lowCut = 3000;
    s.fadeInSeconds = 10;
    chain.SetSettings(s);
    if (mode == "all") {
        chain.SetEffect(h, chime::EffectKind::LowPass, true);
        chain.SetEffect(h, chime::EffectKind::HighPass, true);
        chain.SetEffect(h, chime::EffectKind::Gain, true);
        chime::AttachPreviewFade(chain, h, true);
        for (int t = 10; t < seconds; t += 10) {
            BASS_ChannelSetSync(h, BASS_SYNC_MIXTIME | BASS_SYNC_POS,
                                BASS_ChannelSeconds2Bytes(h, t), NewFade, &chain);
        }
    }

    std::vector<uint8_t> block(44100 / 20 * 4);
    uint64_t checksum = 0;
    for (;;) {
        const DWORD got = BASS_ChannelGetData(h, block.data(), static_cast<DWORD>(block.size()));
        if (got == 0 || got == 0xFFFFFFFF) break;
        for (DWORD i = 0; i + 8 <= got; i += 64) {
            uint64_t v;
            std::memcpy(&v, block.data() + i, sizeof v);
            checksum = checksum * 31 + v;
        }
    }
    BASS_StreamFree(h);
    std::printf("%s: %.1f s of audio, %.3f s of CPU, checksum %016llx\n", mode.c_str(), seconds,
                CpuSeconds(), static_cast<unsigned long long>(checksum));
    return 0;
}
