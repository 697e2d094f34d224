#include <gtest/gtest.h>

#include "options.h"

namespace chime::faac {
namespace {

using Args = std::vector<std::string>;

struct AcceptedCase {
    const char* name;
    Args args;
    std::string output;
    Tags tags;
};

class AcceptedCommandLine : public testing::TestWithParam<AcceptedCase> {};

TEST_P(AcceptedCommandLine, GivesOutputAndTags) {
    const AcceptedCase& c = GetParam();
    const ParseResult result = ParseCommandLine(c.args);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.options.outputPath, c.output);
    EXPECT_EQ(result.options.tags.title, c.tags.title);
    EXPECT_EQ(result.options.tags.artist, c.tags.artist);
    EXPECT_EQ(result.options.tags.album, c.tags.album);
    EXPECT_EQ(result.options.tags.genre, c.tags.genre);
    EXPECT_EQ(result.options.tags.year, c.tags.year);
}

INSTANTIATE_TEST_SUITE_P(
    Options, AcceptedCommandLine,
    testing::Values(
        // The command line the export builds, every option given.
        AcceptedCase{"export_line",
                     {"-w", "--mpeg-vers", "4", "--title", "My Song", "--artist", "A B", "--album",
                      "Al", "--genre", "Pop", "--year", "2024", "-o", "/tmp/out dir/x.m4r", "-"},
                     "/tmp/out dir/x.m4r",
                     {"My Song", "A B", "Al", "Pop", "2024"}},
        AcceptedCase{"output_only", {"-o", "x.m4r"}, "x.m4r", {}},
        AcceptedCase{"stdin_first_and_any_order",
                     {"-", "-o", "x.m4r", "--year", "1999", "-w"},
                     "x.m4r",
                     {"", "", "", "", "1999"}},
        // A value belongs to its option even when it looks like one: a quoted tag can never
        // become an option.
        AcceptedCase{"values_that_look_like_options",
                     {"--title", "-o", "--artist", "--title", "--album", "-", "-o", "-w"},
                     "-w",
                     {"-o", "--title", "-", "", ""}},
        AcceptedCase{"quotes_and_utf8_kept",
                     {"--title", "say \"hi\" 'there'", "--genre", "Caf\xC3\xA9", "-o", "o.m4r"},
                     "o.m4r",
                     {"say \"hi\" 'there'", "", "", "Caf\xC3\xA9", ""}},
        // Tags are always valid UTF-8: a byte that is not part of a valid sequence is read as
        // Latin-1, a valid sequence beside it stays.
        AcceptedCase{
            "latin1_tags_become_utf8",
            {"--title", "Caf\xE9", "--artist", "\xC3\xA9 and \xFF", "--album", "cut \xE2\x99",
             "--genre", "\xC0\xAF overlong", "--year", "\xED\xA0\x80", "-o", "o.m4r"},
            "o.m4r",
            {"Caf\xC3\xA9", "\xC3\xA9 and \xC3\xBF", "cut \xC3\xA2\xC2\x99",
             "\xC3\x80\xC2\xAF overlong", "\xC3\xAD\xC2\xA0\xC2\x80"}},
        AcceptedCase{"four_byte_utf8_kept",
                     {"--title", "\xF0\x9F\x8E\xB5 tune", "-o", "o.m4r"},
                     "o.m4r",
                     {"\xF0\x9F\x8E\xB5 tune", "", "", "", ""}},
        AcceptedCase{
            "empty_tag_values", {"--title", "", "--artist", "", "-o", "o.m4r"}, "o.m4r", {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    Args args;
    const char* reason;  // a part of the message
};

class RefusedCommandLine : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedCommandLine, SaysWhy) {
    const RefusedCase& c = GetParam();
    const ParseResult result = ParseCommandLine(c.args);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find(c.reason), std::string::npos) << result.error;
}

INSTANTIATE_TEST_SUITE_P(
    Options, RefusedCommandLine,
    testing::Values(
        RefusedCase{"nothing", {}, "no output file"},
        RefusedCase{"no_output", {"-w", "--mpeg-vers", "4", "-"}, "no output file"},
        RefusedCase{"empty_output", {"-o", ""}, "output path is empty"},
        RefusedCase{"mpeg_2", {"--mpeg-vers", "2", "-o", "x.m4r"}, "--mpeg-vers 2"},
        RefusedCase{
            "mpeg_4_spelled_otherwise", {"--mpeg-vers", "4.0", "-o", "x.m4r"}, "--mpeg-vers 4.0"},
        RefusedCase{
            "unknown_long", {"--bitrate", "128", "-o", "x.m4r"}, "unknown option '--bitrate'"},
        RefusedCase{"unknown_short", {"-q", "100", "-o", "x.m4r"}, "unknown option '-q'"},
        RefusedCase{"joined_value", {"--title=x", "-o", "x.m4r"}, "unknown option '--title=x'"},
        RefusedCase{"help", {"--help"}, "unknown option '--help'"},
        RefusedCase{"input_file", {"-o", "x.m4r", "in.wav"}, "unexpected argument 'in.wav'"},
        RefusedCase{"output_without_value", {"-o"}, "option -o needs a value"},
        RefusedCase{"title_without_value", {"-o", "x.m4r", "--title"}, "option --title needs"},
        RefusedCase{"mpeg_without_value", {"-o", "x.m4r", "--mpeg-vers"}, "--mpeg-vers needs"},
        RefusedCase{"output_twice", {"-o", "a.m4r", "-o", "b.m4r"}, "-o is given twice"},
        RefusedCase{
            "tag_twice", {"--year", "1", "--year", "2", "-o", "x"}, "--year is given twice"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Usage, NamesWhatIsWritten) {
    const std::string usage = UsageText();
    for (const char* part : {"usage: faac", "AAC-LC", "MP4", "160000 b/s", "44.1 kHz stereo",
                             "--mpeg-vers 4", "--title", "--year", "-o OUTPUT"}) {
        EXPECT_NE(usage.find(part), std::string::npos) << part;
    }
}

}  // namespace
}  // namespace chime::faac
