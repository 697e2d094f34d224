// Every input that once made the fuzz target fail, replayed through the same checks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "exercise.h"

namespace chime::fuzz {
namespace {

std::vector<std::string> Cases() {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(CHIME_FUZZ_REGRESSIONS)) {
        paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

class FuzzRegression : public testing::TestWithParam<std::string> {};

TEST_P(FuzzRegression, HoldsEveryRule) {
    // Both sample formats, as the fuzz target's choice picks one or the other.
    for (const unsigned choice : {0u, 1u}) {
        EXPECT_EQ(Exercise(GetParam(), choice), "") << GetParam() << " choice " << choice;
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzRegression, testing::ValuesIn(Cases()), [](const auto& info) {
    std::string name = std::filesystem::path(info.param).filename().string();
    for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

}  // namespace
}  // namespace chime::fuzz
