// libFuzzer target: every input is written to a file and run through the engine as a song.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        const char* folder = std::getenv("TMPDIR");
        return std::string(folder != nullptr ? folder : "/tmp") + "/chimewright-fuzz-" +
               std::to_string(::getpid());
    }();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    unsigned choice = 0;
    for (size_t i = 0; i < size; i += 997)
        choice = choice * 31 + data[i];
    const std::string broken = chime::fuzz::Exercise(path, choice);
    if (!broken.empty()) {
        std::fprintf(stderr, "engine_fuzz: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
