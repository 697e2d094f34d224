#pragma once
// The maker's addresses, shown and opened by the about window; the help page's file name.

namespace chime {

inline constexpr const char* kMakerWebAddress = "https://corvane.example/chimewright";
inline constexpr const char* kSupportMailAddress = "support@corvane.example";
// Installed beside the program and opened in the browser.
inline constexpr const char* kHelpPageFile = "help.html";

}  // namespace chime
