#include "cli.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace chime {
namespace {

constexpr const char* kHint = "Try 'chimewright export --help' for more information.";

// A decimal number: digits, an optional fraction; nothing else.
std::optional<double> ParseDecimal(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        text.find('.') != text.rfind('.') || text == ".") {
        return std::nullopt;
    }
    return std::strtod(text.c_str(), nullptr);
}

std::optional<double> ParseSignedDecimal(const std::string& text) {
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        const auto value = ParseDecimal(text.substr(1));
        if (!value) return std::nullopt;
        return text[0] == '-' ? -*value : *value;
    }
    return ParseDecimal(text);
}

std::optional<int> ParseCount(const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::atoi(text.c_str());
}

std::atomic<bool> interrupted{false};

void OnInterrupt(int) {
    interrupted.store(true, std::memory_order_relaxed);
}

}  // namespace

std::optional<double> ParseSeconds(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return ParseDecimal(text);
    const auto minutes = ParseCount(text.substr(0, colon));
    // The seconds of "m:ss" are two digits, with an optional fraction.
    const std::string rest = text.substr(colon + 1);
    if (!minutes || rest.size() < 2 || !std::isdigit(static_cast<unsigned char>(rest[0])) ||
        !std::isdigit(static_cast<unsigned char>(rest[1])) || (rest.size() > 2 && rest[2] != '.')) {
        return std::nullopt;
    }
    const auto seconds = ParseDecimal(rest);
    if (!seconds || *seconds >= 60) return std::nullopt;
    return *minutes * 60.0 + *seconds;
}

std::string ExportUsage() {
    return "usage: chimewright export INPUT -o OUTPUT --start TIME --end TIME [options]\n"
           "\n"
           "Makes an iPhone ringtone (AAC in MP4, .m4r, 44.1 kHz stereo, 160 kb/s) of the span\n"
           "of INPUT from --start to --end, checks it, and saves it as OUTPUT, replacing a file\n"
           "of that name only once the new one is complete. TIME is seconds, with decimals if\n"
           "need be (75.5), or minutes and seconds (1:15.5). An iPhone takes ringtones of at\n"
           "most 40 s (alert tones 30 s); a longer span is written with a warning.\n"
           "\n"
           "  -o, --output OUTPUT   the ringtone file to write\n"
           "  --start TIME          where the ringtone starts in the song\n"
           "  --end TIME            where it ends (after the start, within the song)\n"
           "Effects (none unless asked):\n"
           "  --fade-in SECONDS     fade in from silence over the first SECONDS\n"
           "  --fade-out SECONDS    fade out to silence over the last SECONDS\n"
           "  --gain DB             change the level by DB decibels, -12 to 12\n"
           "  --high-pass POSITION  cut the lows, as the window's High Pass slider at POSITION\n"
           "                        (ten-thousandths of half the song's rate: 10000 and up is\n"
           "                        the highest cut-off)\n"
           "  --low-pass POSITION   cut the highs, as the window's Low Pass slider at POSITION\n"
           "Tags (written when given):\n"
           "  --title TEXT  --artist TEXT  --album TEXT  --genre TEXT  --year TEXT\n"
           "  -h, --help            show this help\n"
           "\n"
           "On success it prints the facts of the file it wrote and exits 0; a failed export\n"
           "exits 1 and leaves no file; a refused command line exits 2.\n"
           "Example:\n"
           "  chimewright export song.mp3 -o ring.m4r --start 1:05 --end 1:35 --fade-out 3\n";
}

bool ParseExportCommand(const std::vector<std::string>& args, ExportCommand& command,
                        std::string& error) {
    command = {};
    ExportRequest& r = command.request;
    r.effects.fadeInOn = false;  // no effect unless asked
    bool haveOutput = false, haveStart = false, haveEnd = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            command.help = true;
            return true;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            if (!r.input.empty()) {
                error = "only one song can be exported at a time: '" + arg + "'";
                return false;
            }
            r.input = arg;
            continue;
        }
        static const char* const kKnown[] = {"-o",         "--output",   "--start",  "--end",
                                             "--fade-in",  "--fade-out", "--gain",   "--high-pass",
                                             "--low-pass", "--title",    "--artist", "--album",
                                             "--genre",    "--year"};
        if (std::find(std::begin(kKnown), std::end(kKnown), arg) == std::end(kKnown)) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        // Every option takes a value, which may itself start with "-" (a tag, say).
        if (i + 1 == args.size()) {
            error = "option " + arg + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        auto bad = [&](const char* what) {
            error = "option " + arg + ": '" + value + "' is not " + what;
            return false;
        };
        if (arg == "-o" || arg == "--output") {
            if (value.empty()) return bad("a file name");
            r.output = value;
            haveOutput = true;
        } else if (arg == "--start" || arg == "--end") {
            const auto t = ParseSeconds(value);
            if (!t) return bad("a time (seconds, or m:ss)");
            (arg == "--start" ? r.startSeconds : r.endSeconds) = *t;
            (arg == "--start" ? haveStart : haveEnd) = true;
        } else if (arg == "--fade-in" || arg == "--fade-out") {
            const auto t = ParseDecimal(value);
            if (!t || *t <= 0 || *t > 3600) return bad("a length in seconds above 0");
            const bool in = arg == "--fade-in";
            (in ? r.effects.fadeInOn : r.effects.fadeOutOn) = true;
            (in ? r.effects.fadeInSeconds : r.effects.fadeOutSeconds) = *t;
        } else if (arg == "--gain") {
            const auto db = ParseSignedDecimal(value);
            if (!db || *db < -12 || *db > 12) return bad("a gain in decibels from -12 to 12");
            r.effects.gainOn = true;
            r.effects.gainDb = *db;
        } else if (arg == "--high-pass" || arg == "--low-pass") {
            const auto position = ParseCount(value);
            if (!position) return bad("a slider position (a whole number from 0)");
            if (arg == "--high-pass") {
                r.effects.highPassOn = true;
                r.effects.highCut = *position;
            } else {
                r.effects.lowPassOn = true;
                r.effects.lowCut = *position;
            }
        } else if (arg == "--title" || arg == "--artist" || arg == "--album" || arg == "--genre" ||
                   arg == "--year") {
            r.tags.on = true;
            std::string& field = arg == "--title"    ? r.tags.title
                                 : arg == "--artist" ? r.tags.artist
                                 : arg == "--album"  ? r.tags.album
                                 : arg == "--genre"  ? r.tags.genre
                                                     : r.tags.year;
            field = value;
        }
    }
    if (r.input.empty()) {
        error = "no song given";
    } else if (!haveOutput) {
        error = "no output file given (-o OUTPUT)";
    } else if (!haveStart || !haveEnd) {
        error = "give both --start and --end";
    } else if (r.startSeconds >= r.endSeconds) {
        error = "the start must come before the end";
    } else {
        r.checkSongLength = true;
        return true;
    }
    return false;
}

int RunExportCommand(const std::vector<std::string>& args) {
    ExportCommand command;
    std::string error;
    if (!ParseExportCommand(args, command, error)) {
        std::fprintf(stderr, "chimewright export: %s\n%s\n", error.c_str(), kHint);
        return kExportUsage;
    }
    if (command.help) {
        std::fputs(ExportUsage().c_str(), stdout);
        return kExportOk;
    }
    const ExportRequest& request = command.request;
    // Ctrl-C cancels: nothing is left behind.
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);

    BASS_Init(0, 44100, 0, nullptr, nullptr);  // the silent device: the export plays nothing
    int status = kExportOk;
    {
        ExportJob job(request);
        const bool showProgress = ::isatty(STDERR_FILENO) == 1;
        int shown = -1;
        if (job.Start()) {
            while (job.Step(50)) {
                if (interrupted.load(std::memory_order_relaxed)) {
                    job.Cancel();
                    break;
                }
                if (showProgress && job.Progress() != shown) {
                    shown = job.Progress();
                    std::fprintf(stderr, "\rExporting: %3d%%", shown);
                }
            }
        }
        if (showProgress && shown >= 0) std::fputs("\r               \r", stderr);
        if (job.GetState() == ExportJob::State::Done) {
            const double span = request.endSeconds - request.startSeconds;
            if (span > kRingtoneLimitSeconds) {
                std::fprintf(stderr,
                             "chimewright export: warning: the ringtone is %.1f s long; an iPhone "
                             "takes ringtones of at most %d s (alert tones %d s)\n",
                             span, kRingtoneLimitSeconds, kAlertToneLimitSeconds);
            }
            std::printf("%s\n", DescribeRingtone(request.output, job.Facts()).c_str());
        } else {
            std::fprintf(stderr, "chimewright export: %s\n", job.Message().c_str());
            status = job.Failure() == ExportFailure::BadSpan ? kExportUsage : kExportFailed;
            if (status == kExportUsage) std::fprintf(stderr, "%s\n", kHint);
        }
    }
    BASS_Free();
    return status;
}

}  // namespace chime
