#include "encoder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>

#include "channel.h"
#include "sample_convert.h"

extern char** environ;

namespace chime {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsExecutable(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string Search(const std::string& name, const std::string& programFolder) {
    if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : std::string();
    if (!programFolder.empty() && IsExecutable(programFolder + "/" + name)) {
        return programFolder + "/" + name;
    }
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string folder = folders.substr(start, end - start);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (IsExecutable(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

std::atomic<int> stallMilliseconds{2000};

void AppendWord(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size();) {
        const char c = line[i];
        if (c == '\\') {
            size_t n = 0;
            while (i + n < line.size() && line[i + n] == '\\')
                ++n;
            inWord = true;
            if (i + n < line.size() && line[i + n] == '"') {
                word.append(n / 2, '\\');
                if (n % 2 == 1) {
                    word.push_back('"');
                    i += n + 1;
                } else {
                    i += n;  // the quote groups, below
                }
            } else {
                word.append(n, '\\');
                i += n;
            }
        } else if (c == '"') {
            inWord = true;
            if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                word.push_back('"');
                i += 2;
            } else {
                quoted = !quoted;
                ++i;
            }
        } else if (IsBlank(c) && !quoted) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
            ++i;
        } else {
            word.push_back(c);
            inWord = true;
            ++i;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

std::string FindProgram(const std::string& name, const std::string& programFolder) {
    if (name.empty()) return {};
    std::string found = Search(name, programFolder);
    if (found.empty() && name.size() > 4) {
        std::string ext = name.substr(name.size() - 4);
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        if (ext == ".exe") found = Search(name.substr(0, name.size() - 4), programFolder);
    }
    return found;
}

std::string OwnFolder() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

std::unique_ptr<Encoder> Encoder::Start(const std::string& commandLine, std::string& error,
                                        bool& missing) {
    missing = false;
    // A program that dies must not take this one with it: writes then fail with EPIPE.
    static const bool ignorePipe = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)ignorePipe;

    std::vector<std::string> words = SplitCommandLine(commandLine);
    if (words.empty()) {
        error = "empty command line";
        return nullptr;
    }
    const std::string program = FindProgram(words[0], OwnFolder());
    if (program.empty()) {
        error = "program not found: " + words[0];
        missing = true;
        return nullptr;
    }
    int input[2];
    int errors[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    if (::pipe2(errors, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        ::close(input[0]);
        ::close(input[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    // Only the error output carries the program's words; what it prints otherwise is dropped.
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    // The child starts with the default action for SIGPIPE, whatever this program set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(input[0]);
    ::close(errors[1]);
    if (spawned != 0) {
        error = std::string("cannot start ") + program + ": " + std::strerror(spawned);
        ::close(input[1]);
        ::close(errors[0]);
        return nullptr;
    }
    std::unique_ptr<Encoder> e(new Encoder());
    e->pid_ = pid;
    e->input_ = input[1];
    ::fcntl(e->input_, F_SETFL, ::fcntl(e->input_, F_GETFL) | O_NONBLOCK);
    e->active_.store(true, std::memory_order_release);
    Encoder* self = e.get();
    const int errorFd = errors[0];
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) wake[0] = wake[1] = -1;
    e->wake_ = wake[1];
    const int wakeFd = wake[0];
    // Keeps the last words the program writes. A process the program leaves behind may hold
    // the pipe open for ever, so once the program has been reaped, Reap wakes this up and
    // it takes what is there and ends.
    e->errorReader_ = std::thread([self, errorFd, wakeFd] {
        char buffer[1024];
        auto keep = [self, &buffer](ssize_t n) {
            std::lock_guard lock(self->mutex_);
            self->errorTail_.append(buffer, static_cast<size_t>(n));
            if (self->errorTail_.size() > 4096) {
                self->errorTail_.erase(0, self->errorTail_.size() - 4096);
            }
        };
        while (true) {
            pollfd fds[2] = {{errorFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (::poll(fds, wakeFd >= 0 ? 2 : 1, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents != 0) {
                const ssize_t n = ::read(errorFd, buffer, sizeof buffer);
                if (n > 0) {
                    keep(n);
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                break;  // every writer has gone
            }
            if (fds[1].revents != 0) {
                ::fcntl(errorFd, F_SETFL, ::fcntl(errorFd, F_GETFL) | O_NONBLOCK);
                ssize_t n;
                while ((n = ::read(errorFd, buffer, sizeof buffer)) > 0)
                    keep(n);
                break;
            }
        }
        ::close(errorFd);
        if (wakeFd >= 0) ::close(wakeFd);
    });
    return e;
}

void Encoder::SetStallMilliseconds(int ms) {
    stallMilliseconds.store(ms, std::memory_order_relaxed);
}
int Encoder::StallMilliseconds() {
    return stallMilliseconds.load(std::memory_order_relaxed);
}

Encoder::~Encoder() {
    Stop();
    if (errorReader_.joinable()) errorReader_.join();
    if (wake_ >= 0) ::close(wake_);
}

void Encoder::Fail(const std::string& why) {
    std::lock_guard lock(mutex_);
    if (failure_.empty()) failure_ = why;
    writeFailed_ = true;
}

bool Encoder::Write(const uint8_t* data, size_t bytes) {
    std::lock_guard writing(inputMutex_);
    if (!Active() || input_ < 0) return false;
    using Clock = std::chrono::steady_clock;
    auto lastProgress = Clock::now();
    while (bytes > 0) {
        const ssize_t n = ::write(input_, data, bytes);
        if (n > 0) {
            data += n;
            bytes -= static_cast<size_t>(n);
            lastProgress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // Deactivated from another thread (a stop or an abort): give up at once.
            if (!Active()) return false;
            const auto waited = Clock::now() - lastProgress;
            const int left =
                StallMilliseconds() -
                static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
            if (left <= 0) {
                Fail("the encoder stopped taking data");
                Deactivate();
                return false;
            }
            pollfd p{input_, POLLOUT, 0};
            ::poll(&p, 1, std::min(left, 100));
            continue;
        }
        Fail(errno == EPIPE ? "the encoder ended before it took all data"
                            : std::string("cannot write to the encoder: ") + std::strerror(errno));
        Deactivate();
        return false;
    }
    return true;
}

bool Encoder::WriteHeader(int rate, int channels, bool isFloat, int64_t dataBytes) {
    const uint32_t sampleBytes = isFloat ? 4 : 2;
    // A writer into a pipe that cannot know the length leaves the sizes open (all bits set),
    // which readers take as "to the end of the stream".
    const bool open = dataBytes < 0 || dataBytes > int64_t{0xFFFFFFFF} - 36;
    std::string h = "RIFF";
    AppendWord(h, open ? 0xFFFFFFFF : static_cast<uint32_t>(dataBytes + 36), 4);
    h += "WAVEfmt ";
    AppendWord(h, 16, 4);
    AppendWord(h, isFloat ? 3 : 1, 2);  // IEEE float or PCM
    AppendWord(h, static_cast<uint32_t>(channels), 2);
    AppendWord(h, static_cast<uint32_t>(rate), 4);
    AppendWord(h, static_cast<uint32_t>(rate * channels) * sampleBytes, 4);
    AppendWord(h, static_cast<uint32_t>(channels) * sampleBytes, 2);
    AppendWord(h, sampleBytes * 8, 2);
    h += "data";
    AppendWord(h, open ? 0xFFFFFFFF : static_cast<uint32_t>(dataBytes), 4);
    return Write(reinterpret_cast<const uint8_t*>(h.data()), h.size());
}

void Encoder::CloseInput() {
    // A Write that waits on a full pipe sees this within 100 ms and lets go of the input.
    Deactivate();
    std::lock_guard writing(inputMutex_);
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

bool Encoder::Reap(int ms) {
    {
        std::lock_guard lock(mutex_);
        if (waited_) return true;
    }
    int status = 0;
    bool reaped = false;  // false when it was waited for elsewhere: its status is not ours
    for (int waited = 0;; waited += 5) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped = true;
            break;
        }
        if (r < 0 && errno != EINTR) break;
        if (waited >= ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The program has ended; what it left running may hold the error pipe open for ever, so
    // the reader takes what is there and ends.
    if (wake_ >= 0) {
        const char nudge = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &nudge, 1);
    }
    if (errorReader_.joinable()) errorReader_.join();
    std::lock_guard lock(mutex_);
    waited_ = true;
    exited_ = reaped && WIFEXITED(status);
    exitCode_ = exited_ ? WEXITSTATUS(status) : -1;
    return true;
}

bool Encoder::Finished(int ms) {
    // A look (ms 0) never waits behind a stop that is under way.
    std::unique_lock stopping(stopMutex_, std::defer_lock);
    if (ms == 0) {
        if (!stopping.try_lock()) return false;
    } else {
        stopping.lock();
    }
    return Reap(ms);
}

void Encoder::EndProgram(int politeMs, int graceMs, const char* why, bool asFailedWrite) {
    if (Reap(politeMs)) return;
    // Asked politely first, the program can remove what it had begun to write.
    ::kill(pid_, SIGTERM);
    if (!Reap(graceMs)) {
        ::kill(pid_, SIGKILL);
        Reap(INT_MAX);
    }
    std::lock_guard lock(mutex_);
    if (failure_.empty()) failure_ = why;
    writeFailed_ = writeFailed_ || asFailedWrite;
}

void Encoder::Stop() {
    CloseInput();
    // One stop at a time; a later one finds the first one's result.
    std::lock_guard stopping(stopMutex_);
    EndProgram(kFinishMilliseconds, kAbortGraceMilliseconds,
               "the encoder did not finish and was stopped", true);
}

void Encoder::Abort(int graceMs) {
    CloseInput();
    std::lock_guard stopping(stopMutex_);
    {
        std::lock_guard lock(mutex_);
        if (waited_) return;
    }
    EndProgram(0, graceMs, "the encoder was stopped before the end of its data", false);
}

BASS_ENCODE_RESULT Encoder::Result() const {
    BASS_ENCODE_RESULT r{};
    std::lock_guard lock(mutex_);
    r.running = waited_ ? FALSE : TRUE;
    r.exited = exited_ ? TRUE : FALSE;
    r.exitcode = exitCode_;
    r.writefailed = writeFailed_ ? TRUE : FALSE;
    // The program's own last words say most; our reason stands when it said nothing.
    std::string text = errorTail_;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.size() >= sizeof r.message) text = text.substr(text.size() - (sizeof r.message - 1));
    if (text.empty()) text = failure_;
    std::snprintf(r.message, sizeof r.message, "%s", text.c_str());
    return r;
}

namespace {

// The encoder's routine: the channel's block, as 16-bit samples when asked, to the program.
// Hands bytes to the program, no more than its limit.
void Hand(EncoderRecord& r, const uint8_t* data, size_t bytes) {
    if (r.left >= 0) {
        bytes = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(bytes), r.left));
        r.left -= static_cast<int64_t>(bytes);
    }
    if (bytes > 0) r.encoder->Write(data, bytes);
}

void EncodeDsp(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    auto* r = static_cast<EncoderRecord*>(user);
    if (!r->toInt) {
        Hand(*r, static_cast<const uint8_t*>(buffer), length);
        return;
    }
    const float* in = static_cast<const float*>(buffer);
    const size_t n = length / sizeof(float);
    r->scratch.resize(n);
    FloatTo16(in, r->scratch.data(), static_cast<ptrdiff_t>(n));
    Hand(*r, reinterpret_cast<const uint8_t*>(r->scratch.data()), n * 2);
}

}  // namespace

void EndEncoder(EncoderRecord& r, const std::shared_ptr<Channel>& channel, EncoderEnd how) {
    // A pull waiting on the program's full pipe lets go of the channel's lock at once.
    r.encoder->Deactivate();
    if (channel) {
        std::lock_guard lock(channel->mutex());
        channel->RemoveDsp(r.dsp);
    }
    switch (how) {
        case EncoderEnd::Finish:
            r.encoder->CloseInput();
            break;
        case EncoderEnd::Stop:
            r.encoder->Stop();
            break;
        case EncoderEnd::Abort:
            r.encoder->Abort();
            break;
    }
}

int EncoderTable::Start(Channel& channel, const char* commandLine, DWORD flags, int64_t limit,
                        HENCODE handle, HDSP dsp) {
    std::string why;
    auto record = std::make_shared<EncoderRecord>();
    bool missing = false;
    record->encoder = Encoder::Start(commandLine, why, missing);
    if (!record->encoder) return missing ? BASS_ERROR_FILEOPEN : BASS_ERROR_CREATE;
    record->channel = channel.Handle();
    record->dsp = dsp;
    record->toInt = channel.IsFloat() && (flags & BASS_ENCODE_FP_16BIT);
    record->left = limit;
    if (!(flags & BASS_ENCODE_NOHEAD)) {
        record->encoder->WriteHeader(channel.Rate(), channel.Channels(),
                                     channel.IsFloat() && !record->toInt, limit);
    }
    bool released = false;
    {
        std::lock_guard lock(channel.mutex());
        released = channel.Released();
        // The lowest priority: the encoder takes the data after every other routine.
        if (!released) channel.AddDsp(dsp, EncodeDsp, record.get(), INT_MIN);
    }
    if (released) {
        // Freed meanwhile: the program is waited for without the channel's lock.
        record->encoder->Stop();
        return BASS_ERROR_HANDLE;
    }
    std::lock_guard lock(mutex_);
    records_.emplace(handle, std::move(record));
    return BASS_OK;
}

std::shared_ptr<EncoderRecord> EncoderTable::Find(HENCODE handle) const {
    std::lock_guard lock(mutex_);
    auto it = records_.find(handle);
    return it == records_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<EncoderRecord>> EncoderTable::Of(DWORD channel) const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<EncoderRecord>> out;
    for (const auto& [h, r] : records_) {
        if (r->channel == channel) out.push_back(r);
    }
    return out;
}

std::vector<std::shared_ptr<EncoderRecord>> EncoderTable::For(DWORD handle) const {
    if (auto r = Find(handle)) return {std::move(r)};
    return Of(handle);
}

void EncoderTable::EndAll(const std::shared_ptr<Channel>& channel) {
    for (auto& r : Of(channel->Handle())) {
        EndEncoder(*r, channel, EncoderEnd::Stop);
        std::lock_guard lock(mutex_);
        std::erase_if(records_, [&r](const auto& kv) { return kv.second == r; });
    }
}

void EncoderTable::Clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace chime
