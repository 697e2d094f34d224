// The encoder's command line, the ringtone name rule and the command line of the export.

#include <gtest/gtest.h>

#include "cli.h"
#include "command.h"
#include "encoder.h"

namespace chime::test {
namespace {

TEST(EncoderCommand, TagsAndPathReachTheEncoderWholeAsTyped) {
    struct Case {
        const char* what;
        TagFields tags;
        std::string path;
        std::string line;                // the command line itself
        std::vector<std::string> words;  // what the encoder receives
    };
    const std::vector<std::string> head = {"faac.exe", "-w", "--mpeg-vers", "4"};
    auto with = [&head](std::vector<std::string> middle, const std::string& path) {
        std::vector<std::string> w = head;
        w.insert(w.end(), middle.begin(), middle.end());
        w.insert(w.end(), {"-o", path, "-"});
        return w;
    };
    const Case cases[] = {
        {"no tags",
         {},
         "/r/Vantor.m4r",
         "faac.exe -w --mpeg-vers 4 -o \"/r/Vantor.m4r\" -",
         with({}, "/r/Vantor.m4r")},
        {"ticked but empty",
         {true, "", "", "", "", ""},
         "/r/a.m4r",
         "faac.exe -w --mpeg-vers 4 -o \"/r/a.m4r\" -",
         with({}, "/r/a.m4r")},
        {"unticked with text",
         {false, "T", "A", "B", "G", "2026"},
         "/r/a.m4r",
         "faac.exe -w --mpeg-vers 4 -o \"/r/a.m4r\" -",
         with({}, "/r/a.m4r")},
        {"every tag, one with blanks",
         {true, "Two Words", "A", "B", "G", "2026"},
         "/r/a.m4r",
         "faac.exe -w --mpeg-vers 4 --title \"Two Words\" --artist \"A\" --album \"B\" --genre "
         "\"G\" --year \"2026\" -o \"/r/a.m4r\" -",
         with({"--title", "Two Words", "--artist", "A", "--album", "B", "--genre", "G", "--year",
               "2026"},
              "/r/a.m4r")},
        {"quotes, an option and blanks inside tags",
         {true, "Say \"hi\" -o /etc/x", "   ", "", "", ""},
         "/r/a.m4r",
         "faac.exe -w --mpeg-vers 4 --title \"Say \\\"hi\\\" -o /etc/x\" --artist \"   \" -o "
         "\"/r/a.m4r\" -",
         with({"--title", "Say \"hi\" -o /etc/x", "--artist", "   "}, "/r/a.m4r")},
        {"backslashes before a quote and at the end",
         {true, "a\\\"b\\", "", "", "", ""},
         "/r/a.m4r",
         "faac.exe -w --mpeg-vers 4 --title \"a\\\\\\\"b\\\\\" -o \"/r/a.m4r\" -",
         with({"--title", "a\\\"b\\"}, "/r/a.m4r")},
        {"a path with blanks and quotes",
         {},
         "/My Tones/\"Best\" one.m4r",
         "faac.exe -w --mpeg-vers 4 -o \"/My Tones/\\\"Best\\\" one.m4r\" -",
         with({}, "/My Tones/\"Best\" one.m4r")},
    };
    for (const Case& c : cases) {
        const std::string line = BuildEncoderCommand(c.path, c.tags);
        EXPECT_EQ(line, c.line) << c.what;
        EXPECT_EQ(SplitCommandLine(line), c.words) << c.what;
    }
    // Another program, with a blank in its path, goes in quotes.
    EXPECT_EQ(SplitCommandLine(BuildEncoderCommand("o.m4r", {}, "/my tools/enc"))[0],
              "/my tools/enc");
}

TEST(OutputName, M4rIsAddedUnlessTheNameEndsInIt) {
    const std::pair<const char*, const char*> cases[] = {
        {"/t/ring", "/t/ring.m4r"},
        {"/t/ring.mp3", "/t/ring.mp3.m4r"},
        {"/t/RING.M4R", "/t/RING.M4R"},
        {"/t/ring.m4r", "/t/ring.m4r"},
        {"/t/ring.m4r.txt", "/t/ring.m4r.txt.m4r"},
        {"/t.m4r/ring", "/t.m4r/ring.m4r"},
    };
    for (const auto& [chosen, path] : cases)
        EXPECT_EQ(RingtoneFileName(chosen), path) << chosen;
}

TEST(ExportCommandLine, TimesInSecondsOrMinutesAndSeconds) {
    const std::pair<const char*, double> good[] = {
        {"0", 0}, {"75", 75}, {"75.5", 75.5}, {"1:15", 75}, {"1:05.25", 65.25}, {"61:00", 3660},
    };
    for (const auto& [text, seconds] : good) {
        ASSERT_TRUE(ParseSeconds(text).has_value()) << text;
        EXPECT_DOUBLE_EQ(*ParseSeconds(text), seconds) << text;
    }
    for (const char* bad : {"", "-1", "1e3", "1:5", "1:60", "1:05:00", ":30", "1.2.3", "x", "5s"})
        EXPECT_FALSE(ParseSeconds(bad).has_value()) << bad;
}

TEST(ExportCommandLine, OptionsBecomeTheRequestAndBadOnesAreRefused) {
    ExportCommand command;
    std::string error;
    ASSERT_TRUE(
        ParseExportCommand({"in.mp3", "-o", "out.m4r", "--start", "1:00", "--end", "90", "--title",
                            "-o x", "--gain", "-6", "--fade-out", "2.5", "--low-pass", "2000"},
                           command, error))
        << error;
    const ExportRequest& r = command.request;
    EXPECT_EQ(r.input, "in.mp3");
    EXPECT_EQ(r.output, "out.m4r");
    EXPECT_EQ(r.startSeconds, 60);
    EXPECT_EQ(r.endSeconds, 90);
    EXPECT_TRUE(r.tags.on);
    EXPECT_EQ(r.tags.title, "-o x");
    EXPECT_TRUE(r.effects.gainOn);
    EXPECT_EQ(r.effects.gainDb, -6);
    EXPECT_TRUE(r.effects.fadeOutOn);
    EXPECT_EQ(r.effects.fadeOutSeconds, 2.5);
    EXPECT_TRUE(r.effects.lowPassOn);
    EXPECT_EQ(r.effects.lowCut, 2000);
    // Nothing else is on: no effect unless asked.
    EXPECT_FALSE(r.effects.fadeInOn);
    EXPECT_FALSE(r.effects.highPassOn);
    EXPECT_TRUE(r.checkSongLength);

    const std::vector<std::vector<std::string>> refused = {
        {"in.mp3", "--start", "1", "--end", "2"},                        // no output
        {"in.mp3", "-o", "o.m4r", "--start", "1"},                       // no end
        {"-o", "o.m4r", "--start", "1", "--end", "2"},                   // no song
        {"in.mp3", "-o", "o.m4r", "--start", "3", "--end", "2"},         // start after end
        {"in.mp3", "-o", "o.m4r", "--start", "2", "--end", "2"},         // empty span
        {"in.mp3", "-o", "o.m4r", "--start", "1", "--end", "2", "--x"},  // missing value
        {"in.mp3", "-o", "o.m4r", "--start", "1", "--end", "2", "--speed", "2"},
        {"in.mp3", "-o", "o.m4r", "--start", "1", "--end", "2", "--gain", "13"},
        {"in.mp3", "-o", "o.m4r", "--start", "1", "--end", "2", "--fade-in", "0"},
        {"in.mp3", "-o", "o.m4r", "--start", "1", "--end", "2", "--high-pass", "-5"},
        {"a.mp3", "b.mp3", "-o", "o.m4r", "--start", "1", "--end", "2"},
    };
    for (const auto& args : refused) {
        error.clear();
        EXPECT_FALSE(ParseExportCommand(args, command, error)) << args.back();
        EXPECT_FALSE(error.empty());
    }
    ASSERT_TRUE(ParseExportCommand({"--help"}, command, error));
    EXPECT_TRUE(command.help);
}

}  // namespace
}  // namespace chime::test
