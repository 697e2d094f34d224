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
    EXPECT_EQ(o.out, ring.string() + ": 7.500 s, AAC-LC, 44100 Hz, 2 channels, 160 kb/s\n");
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

}  // namespace
}  // namespace chime::test
