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

// The text shown with a refused command line.
std::string UsageText();

}  // namespace chime::faac
