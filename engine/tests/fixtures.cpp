#include "fixtures.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace chime::test {
namespace fs = std::filesystem;

namespace {

fs::path Folder() {
    fs::path folder(CHIME_FIXTURE_CACHE);
    fs::create_directories(folder);
    return folder;
}

// Makes target once: the maker writes a temporary file that is renamed into place, so test
// processes running side by side never see a half-written file.
std::string Once(const std::string& name, const std::string& makeCommandWithOut) {
    const fs::path target = Folder() / name;
    if (fs::exists(target)) return target.string();
    const fs::path temp = Folder() / ("tmp-" + std::to_string(::getpid()) + "-" + name);
    std::string command = makeCommandWithOut;
    for (size_t at; (at = command.find("OUT")) != std::string::npos;) {
        command.replace(at, 3, "'" + temp.string() + "'");
    }
    if (!Run(command)) throw std::runtime_error("could not make fixture: " + command);
    fs::rename(temp, target);
    return target.string();
}

}  // namespace

bool Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string Made(const std::string& name, const std::string& ffmpegArgs) {
    return Once(name, "ffmpeg -nostdin -v error -y " + ffmpegArgs + " OUT");
}

std::string MadeMusepack(const std::string& name, double seconds) {
    const std::string wav = Made("mpc-source-" + std::to_string(seconds) + ".wav",
                                 "-f lavfi -i \"" + std::string(kToneGraph) +
                                     ":s=44100:d=" + std::to_string(seconds) + "\"");
    // mpcenc asks before overwriting and then spins on a closed input: always --overwrite.
    return Once(name, "mpcenc --silent --overwrite '" + wav +
                          "' OUT.mpc >/dev/null 2>&1 && mv OUT.mpc OUT");
}

std::string Shared(const std::string& name) {
    const fs::path path = fs::path(CHIME_SHARED_FIXTURES) / name;
    return fs::exists(path) ? path.string() : std::string();
}

std::string Scratch(const std::string& name) {
    return (Folder() / name).string();
}

std::vector<uint8_t> PullAll(HSTREAM stream, DWORD block) {
    std::vector<uint8_t> all;
    std::vector<uint8_t> buffer(block);
    while (true) {
        const DWORD got = BASS_ChannelGetData(stream, buffer.data(), block);
        if (got == 0xFFFFFFFF || got == 0) break;
        all.insert(all.end(), buffer.begin(), buffer.begin() + got);
    }
    return all;
}

std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int16_t Expected16(float sample) {
    if (std::isnan(sample)) return -32768;
    const double scaled = static_cast<double>(sample) * 32768.0;
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    double whole = std::floor(scaled);
    const double rest = scaled - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0)) whole += 1;
    return static_cast<int16_t>(whole);
}

int MaxDifference16(const uint8_t* a, const uint8_t* b, size_t bytes) {
    const auto* x = reinterpret_cast<const int16_t*>(a);
    const auto* y = reinterpret_cast<const int16_t*>(b);
    int worst = 0;
    for (size_t i = 0; i < bytes / 2; ++i)
        worst = std::max(worst, std::abs(x[i] - y[i]));
    return worst;
}

TestDeviceEngine::TestDeviceEngine() {
    const char* was = std::getenv("CHIMEWRIGHT_AUDIO");
    hadChoice_ = was != nullptr;
    if (hadChoice_) chosen_ = was;
    ::setenv("CHIMEWRIGHT_AUDIO", "manual", 1);
    started_ = BASS_Init(-1, 44100, 0, nullptr, nullptr) != FALSE;
}

TestDeviceEngine::~TestDeviceEngine() {
    if (started_) BASS_Free();
    if (hadChoice_) {
        ::setenv("CHIMEWRIGHT_AUDIO", chosen_.c_str(), 1);
    } else {
        ::unsetenv("CHIMEWRIGHT_AUDIO");
    }
}

bool Advance(DWORD milliseconds, DWORD period, DWORD flags) {
    return BASS_TestDeviceAdvance(milliseconds, period, flags) != FALSE;
}

}  // namespace chime::test
