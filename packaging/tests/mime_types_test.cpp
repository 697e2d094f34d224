// The menu entry's file types against the program's opening tables and the shared MIME database:
// every kind that the open dialog or a drop takes and that has a registered type is listed, so
// the file manager offers Chimewright for it, and nothing else is.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "formats.h"

namespace chime::test {
namespace {

constexpr const char* kGlobs = "/usr/share/mime/globs2";

std::set<std::string> Split(const std::string& text, char separator) {
    std::set<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) {
        if (!part.empty()) parts.insert(part);
    }
    return parts;
}

// The extensions, with their dots, that the open dialog's filter or the drop list takes.
std::set<std::string> AcceptedExtensions() {
    std::set<std::string> extensions(DropList().begin(), DropList().end());
    const std::string filter = kOpenDialogFilter;
    for (const std::string& pattern : Split(filter.substr(filter.find('|') + 1), ';')) {
        extensions.insert(pattern.substr(pattern.find('.')));
    }
    return extensions;
}

// The types that the MIME database registers for each extension ("*.ext" globs, any case).
std::map<std::string, std::set<std::string>> TypesByExtension() {
    std::map<std::string, std::set<std::string>> types;
    std::ifstream in(kGlobs);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        // weight:type:glob[:flags]
        std::stringstream fields(line);
        std::string weight, type, glob;
        std::getline(fields, weight, ':');
        std::getline(fields, type, ':');
        std::getline(fields, glob, ':');
        if (glob.size() < 3 || glob.compare(0, 2, "*.") != 0) continue;
        std::string extension = glob.substr(1);
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        types[extension].insert(type);
    }
    return types;
}

std::set<std::string> ListedTypes() {
    std::ifstream in(CHIME_DESKTOP_FILE);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("MimeType=", 0) == 0) return Split(line.substr(9), ';');
    }
    return {};
}

bool IsAudio(const std::string& type) {
    return type.rfind("audio/", 0) == 0;
}

TEST(MenuEntry, ListsTheTypeOfEveryKindTheProgramOpens) {
    if (!std::ifstream(kGlobs)) GTEST_SKIP() << kGlobs << " is missing (shared-mime-info)";
    const auto registered = TypesByExtension();
    const std::set<std::string> listed = ListedTypes();
    ASSERT_FALSE(listed.empty()) << CHIME_DESKTOP_FILE << " has no MimeType line";

    std::set<std::string> belonging;  // the types of the kinds the program takes
    int kindsWithTypes = 0;
    for (const std::string& extension : AcceptedExtensions()) {
        const auto found = registered.find(extension);
        if (found == registered.end()) continue;
        ++kindsWithTypes;
        const std::set<std::string>& types = found->second;
        belonging.insert(types.begin(), types.end());
        // Audio types all; a kind with none (".mp4") by one of its others. An audio kind's
        // other types (MPEG video for ".mp2", object code for ".mod") are left out.
        const bool hasAudio = std::any_of(types.begin(), types.end(), IsAudio);
        bool anyListed = false;
        for (const std::string& type : types) {
            const bool isListed = listed.count(type) != 0;
            anyListed = anyListed || isListed;
            if (IsAudio(type)) {
                EXPECT_TRUE(isListed) << type << " (" << extension << ")";
            } else if (hasAudio) {
                EXPECT_FALSE(isListed) << type << " is not how " << extension << " is known";
            }
        }
        EXPECT_TRUE(anyListed) << "no type of " << extension << " is listed";
    }
    EXPECT_GT(kindsWithTypes, 0) << "none of the program's kinds is in " << kGlobs;
    for (const std::string& type : listed) {
        EXPECT_TRUE(belonging.count(type) != 0)
            << type << " is listed, but the program takes no kind of that type";
    }
}

}  // namespace
}  // namespace chime::test
