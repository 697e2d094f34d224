#pragma once
// Audio files for the engine's tests: made on first use with the ffmpeg and mpcenc tools and
// kept in the build's fixture folder, or taken from the shared folder of files nothing here
// can make.

#include <cstdint>
#include <string>
#include <vector>

#include "engine.h"

namespace chime::test {

// A test tone of several partials, different on left and right, so that a misplaced sample
// shows as a large difference.
constexpr const char* kToneGraph =
    "aevalsrc=0.4*sin(2*PI*440*t)+0.2*sin(2*PI*1234*t)+0.1*sin(2*PI*3001*t)|"
    "0.3*sin(2*PI*660*t)+0.2*sin(2*PI*2222*t)";

// Runs a shell command; true when it exits 0.
bool Run(const std::string& command);

// The path of a file made by running `ffmpeg -v error -y <ffmpegArgs> OUT` once (OUT being the
// returned path), with name as its file name.
std::string Made(const std::string& name, const std::string& ffmpegArgs);
// A Musepack file made from a WAV of the test tone.
std::string MadeMusepack(const std::string& name, double seconds);
// A file of ../shared/fixtures, or "" when that folder is absent.
std::string Shared(const std::string& name);
// A scratch path in the fixture folder.
std::string Scratch(const std::string& name);

using CreateFn = HSTREAM(BOOL, const void*, QWORD, QWORD, DWORD);

// Every byte a decoding stream delivers, pulled in blocks of block bytes.
std::vector<uint8_t> PullAll(HSTREAM stream, DWORD block = 4096);

// What a float sample becomes as a 16-bit one, worked out plainly in double precision: scaled,
// rounded to nearest with ties to even, clipped to its own side; NaN gives -32768.
int16_t Expected16(float sample);

// The names of what a folder holds, sorted; the whole contents of a file ("" if it is missing).
std::vector<std::string> FilesIn(const std::string& folder);
std::string FileText(const std::string& path);

// The engine started on the test device (CHIMEWRIGHT_AUDIO=manual), whose clock moves only by
// Advance, for as long as this lives; then freed, with the variable as it was.
class TestDeviceEngine {
  public:
    TestDeviceEngine();
    ~TestDeviceEngine();
    TestDeviceEngine(const TestDeviceEngine&) = delete;
    TestDeviceEngine& operator=(const TestDeviceEngine&) = delete;
    bool Started() const { return started_; }

  private:
    std::string chosen_;
    bool hadChoice_ = false;
    bool started_ = false;
};

// Moves the test device's clock on (BASS_TestDeviceAdvance); false when it could not.
bool Advance(DWORD milliseconds, DWORD period = 0, DWORD flags = 0);

// Largest difference between two runs of 16-bit samples.
int MaxDifference16(const uint8_t* a, const uint8_t* b, size_t bytes);

}  // namespace chime::test
