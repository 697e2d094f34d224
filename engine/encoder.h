#pragma once
// Hand-over of a channel's data to an external encoder program through a pipe on its standard
// input.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"

namespace chime {

// Splits a command line into words by the Windows rules: blanks separate words except inside
// double quotes; 2n backslashes before a quote give n backslashes and the quote groups, 2n+1
// give n backslashes and a literal quote; other backslashes are literal; "" inside quotes is a
// literal quote.
std::vector<std::string> SplitCommandLine(const std::string& line);

// The program to run for name: as given when it holds a slash, else from programFolder, then
// from PATH; a name ending in ".exe" (any case) that is not found is looked up without it.
// Returns "" when nothing is found.
std::string FindProgram(const std::string& name, const std::string& programFolder);

// The folder of the running program.
std::string OwnFolder();

class Encoder {
  public:
    // Starts the program; returns null with the reason in error when it cannot.
    static std::unique_ptr<Encoder> Start(const std::string& commandLine, std::string& error);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Thread that pulls the channel. Writes bytes to the program's input, giving up when it
    // has taken nothing for the stall timeout. False once the encoder is no longer taking data.
    bool Write(const uint8_t* data, size_t bytes);
    // Writes a WAVE header of 16-bit PCM (or 32-bit float) with an open length.
    bool WriteHeader(int rate, int channels, bool isFloat);
    // Closes the input and waits for the program to end (killing it if it does not).
    void Stop();
    bool Active() const { return active_.load(std::memory_order_acquire); }
    BASS_ENCODE_RESULT Result() const;

    // How long a program may take nothing before it counts as dead (10 s unless set), and how
    // long it may take to finish after its input is closed.
    static void SetStallMilliseconds(int ms);
    static int StallMilliseconds();
    static constexpr int kFinishMilliseconds = 60000;

  private:
    Encoder() = default;
    void Fail(const std::string& why);

    pid_t pid_ = -1;
    int input_ = -1;
    int wake_ = -1;  // written once the program has ended: the error reader stops
    std::mutex stopMutex_;
    std::atomic<bool> active_{false};
    std::thread errorReader_;
    mutable std::mutex mutex_;  // guards the fields below
    std::string errorTail_;     // the last bytes the program wrote to its standard error
    std::string failure_;
    bool writeFailed_ = false;
    bool waited_ = false;
    bool exited_ = false;
    int exitCode_ = -1;
};

}  // namespace chime
