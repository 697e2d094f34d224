#pragma once
// The encoder's command line, the ringtone file name rule and the phone's length limits.

#include <string>

namespace chime {

// The tag fields as the user typed them, and whether they are to be written.
struct TagFields {
    bool on = false;
    std::string title;
    std::string artist;
    std::string album;
    std::string genre;
    std::string year;
};

// The program the export starts: found beside Chimewright first, then on PATH.
inline constexpr const char* kEncoderProgram = "faac.exe";

// One word of a command line, quoted so that the encoder receives it whole, whatever it holds:
// in double quotes, with every quote and the backslashes before a quote escaped by the rules
// the engine splits command lines by.
std::string QuoteArgument(const std::string& word);

// The encoder's command line: the program, "-w --mpeg-vers 4", the tags that are on and not
// empty, "-o" with the output path, and "-" for standard input. Every value is quoted, so a
// title with blanks arrives as one value and no tag can add an option.
std::string BuildEncoderCommand(const std::string& outputPath, const TagFields& tags,
                                const std::string& program = kEncoderProgram);

// The output path for a name chosen in the save dialog: ".m4r" is added unless the name ends
// in it already (in any letter case).
std::string RingtoneFileName(const std::string& chosen);

// What an iPhone takes: ringtones of at most 40 s, alert tones of at most 30 s.
inline constexpr int kRingtoneLimitSeconds = 40;
inline constexpr int kAlertToneLimitSeconds = 30;

}  // namespace chime
