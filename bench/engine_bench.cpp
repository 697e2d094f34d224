// Times the engine on one file through its public calls, as the program uses them. Each mode is
// one whole process, so that a caller (bench/run.sh) can time it and read its peak memory.
//
//   engine_bench [--phases] open FILE    open with an exact length, then pull the first 100 ms
//   engine_bench [--phases] levels FILE  read 20 ms levels until the stream ends (waveform scan)
//   engine_bench [--phases] pull FILE    pull 64 KiB blocks to the end
//
// --phases prints the time each step took to stderr.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"

namespace {

using Clock = std::chrono::steady_clock;

class PhaseTimer {
  public:
    explicit PhaseTimer(bool enabled) : enabled_(enabled), last_(Clock::now()) {}
    void Mark(const char* name) {
        const Clock::time_point now = Clock::now();
        if (enabled_) {
            std::fprintf(stderr, "%-8s %9.3f ms\n", name,
                         std::chrono::duration<double, std::milli>(now - last_).count());
        }
        last_ = now;
    }

  private:
    bool enabled_;
    Clock::time_point last_;
};

int Usage() {
    std::fprintf(stderr, "usage: engine_bench [--phases] open|levels|pull FILE\n");
    return 2;
}

int Failed(const char* what) {
    std::fprintf(stderr, "engine_bench: %s failed (engine error %d)\n", what, BASS_ErrorGetCode());
    return 1;
}

HSTREAM OpenDecoding(const std::string& file) {
    return BASS_StreamCreateFile(FALSE, file.c_str(), 0, 0,
                                 BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
}

int RunOpen(const std::string& file, PhaseTimer& timer) {
    const HSTREAM stream = OpenDecoding(file);
    if (stream == 0) return Failed("BASS_StreamCreateFile");
    timer.Mark("create");
    const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    const QWORD wanted = BASS_ChannelSeconds2Bytes(stream, 0.1);
    if (length < 0 || wanted < 0) return Failed("BASS_ChannelGetLength");
    std::vector<char> buffer(static_cast<size_t>(wanted));
    QWORD got = 0;
    while (got < wanted) {
        const DWORD n =
            BASS_ChannelGetData(stream, buffer.data() + got, static_cast<DWORD>(wanted - got));
        if (n == 0xFFFFFFFF) {
            if (BASS_ErrorGetCode() == BASS_ERROR_ENDED) break;  // shorter than 100 ms
            return Failed("BASS_ChannelGetData");
        }
        if (n == 0) break;
        got += n;
    }
    timer.Mark("read");
    std::printf("length %lld bytes (%.3f s), first %lld bytes pulled\n",
                static_cast<long long>(length), BASS_ChannelBytes2Seconds(stream, length),
                static_cast<long long>(got));
    BASS_StreamFree(stream);
    timer.Mark("free");
    return 0;
}

int RunLevels(const std::string& file, PhaseTimer& timer) {
    const HSTREAM stream = OpenDecoding(file);
    if (stream == 0) return Failed("BASS_StreamCreateFile");
    timer.Mark("create");
    long long calls = 0;
    // Keep the peaks so that the compiler cannot drop the calls' results.
    DWORD loudest = 0;
    while (BASS_ChannelIsActive(stream) != BASS_ACTIVE_STOPPED) {
        const DWORD level = BASS_ChannelGetLevel(stream);
        if (level == 0xFFFFFFFF) break;
        loudest = std::max(loudest, level & 0xFFFF);
        ++calls;
    }
    timer.Mark("levels");
    std::printf("%lld level calls, loudest left peak %u\n", calls, loudest);
    BASS_StreamFree(stream);
    timer.Mark("free");
    return 0;
}

int RunPull(const std::string& file, PhaseTimer& timer) {
    const HSTREAM stream = OpenDecoding(file);
    if (stream == 0) return Failed("BASS_StreamCreateFile");
    timer.Mark("create");
    std::vector<char> buffer(64 * 1024);
    long long total = 0;
    while (true) {
        const DWORD n =
            BASS_ChannelGetData(stream, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0xFFFFFFFF) {
            if (BASS_ErrorGetCode() == BASS_ERROR_ENDED) break;
            return Failed("BASS_ChannelGetData");
        }
        if (n == 0) break;
        total += n;
    }
    timer.Mark("pull");
    std::printf("%lld bytes pulled (%.3f s)\n", total, BASS_ChannelBytes2Seconds(stream, total));
    BASS_StreamFree(stream);
    timer.Mark("free");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int arg = 1;
    bool phases = false;
    if (arg < argc && std::strcmp(argv[arg], "--phases") == 0) {
        phases = true;
        ++arg;
    }
    if (argc - arg != 2) return Usage();
    const std::string mode = argv[arg];
    const std::string file = argv[arg + 1];
    PhaseTimer timer(phases);
    if (mode == "open") return RunOpen(file, timer);
    if (mode == "levels") return RunLevels(file, timer);
    if (mode == "pull") return RunPull(file, timer);
    return Usage();
}
