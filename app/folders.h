#pragma once
// The program's folder routines. Folder strings end with "/"; "the drive" of a path is its
// root: "/" for an absolute path, "//server/share/" for a network path, nothing for a
// relative one.

#include <string>

namespace chime {

// Adds one trailing "/" (add) or removes exactly one (not add); an empty path stays empty.
std::string AdjustTrailingBackslash(const std::string& path, bool add);
// The first level + 1 "/"-terminated components of path, or "" when it has fewer.
std::string TakeLeadingFolders(int level, const std::string& path);
// Creates every missing level of path from the top down; true when all exist afterwards.
// False, creating nothing, for a bare root or a path without a root.
bool ForceFolders(const std::string& path);
// The folder part of a path: up to and including its last "/".
std::string FolderOf(const std::string& path);
// The user's documents folder (the home folder where there is none), without a trailing "/".
std::string GetDocumentsFolder();

}  // namespace chime
