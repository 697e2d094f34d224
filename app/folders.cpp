#include "folders.h"

#include <QDir>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>

namespace chime {

std::string AdjustTrailingBackslash(const std::string& path, bool add) {
    if (path.empty()) return path;
    if (add) return path.back() == '/' ? path : path + "/";
    return path.back() == '/' ? path.substr(0, path.size() - 1) : path;
}

std::string TakeLeadingFolders(int level, const std::string& path) {
    std::string result;
    std::string rest = path;
    for (int i = 0; i <= level; ++i) {
        const size_t slash = rest.find('/');
        if (slash == std::string::npos) return {};
        result += rest.substr(0, slash + 1);
        rest.erase(0, slash + 1);
    }
    return result;
}

namespace {

// The root of a path: "/" for an absolute path, "//server/share" for a network path (the
// share's closing "/" not included), "" for a relative one.
std::string DrivePart(const std::string& path) {
    if (path.rfind("//", 0) == 0) {
        const size_t server = path.find('/', 2);
        if (server == std::string::npos) return path;
        const size_t share = path.find('/', server + 1);
        return share == std::string::npos ? path : path.substr(0, share);
    }
    return path.rfind('/', 0) == 0 ? std::string("/") : std::string();
}

}  // namespace

bool ForceFolders(const std::string& target) {
    const std::string path = AdjustTrailingBackslash(target, true);
    const std::string drivePart = DrivePart(path);
    const std::string drive = AdjustTrailingBackslash(drivePart, true);
    const std::string rest =
        AdjustTrailingBackslash(FolderOf(path).substr(std::min(drive.size(), path.size())), true);
    if (drive.empty() || rest.empty()) return false;
    for (int i = 0;; ++i) {
        const std::string part = TakeLeadingFolders(i, rest);
        if (part.empty()) return true;
        std::error_code ec;
        const std::filesystem::path level(drive + part);
        if (!std::filesystem::is_directory(level, ec)) {
            if (!std::filesystem::create_directory(level, ec) || ec) return false;
        }
    }
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string GetDocumentsFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty()) folder = QDir::homePath();
    return AdjustTrailingBackslash(folder.toStdString(), false);
}

}  // namespace chime
