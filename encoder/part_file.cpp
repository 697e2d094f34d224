#include "part_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace chime::faac {
namespace {

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates a unique file from a template ending in "XXXXXX"; returns its descriptor and stores
// its name.
int MakeUnique(const std::string& pattern, std::string& name) {
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkstemp(buffer.data());
    if (fd >= 0) name = buffer.data();
    return fd;
}

}  // namespace

std::unique_ptr<PartFile> PartFile::Create(const std::string& target, std::string& error) {
    if (target.empty()) {
        error = "no path given";
        return nullptr;
    }
    struct stat info {};
    if (target.back() == '/' || (::stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
        error = "it is a folder";
        return nullptr;
    }
    std::string path;
    int fd = MakeUnique(target + ".part-XXXXXX", path);
    // A name near the length limit leaves no room for the suffix; a short name in the same
    // folder still allows the rename.
    if (fd < 0 && errno == ENAMETOOLONG) {
        fd = MakeUnique(FolderOf(target) + "/.faac-part-XXXXXX", path);
    }
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    // mkstemp makes the file private; the result should get the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    return std::unique_ptr<PartFile>(new PartFile(target, path, fd));
}

PartFile::~PartFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
}

bool PartFile::Commit(std::string& error) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (::rename(path_.c_str(), target_.c_str()) != 0) {
        error = std::strerror(errno);
        return false;
    }
    committed_ = true;
    return true;
}

int CreateScratchFile(const std::string& path, std::string& error) {
    const std::string folder = FolderOf(path);
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // Not every file system has unnamed files: make a named one and drop its name at once.
    std::string name;
    fd = MakeUnique(folder + "/.faac-scratch-XXXXXX", name);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    ::unlink(name.c_str());
    return fd;
}

}  // namespace chime::faac
