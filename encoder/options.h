#pragma once

#include <string>
#include <vector>

namespace chime::faac {

// The bit rate of every output, in bits per second.
inline constexpr int kBitRate = 160000;

// The iTunes tags written into the output; an empty value writes no tag.
struct Tags {
    std::string title;
    std::string artist;
    std::string album;
    std::string genre;
    std::string year;
};

struct Options {
    std::string outputPath;
    Tags tags;
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // why the command line was refused, when !ok
};

// Parses the arguments after the program name. A value always belongs to the option before it,
// even when it starts with '-', so a quoted tag can never turn into an option.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// Returns text as UTF-8: valid UTF-8 stays as it is; any other byte is read as Latin-1 (the 8-bit
// text of older systems), so a tag is always valid UTF-8 and keeps its letters.
std::string ToUtf8(const std::string& text);

// The text shown with a refused command line.
std::string UsageText();

}  // namespace chime::faac
