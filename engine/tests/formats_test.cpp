// The file-type tables: dialog filter, drop list and the two create tables.

#include <gtest/gtest.h>

#include "formats.h"

namespace chime::test {
namespace {

TEST(Formats, ExtensionIsTheLastDotOfTheLastComponentLowerCasedInAsciiOnly) {
    const std::pair<const char*, const char*> cases[] = {
        {"/music/song.MP3", ".mp3"},
        {"/music/a.b/song", ""},
        {"/music/song.tar.FlAc", ".flac"},
        {"song.", "."},
        {"/music/.hidden", ".hidden"},
        {"/m/Ünïcode Söng.OGG", ".ogg"},
        {"/m/song.MÄ", ".mÄ"},
        {"", ""},
        {"/music/song.mp+", ".mp+"},
    };
    for (const auto& [path, ext] : cases)
        EXPECT_EQ(ExtensionOf(path), ext) << path;
}

TEST(Formats, EveryExtensionIsTakenAndOpenedAsTabled) {
    struct Row {
        const char* ext;
        bool inFilter;
        bool dropped;
        CreateFn* preview;
        CreateFn* exported;
    };
    CreateFn* const generic = BASS_StreamCreateFile;
    const Row rows[] = {
        {".mp3", true, true, generic, generic},
        {".mp2", true, true, generic, generic},
        {".mp1", true, true, generic, generic},
        {".ogg", true, true, generic, generic},
        {".wav", true, true, generic, generic},
        {".aif", true, false, generic, generic},
        {".mo3", true, false, generic, generic},
        {".aiff", false, true, generic, generic},
        {".it", true, true, generic, generic},
        {".xm", true, true, generic, generic},
        {".s3m", true, true, generic, generic},
        {".mtm", true, true, generic, generic},
        {".mod", true, true, generic, generic},
        {".umx", true, true, generic, generic},
        {".ac3", true, true, generic, BASS_AC3_StreamCreateFile},
        {".wma", true, true, BASS_WMA_StreamCreateFile, BASS_WMA_StreamCreateFile},
        {".ape", true, true, BASS_APE_StreamCreateFile, BASS_APE_StreamCreateFile},
        {".aac", true, true, BASS_AAC_StreamCreateFile, BASS_AAC_StreamCreateFile},
        {".mp4", true, true, BASS_MP4_StreamCreateFile, BASS_MP4_StreamCreateFile},
        {".m4a", true, true, BASS_MP4_StreamCreateFile, BASS_MP4_StreamCreateFile},
        {".m4b", false, true, BASS_MP4_StreamCreateFile, BASS_MP4_StreamCreateFile},
        {".alac", true, false, BASS_ALAC_StreamCreateFile, BASS_ALAC_StreamCreateFile},
        {".mpc", true, true, BASS_MPC_StreamCreateFile, BASS_MPC_StreamCreateFile},
        {".mpp", false, true, BASS_MPC_StreamCreateFile, BASS_MPC_StreamCreateFile},
        {".mp+", false, true, BASS_MPC_StreamCreateFile, BASS_MPC_StreamCreateFile},
        {".flac", true, true, BASS_FLAC_StreamCreateFile, BASS_FLAC_StreamCreateFile},
        {".fla", false, true, BASS_FLAC_StreamCreateFile, BASS_FLAC_StreamCreateFile},
        {".m4r", false, false, generic, generic},
        {"", false, false, generic, generic},
    };
    const std::string filter = kOpenDialogFilter;
    ASSERT_EQ(filter.rfind("All Support Files|", 0), 0u);
    int patterns = 0;
    for (const Row& r : rows) {
        const std::string pattern = std::string("*") + r.ext;
        const bool listed =
            !std::string(r.ext).empty() && (filter.find("|" + pattern + ";") != std::string::npos ||
                                            filter.find(";" + pattern + ";") != std::string::npos ||
                                            filter.ends_with(";" + pattern));
        patterns += listed;
        EXPECT_EQ(listed, r.inFilter) << r.ext;
        EXPECT_EQ(AcceptedByDrop(r.ext), r.dropped) << r.ext;
        EXPECT_EQ(PreviewCreateFor(r.ext), r.preview) << r.ext;
        EXPECT_EQ(ExportCreateFor(r.ext), r.exported) << r.ext;
    }
    EXPECT_EQ(patterns, 22);
    EXPECT_EQ(DropList().size(), 24u);
    EXPECT_EQ(DropList().front(), ".aac");
    EXPECT_EQ(DropList().back(), ".umx");
}

}  // namespace
}  // namespace chime::test
