// A small player on the engine: plays the file named on the command line from start to end,
// printing its length and the position being heard.

#include <chrono>
#include <cstdio>
#include <thread>

#include "engine.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: chimewright AUDIO-FILE\n");
        return 2;
    }
    if ((BASS_GetVersion() >> 16) != BASSVERSION) return 1;
    BASS_Init(-1, 44100, 0, nullptr, nullptr);
    const HSTREAM stream = BASS_StreamCreateFile(FALSE, argv[1], 0, 0, BASS_STREAM_PRESCAN);
    if (stream == 0) {
        std::fprintf(stderr, "cannot open %s (error %d)\n", argv[1], BASS_ErrorGetCode());
        BASS_Free();
        return 1;
    }
    const double length =
        BASS_ChannelBytes2Seconds(stream, BASS_ChannelGetLength(stream, BASS_POS_BYTE));
    std::printf("%s: %.3f s%s\n", argv[1], length,
                BASS_IsSilentDevice() ? " (no sound device: playing silently)" : "");
    BASS_ChannelPlay(stream, FALSE);
    while (BASS_ChannelIsActive(stream) != BASS_ACTIVE_STOPPED) {
        const double at =
            BASS_ChannelBytes2Seconds(stream, BASS_ChannelGetPosition(stream, BASS_POS_BYTE));
        std::printf("\r%7.2f / %.2f s", at, length);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("\n");
    BASS_Free();
    return 0;
}
