#pragma once
// Hand-over of a channel's data to an external encoder program through a pipe on its standard
// input: the program and its pipes, the routine that feeds it from its channel, how it ends, and
// the engine's table of encoders.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine.h"

namespace chime {

class Channel;

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
    // Starts the program; returns null with the reason in error when it cannot, and missing
    // set when the program was not found.
    static std::unique_ptr<Encoder> Start(const std::string& commandLine, std::string& error,
                                          bool& missing);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Thread that pulls the channel. Writes bytes to the program's input, giving up when it
    // has taken nothing for the stall timeout. False once the encoder is no longer taking data.
    bool Write(const uint8_t* data, size_t bytes);
    // Writes a WAVE header of 16-bit PCM (or 32-bit float) that announces dataBytes bytes of
    // samples, or an open length when dataBytes is below 0 (or too large for the header).
    bool WriteHeader(int rate, int channels, bool isFloat, int64_t dataBytes);
    // Any thread. No further data is taken; a Write under way gives up within 100 ms.
    void Deactivate() { active_.store(false, std::memory_order_release); }
    // Any thread. Closes the program's input, so that it sees the end of its data, and returns
    // at once; Finished tells when the program has ended.
    void CloseInput();
    // Any thread. Waits up to ms milliseconds for the program to end; true once it has (its
    // exit is then in Result).
    bool Finished(int ms = 0);
    // Closes the input and waits a moment (kFinishMilliseconds) for the program to end, then
    // asks it to stop (SIGTERM) and kills it when it has not ended within the grace time. A
    // program that needs longer to complete its output is waited for with CloseInput and
    // Finished.
    void Stop();
    // Closes the input and asks the program to stop at once (SIGTERM), so that it can clean up;
    // kills it when it has not ended within graceMs. The result records the abort.
    void Abort(int graceMs = kAbortGraceMilliseconds);
    bool Active() const { return active_.load(std::memory_order_acquire); }
    BASS_ENCODE_RESULT Result() const;

    // How long a program may take nothing before it counts as dead (2 s unless set), how long
    // Stop gives it to finish after its input is closed, and how long one that was asked to
    // stop has to clean up before it is killed: no call waits on a program for more than a
    // couple of seconds.
    static void SetStallMilliseconds(int ms);
    static int StallMilliseconds();
    static constexpr int kFinishMilliseconds = 1500;
    static constexpr int kAbortGraceMilliseconds = 1500;

  private:
    Encoder() = default;
    void Fail(const std::string& why);
    // Ends the program: SIGTERM when it has not ended within politeMs, SIGKILL when it has not
    // ended graceMs after that; why is recorded when it had to be asked. With stopMutex_ held.
    void EndProgram(int politeMs, int graceMs, const char* why, bool asFailedWrite);
    // Collects the program's exit within ms; with stopMutex_ held.
    bool Reap(int ms);

    pid_t pid_ = -1;
    std::mutex inputMutex_;  // held while the input is written or closed
    int input_ = -1;         // guarded by inputMutex_
    int wake_ = -1;          // written once the program has ended: the error reader stops
    std::mutex stopMutex_;   // one reaper at a time
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

// An encoder fed by a DSP routine that runs after every other routine of its channel.
struct EncoderRecord {
    std::unique_ptr<Encoder> encoder;
    DWORD channel = 0;
    HDSP dsp = 0;
    bool toInt = false;  // float data handed over as 16-bit
    int64_t left = -1;   // bytes the program still takes, -1 for no limit
    std::vector<int16_t> scratch;
};

enum class EncoderEnd { Finish, Stop, Abort };

// Detaches the encoder's routine from its channel (null when the channel is already gone), then
// ends the encoder the given way: the routine goes first, so no pull writes to the program after
// it has been told that the data is over. Takes the channel's lock, then lets go of it before
// the program is waited for.
void EndEncoder(EncoderRecord& record, const std::shared_ptr<Channel>& channel, EncoderEnd how);

// The engine's encoders by handle. Its lock is taken last and held only over the table itself.
class EncoderTable {
  public:
    // Starts the program of commandLine, writes the WAVE header unless BASS_ENCODE_NOHEAD (with
    // the limit as its length when there is one: limit bytes of what the program takes, or -1),
    // sets the routine (handle dsp) on channel and lists the encoder under handle. BASS_OK, or
    // BASS_ERROR_FILEOPEN when the program was not found, BASS_ERROR_CREATE when it did not
    // start, BASS_ERROR_HANDLE when the channel was freed meanwhile. Without the channel's lock.
    int Start(Channel& channel, const char* commandLine, DWORD flags, int64_t limit, HENCODE handle,
              HDSP dsp);
    std::shared_ptr<EncoderRecord> Find(HENCODE handle) const;
    // An encoder's handle names that encoder; a channel's names every encoder on it.
    std::vector<std::shared_ptr<EncoderRecord>> For(DWORD handle) const;
    // Stops every encoder of a channel that is being freed, and lets go of them.
    void EndAll(const std::shared_ptr<Channel>& channel);
    void Clear();

  private:
    std::vector<std::shared_ptr<EncoderRecord>> Of(DWORD channel) const;

    mutable std::mutex mutex_;
    std::unordered_map<HENCODE, std::shared_ptr<EncoderRecord>> records_;
};

}  // namespace chime
