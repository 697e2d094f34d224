#pragma once

#include <memory>
#include <string>
#include <utility>

namespace chime::faac {

// The output is written into a temporary file beside the target ("TARGET.part-XXXXXX") and
// renamed over the target only once it is complete, so that a failed run leaves no partial
// file and never destroys a file that was already there.
class PartFile {
  public:
    // Creates the temporary file; on failure error says why the target cannot be written.
    static std::unique_ptr<PartFile> Create(const std::string& target, std::string& error);
    ~PartFile();  // removes the temporary file unless it was committed
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Closes the temporary file and renames it over the target.
    bool Commit(std::string& error);

  private:
    PartFile(std::string target, std::string path, int fd)
        : target_(std::move(target)), path_(std::move(path)), fd_(fd) {}

    std::string target_;
    std::string path_;
    int fd_;
    bool committed_ = false;
};

// Opens an unnamed scratch file in the folder of path, where the output is being written
// anyway; returns its descriptor, or -1 with error set.
int CreateScratchFile(const std::string& path, std::string& error);

}  // namespace chime::faac
