#pragma once
// Drives the engine over one file the way the program does and checks what must always hold.

#include <string>

namespace chime::fuzz {

// Opens path as a measured decoding stream (float samples when choice is odd) and checks that
// pulling delivers exactly its length, that seeks inside it land where asked and deliver what
// is left, and that levels stay in range; then pulls it through a decoding mixer. Returns the
// first rule that did not hold, or "" (also when the file does not open, which is allowed).
std::string Exercise(const std::string& path, unsigned choice);

}  // namespace chime::fuzz
