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

// The length of the valid UTF-8 sequence at text[i], or 0 when none starts there: no overlong
// forms, no surrogates, nothing above U+10FFFF.
size_t Utf8SequenceAt(const std::string& text, size_t i) {
    const auto byte = [&text](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char c = byte(i + k);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

}  // namespace

std::string ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8SequenceAt(text, i);
        if (length > 0) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i++]);
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

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
            result.options.tags.*option.tag = ToUtf8(value);
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
