// faac: reads a WAVE stream on standard input and writes it as AAC-LC in an MP4 file.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "aac_writer.h"
#include "options.h"
#include "part_file.h"
#include "wave.h"

namespace {

using namespace chime::faac;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int64_t kBlockFrames = 4096;

// The temporary output while it exists, for the signal handler to remove.
const char* volatile partPath = nullptr;

void RemovePartAndDie(int signalNumber) {
    if (const char* path = partPath) ::unlink(path);
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

// A run that is stopped (the export cancelled) must not leave its partial file behind.
void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = RemovePartAndDie;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signalNumber, &action, nullptr);
    }
}

class StopSignalsBlocked {
  public:
    StopSignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&set, signalNumber);
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~StopSignalsBlocked() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

  private:
    sigset_t old_;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "faac: %s\n", message.c_str());
    return kExitFailure;
}

bool WriteAll(int fd, const uint8_t* data, int64_t bytes, std::string& error) {
    for (int64_t done = 0; done < bytes;) {
        const ssize_t n = ::write(fd, data + done, bytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("cannot write the scratch file: ") + std::strerror(errno);
            return false;
        }
        done += n;
    }
    return true;
}

// Copies the input's samples into the scratch file and counts them; with a writer, encodes them
// on the way as well.
bool SpoolInput(ByteSource& input, const WaveFormat& format, int scratch, AacMp4Writer* writer,
                int64_t& frames, std::string& error) {
    FrameReader reader(input, format);
    std::vector<uint8_t> block(kBlockFrames * format.BytesPerFrame());
    std::vector<std::vector<float>> samples;
    std::vector<float*> planes;
    if (writer != nullptr) {
        samples.assign(format.channels, std::vector<float>(kBlockFrames));
        for (auto& plane : samples)
            planes.push_back(plane.data());
    }
    frames = 0;
    for (;;) {
        const int64_t got = reader.Read(block.data(), kBlockFrames);
        if (got < 0) {
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        if (got == 0) return true;
        if (!WriteAll(scratch, block.data(), got * format.BytesPerFrame(), error)) return false;
        if (writer != nullptr) {
            ToPlanarFloat(block.data(), got, format, planes.data());
            if (!writer->Write(planes.data(), static_cast<int>(got), error)) return false;
        }
        frames += got;
    }
}

bool Encode(int scratch, WaveFormat format, int64_t frames, AacMp4Writer& writer,
            std::string& error) {
    if (::lseek(scratch, 0, SEEK_SET) != 0) {
        error = std::string("cannot read the scratch file: ") + std::strerror(errno);
        return false;
    }
    format.dataBytes = frames * format.BytesPerFrame();
    FdSource source(scratch);
    FrameReader reader(source, format);
    std::vector<uint8_t> block(kBlockFrames * format.BytesPerFrame());
    std::vector<std::vector<float>> samples(format.channels, std::vector<float>(kBlockFrames));
    std::vector<float*> planes;
    for (auto& plane : samples)
        planes.push_back(plane.data());
    for (int64_t done = 0; done < frames;) {
        const int64_t got = reader.Read(block.data(), kBlockFrames);
        if (got <= 0) {
            error = "cannot read the scratch file back";
            return false;
        }
        ToPlanarFloat(block.data(), got, format, planes.data());
        if (!writer.Write(planes.data(), static_cast<int>(got), error)) return false;
        done += got;
    }
    return writer.Finish(error);
}

// Reads standard input and writes the whole output into part; returns the exit status.
int Convert(const Options& options, PartFile& part) {
    std::string error;
    FdSource input(STDIN_FILENO);
    WaveFormat format;
    if (!ReadWaveHeader(input, format, error)) return Fail("standard input: " + error);

    const int scratch = CreateScratchFile(options.outputPath, error);
    if (scratch < 0) {
        return Fail("cannot create a scratch file beside " + options.outputPath + ": " + error);
    }
    int64_t frames = 0;
    std::unique_ptr<AacMp4Writer> writer;
    int status = 0;
    // A header that gives the data's length lets the encoding run while the input arrives. The
    // input is kept all the same: when it ends sooner than announced, the output is made again
    // for the length that came.
    const int64_t announced = format.dataBytes >= 0 ? format.dataBytes / format.BytesPerFrame() : 0;
    bool streamed = false;
    if (announced > 0) {
        writer = AacMp4Writer::Create(part.fd(), format.sampleRate, format.channels, announced,
                                      options.tags, error);
        if (writer == nullptr) {
            ::close(scratch);
            return Fail(error);
        }
        if (!SpoolInput(input, format, scratch, writer.get(), frames, error)) {
            status = Fail(error);
        } else if (frames == announced) {
            streamed = true;
            if (!writer->Finish(error)) status = Fail(error);
        } else {
            writer.reset();
            if (::ftruncate(part.fd(), 0) != 0 || ::lseek(part.fd(), 0, SEEK_SET) != 0) {
                status = Fail(std::string("cannot write the output: ") + std::strerror(errno));
            }
        }
    } else if (!SpoolInput(input, format, scratch, nullptr, frames, error)) {
        status = Fail(error);
    }
    if (status == 0 && !streamed) {
        if (frames == 0) {
            status = Fail("standard input: the WAVE stream holds no samples");
        } else if (!(writer = AacMp4Writer::Create(part.fd(), format.sampleRate, format.channels,
                                                   frames, options.tags, error))) {
            status = Fail(error);
        } else if (!Encode(scratch, format, frames, *writer, error)) {
            status = Fail(error);
        }
    }
    ::close(scratch);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Messages go to stderr, which may be a pipe that its reader has closed.
    ::signal(SIGPIPE, SIG_IGN);

    const ParseResult parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok) {
        std::fprintf(stderr, "faac: %s\n\n%s", parsed.error.c_str(), UsageText().c_str());
        return kExitUsage;
    }
    const Options& options = parsed.options;
    const std::string& target = options.outputPath;

    CatchStopSignals();
    std::string error;
    std::unique_ptr<PartFile> part;
    {
        StopSignalsBlocked blocked;
        part = PartFile::Create(target, error);
        if (part != nullptr) partPath = part->path().c_str();
    }
    if (part == nullptr) return Fail("cannot write " + target + ": " + error);

    int status = Convert(options, *part);
    {
        StopSignalsBlocked blocked;
        if (status == 0 && !part->Commit(error))
            status = Fail("cannot write " + target + ": " + error);
        partPath = nullptr;
    }
    part.reset();
    return status;
}
