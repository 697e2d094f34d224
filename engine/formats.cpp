#include "formats.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace chime {

std::string ExtensionOf(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos) return {};
    std::string ext(name.substr(dot));
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return ext;
}

const char* const kOpenDialogFilter =
    "All Support Files|*.mp3;*.mp2;*.mp1;*.ogg;*.wav;*.aif;*.mo3;*.it;*.wma;*.mpc;*.flac;*.ape;"
    "*.alac;*.aac;*.mp4;*.m4a;*.ac3;*.xm;*.s3m;*.mtm;*.mod;*.umx";

const std::vector<std::string>& DropList() {
    static const std::vector<std::string> list = {".aac", ".mp4", ".m4a", ".flac", ".fla", ".mpc",
                                                  ".mp+", ".mpp", ".wav", ".ape",  ".mp3", ".mp2",
                                                  ".mp1", ".ogg", ".wma", ".ac3",  ".m4b", ".aiff",
                                                  ".xm",  ".it",  ".s3m", ".mod",  ".mtm", ".umx"};
    return list;
}

bool AcceptedByDrop(std::string_view extension) {
    const auto& list = DropList();
    return std::find(list.begin(), list.end(), extension) != list.end();
}

const std::vector<CreateRow>& PreviewCreateTable() {
    static const std::vector<CreateRow> table = {
        {".wma", BASS_WMA_StreamCreateFile},   {".ape", BASS_APE_StreamCreateFile},
        {".aac", BASS_AAC_StreamCreateFile},   {".mp4", BASS_MP4_StreamCreateFile},
        {".m4a", BASS_MP4_StreamCreateFile},   {".m4b", BASS_MP4_StreamCreateFile},
        {".alac", BASS_ALAC_StreamCreateFile}, {".mpc", BASS_MPC_StreamCreateFile},
        {".mpp", BASS_MPC_StreamCreateFile},   {".mp+", BASS_MPC_StreamCreateFile},
        {".flac", BASS_FLAC_StreamCreateFile}, {".fla", BASS_FLAC_StreamCreateFile},
    };
    return table;
}

// The export reads AC-3 through its own call, which the preview does not.
const std::vector<CreateRow>& ExportCreateTable() {
    static const std::vector<CreateRow> table = {
        {".wma", BASS_WMA_StreamCreateFile},  {".ape", BASS_APE_StreamCreateFile},
        {".ac3", BASS_AC3_StreamCreateFile},  {".alac", BASS_ALAC_StreamCreateFile},
        {".aac", BASS_AAC_StreamCreateFile},  {".m4a", BASS_MP4_StreamCreateFile},
        {".m4b", BASS_MP4_StreamCreateFile},  {".mp4", BASS_MP4_StreamCreateFile},
        {".mpc", BASS_MPC_StreamCreateFile},  {".mpp", BASS_MPC_StreamCreateFile},
        {".mp+", BASS_MPC_StreamCreateFile},  {".flac", BASS_FLAC_StreamCreateFile},
        {".fla", BASS_FLAC_StreamCreateFile},
    };
    return table;
}

namespace {

CreateFn* Lookup(const std::vector<CreateRow>& table, std::string_view extension) {
    for (const CreateRow& row : table) {
        if (extension == row.extension) return row.create;
    }
    return BASS_StreamCreateFile;
}

}  // namespace

CreateFn* PreviewCreateFor(std::string_view extension) {
    return Lookup(PreviewCreateTable(), extension);
}

CreateFn* ExportCreateFor(std::string_view extension) {
    return Lookup(ExportCreateTable(), extension);
}

std::string OpenFailureReason(const std::string& path, int engineError) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (path.empty() || status.type() == fs::file_type::not_found) {
        return "there is no such file (it may have been moved or deleted)";
    }
    if (status.type() == fs::file_type::directory) return "it is a folder, not a sound file";
    if (status.type() == fs::file_type::regular && fs::file_size(path, ec) == 0 && !ec) {
        return "the file is empty";
    }
    if (engineError == BASS_ERROR_FILEOPEN || ::access(path.c_str(), R_OK) != 0) {
        return "it cannot be read: you have no permission to read it";
    }
    if (engineError == BASS_ERROR_MEM) return "there is not enough memory to open it";
    return "it is not a sound file that Chimewright can read";
}

}  // namespace chime
