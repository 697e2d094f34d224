// `chimewright export` as a user runs it: no display, exit codes, messages, the file it leaves.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "fixtures.h"

namespace chime::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program with the arguments, with no display of any kind in its environment.
Outcome Chimewright(const std::string& args) {
    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string errFile = Scratch("cli-stderr.txt");
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" +
                                (bin / "chimewright").string() + "' " + args + " 2>'" + errFile +
                                "'";
    Outcome o;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        o.out.append(buffer, n);
    const int status = ::pclose(pipe);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.err = FileText(errFile);
    return o;
}

std::string Quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

TEST(ExportCommand, ExitCodesMessagesAndTheFileLeft) {
    const std::string song = Made("cli-song.mp3", "-f lavfi -i \"" + std::string(kToneGraph) +
                                                      ":s=44100:d=60\" -c:a libmp3lame -b:a 128k");
    const fs::path folder = Scratch("cli out");
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path ring = folder / "ring.m4r";
    const std::string base = "export '" + song + "' -o " + Quoted(ring);

    Outcome o = Chimewright("export --help");
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("usage: chimewright export INPUT -o OUTPUT"), std::string::npos);

    o = Chimewright(base + " --start 0:05 --end 12.5 --fade-in 2 --title 'A \"b\"'");
    EXPECT_EQ(o.status, 0) << o.err;
    // The bit rate is about 160 kb/s: the encoder spends what the sound needs around it.
    const std::string facts = ring.string() + ": 7.500 s, AAC-LC, 44100 Hz, 2 channels, ";
    ASSERT_EQ(o.out.substr(0, facts.size()), facts);
    const int kbps = std::atoi(o.out.c_str() + facts.size());
    EXPECT_TRUE(kbps >= 150 && kbps <= 170) << o.out;
    EXPECT_EQ(o.out.substr(o.out.size() - 6), " kb/s\n");
    EXPECT_TRUE(fs::exists(ring));
    EXPECT_EQ(o.err, "");

    // Longer than a phone takes: written, with a warning.
    o = Chimewright(base + " --start 0 --end 45");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("at most 40 s"), std::string::npos) << o.err;
    EXPECT_NE(o.out.find("45.000 s"), std::string::npos);

    struct Refused {
        std::string args;
        const char* words;
    };
    const Refused refused[] = {
        {base + " --start 1 --end 5 --loud", "unknown option '--loud'"},
        {base + " --start 5 --end 5", "the start must come before the end"},
        {base + " --start 50 --end 70", "lies past the song's end"},
        {base + " --start 1 --end", "option --end needs a value"},
        {base + " --start 1 --end 5 --gain 20", "from -12 to 12"},
    };
    for (const Refused& r : refused) {
        o = Chimewright(r.args);
        EXPECT_EQ(o.status, 2) << r.args;
        EXPECT_NE(o.err.find(r.words), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("chimewright export --help"), std::string::npos) << o.err;
    }

    // Failed exports say why in the window's words and leave the earlier file as it was.
    const std::string before = FileText(ring);
    o = Chimewright("export /no/such.mp3 -o " + Quoted(ring) + " --start 1 --end 5");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("Error creating stream!"), std::string::npos) << o.err;
    o = Chimewright("export '" + song + "' -o " + Quoted(folder / "no" / "r.m4r") +
                    " --start 1 --end 5");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("Cannot write to the folder"), std::string::npos) << o.err;
    EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"ring.m4r"});
    EXPECT_EQ(FileText(ring), before);
}

// The window's form: help, the version and a refused command line, all without a display.
TEST(ProgramCommand, HelpVersionAndRefusals) {
    struct Case {
        std::string args;
        int status;
        std::vector<std::string> out;  // words in the standard output
        std::string err;               // words in the error output (none at all on success)
        bool whole = false;            // the standard output is out's one entry, exactly
    };
    const std::vector<std::string> usage = {
        "Usage: chimewright [OPTION]... [FILE]\n",
        "  or:  chimewright export INPUT -o OUTPUT --start TIME --end TIME [OPTION]...\n",
        "--fade-in SECONDS", "--version"};
    const Case cases[] = {
        {"--help", 0, usage, ""},
        {"-h", 0, usage, ""},
        {"song.mp3 --help", 0, usage, ""},
        {"--version", 0, {"chimewright " CHIMEWRIGHT_VERSION "\n"}, "", true},
        {"--loud", 2, {}, "chimewright: unknown option '--loud'\n"},
        {"-x song.mp3", 2, {}, "unknown option '-x'"},
        {"--versions", 2, {}, "unknown option '--versions'"},
        {"one.mp3 two.mp3", 2, {}, "only one song can be opened at a time: 'two.mp3'"},
        {"song.mp3 -style", 2, {}, "option -style needs a value"},
    };
    for (const Case& c : cases) {
        const Outcome o = Chimewright(c.args);
        EXPECT_EQ(o.status, c.status) << c.args << ": " << o.err;
        for (const std::string& words : c.out) {
            EXPECT_NE(o.out.find(words), std::string::npos) << c.args << ": " << o.out;
        }
        if (c.whole) {
            EXPECT_EQ(o.out, c.out.front()) << c.args;
        }
        if (c.status == 0) {
            EXPECT_EQ(o.err, "") << c.args;
        } else {
            EXPECT_EQ(o.out, "") << c.args;
            EXPECT_NE(o.err.find(c.err), std::string::npos) << c.args << ": " << o.err;
            EXPECT_NE(o.err.find("Try 'chimewright --help' for more information."),
                      std::string::npos)
                << c.args << ": " << o.err;
        }
    }
}

}  // namespace
}  // namespace chime::test
