#include "options.h"

#include <array>
#include <string_view>

namespace chime::faac {
namespace {

struct ValueOption {
    std::string_view name;
    std::string Options::*field;  // null for --mpeg-vers, which is only checked
    std::string Tags::*tag;
};

constexpr std::array<ValueOption, 7> kValueOptions{{
    {"-o", &Options::outputPath, nullptr},
    {"--mpeg-vers", nullptr, nullptr},
    {"--title", nullptr, &Tags::title},
    {"--artist", nullptr, &Tags::artist},
    {"--album", nullptr, &Tags::album},
    {"--genre", nullptr, &Tags::genre},
    {"--year", nullptr, &Tags::year},
}};

ParseResult Refuse(std::string why) {
    ParseResult result;
    result.error = std::move(why);
    return result;
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
    ParseResult result;
    std::array<bool, kValueOptions.size()> seen{};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // "-w" asks for an MP4 wrapper and "-" for standard input: both are what this program
        // always does, so they are accepted and change nothing.
        if (arg == "-w" || arg == "-") continue;

        size_t which = 0;
        while (which < kValueOptions.size() && kValueOptions[which].name != arg)
            ++which;
        if (which == kValueOptions.size()) {
            if (arg.size() > 1 && arg[0] == '-') return Refuse("unknown option '" + arg + "'");
            return Refuse("unexpected argument '" + arg +
                          "': the input is always read from standard input ('-')");
        }
        if (i + 1 == args.size()) return Refuse("option " + arg + " needs a value");
        if (seen[which]) return Refuse("option " + arg + " is given twice");
        seen[which] = true;

        const ValueOption& option = kValueOptions[which];
        const std::string& value = args[++i];
        if (option.field != nullptr) {
            result.options.*option.field = value;
        } else if (option.tag != nullptr) {
            result.options.tags.*option.tag = value;
        } else if (value != "4") {
            return Refuse("--mpeg-vers " + value + " is not supported: only 4 (MPEG-4 AAC)");
        }
    }
    if (!seen[0]) return Refuse("no output file: give -o PATH");
    if (result.options.outputPath.empty()) return Refuse("the output path is empty");
    result.ok = true;
    return result;
}

std::string UsageText() {
    return "usage: faac [-w] [--mpeg-vers 4] [--title TEXT] [--artist TEXT] [--album TEXT]\n"
           "            [--genre TEXT] [--year TEXT] -o OUTPUT [-]\n"
           "\n"
           "Reads a WAVE stream on standard input (8-bit or 16-bit PCM, or 32-bit float; any\n"
           "rate and channel count, 44.1 kHz stereo expected) and writes it to OUTPUT as AAC-LC\n"
           "at " +
           std::to_string(kBitRate) +
           " b/s in an MP4 container (brand \"M4A \", for .m4r and .m4a files), with the\n"
           "input's exact length, at its rate and channel count (converted where the encoder\n"
           "refuses them). The tags go into iTunes metadata. OUTPUT is replaced only when the\n"
           "whole file is written.\n"
           "\n"
           "  -w              wrap the AAC stream in MP4 (always done)\n"
           "  --mpeg-vers 4   MPEG-4 AAC (the only version written)\n"
           "  --title TEXT    title tag          --artist TEXT   artist tag\n"
           "  --album TEXT    album tag          --genre TEXT    genre tag\n"
           "  --year TEXT     year (date) tag\n"
           "  -o OUTPUT       the file to write\n"
           "  -               read standard input (the only input there is)\n";
}

}  // namespace chime::faac
