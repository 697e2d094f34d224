#include "command.h"

#include "formats.h"

namespace chime {

std::string QuoteArgument(const std::string& word) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            // 2n+1 backslashes before a quote give n backslashes and the quote itself.
            out.append(2 * backslashes + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    // Backslashes before the closing quote are doubled, so that it still closes.
    out.append(2 * backslashes, '\\');
    out.push_back('"');
    return out;
}

std::string BuildEncoderCommand(const std::string& outputPath, const TagFields& tags,
                                const std::string& program) {
    // The program's name goes in quotes only when it needs them.
    const bool plain = program.find_first_of(" \t\"") == std::string::npos && !program.empty();
    std::string command = (plain ? program : QuoteArgument(program)) + " -w";
    command += " --mpeg-vers " + std::to_string(4);
    if (tags.on) {
        const std::pair<const char*, const std::string*> pieces[] = {
            {" --title ", &tags.title}, {" --artist ", &tags.artist}, {" --album ", &tags.album},
            {" --genre ", &tags.genre}, {" --year ", &tags.year},
        };
        // A field of blanks is a value; only a field with nothing in it is left out.
        for (const auto& [option, value] : pieces) {
            if (!value->empty()) command += option + QuoteArgument(*value);
        }
    }
    command += " -o ";
    command += QuoteArgument(outputPath);
    command += " -";
    return command;
}

std::string RingtoneFileName(const std::string& chosen) {
    return ExtensionOf(chosen) == ".m4r" ? chosen : chosen + ".m4r";
}

}  // namespace chime
