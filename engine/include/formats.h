#pragma once
// Which files the program takes, and which engine call opens each: the open dialog's filter,
// the drop list and the two create tables, kept together because they differ on purpose.

#include <string>
#include <string_view>
#include <vector>

#include "engine.h"

namespace chime {

using CreateFn = HSTREAM(BOOL, const void*, QWORD, QWORD, DWORD);

// The extension of a path: its last component from the last "." on, dot included, lower-cased
// in A..Z only; empty when there is no dot.
std::string ExtensionOf(std::string_view path);

// The open dialog's single filter entry, as "description|pattern;pattern;...".
extern const char* const kOpenDialogFilter;
// The extensions a drop is taken for, in the order they are tested.
const std::vector<std::string>& DropList();
bool AcceptedByDrop(std::string_view extension);

struct CreateRow {
    const char* extension;
    CreateFn* create;
};
// The preview and scan streams' table and the export source's table, each in the order it is
// tested; an extension in neither opens through BASS_StreamCreateFile.
const std::vector<CreateRow>& PreviewCreateTable();
const std::vector<CreateRow>& ExportCreateTable();
CreateFn* PreviewCreateFor(std::string_view extension);
CreateFn* ExportCreateFor(std::string_view extension);

// Why a song could not be opened, in a user's words, from what lies at the path and the
// engine's error code: it is missing, a folder, empty, not readable, or not a sound file that
// can be read.
std::string OpenFailureReason(const std::string& path, int engineError);

}  // namespace chime
