#include "opening.h"

#include <algorithm>

namespace chime {

SongOpener::~SongOpener() {
    Stop();
}

void SongOpener::DropUntaken() {
    for (std::optional<OpenedStream>* slot : {&preview_, &scan_}) {
        if (*slot) BASS_StreamFree((*slot)->handle);
        slot->reset();
    }
}

uint64_t SongOpener::Start(const std::string& path, CreateFn* create) {
    JoinEnded();
    uint64_t ticket;
    {
        std::lock_guard lock(mutex_);
        DropUntaken();
        ticket = ++latest_;
    }
    threads_.emplace_back(&SongOpener::Run, this, ticket, path, create);
    return ticket;
}

bool SongOpener::Keep(uint64_t ticket, std::optional<OpenedStream>& slot,
                      const OpenedStream& made) {
    std::lock_guard lock(mutex_);
    if (ticket != latest_) return false;
    slot = made;
    return true;
}

void SongOpener::Run(uint64_t ticket, std::string path, CreateFn* create) {
    OpenedStream preview;
    preview.handle = create(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    if (preview.handle == 0) preview.error = BASS_ErrorGetCode();
    const bool wanted = Keep(ticket, preview_, preview);
    if (!wanted) BASS_StreamFree(preview.handle);
    if (wanted && preview.handle != 0) {
        OpenedStream scan;
        scan.handle = create(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
        if (scan.handle == 0) scan.error = BASS_ErrorGetCode();
        if (!Keep(ticket, scan_, scan)) BASS_StreamFree(scan.handle);
    }
    std::lock_guard lock(mutex_);
    ended_.push_back(std::this_thread::get_id());
}

std::optional<OpenedStream> SongOpener::TakePreview(uint64_t ticket) {
    JoinEnded();
    std::lock_guard lock(mutex_);
    if (ticket != latest_ || !preview_) return std::nullopt;
    std::optional<OpenedStream> made = preview_;
    preview_.reset();
    return made;
}

std::optional<OpenedStream> SongOpener::TakeScan(uint64_t ticket) {
    JoinEnded();
    std::lock_guard lock(mutex_);
    if (ticket != latest_ || !scan_) return std::nullopt;
    std::optional<OpenedStream> made = scan_;
    scan_.reset();
    return made;
}

void SongOpener::Stop() {
    {
        std::lock_guard lock(mutex_);
        ++latest_;  // no opening under way is the latest any more
        DropUntaken();
    }
    for (std::thread& t : threads_)
        t.join();
    threads_.clear();
    std::lock_guard lock(mutex_);
    ended_.clear();
}

void SongOpener::JoinEnded() {
    std::vector<std::thread::id> ended;
    {
        std::lock_guard lock(mutex_);
        ended.swap(ended_);
    }
    for (const std::thread::id id : ended) {
        auto it = std::find_if(threads_.begin(), threads_.end(),
                               [id](const std::thread& t) { return t.get_id() == id; });
        if (it == threads_.end()) continue;
        it->join();
        threads_.erase(it);
    }
}

}  // namespace chime
