#include "opening.h"

#include <algorithm>

namespace chime {

SongOpener::~SongOpener() {
    Stop();
}

uint64_t SongOpener::Start(const std::string& path, CreateFn* create) {
    JoinEnded();
    uint64_t ticket;
    {
        std::lock_guard lock(mutex_);
        // An opening that ended but was never taken belongs to nobody now.
        if (result_) {
            BASS_StreamFree(result_->preview);
            BASS_StreamFree(result_->scan);
            result_.reset();
        }
        ticket = ++latest_;
    }
    threads_.emplace_back(&SongOpener::Run, this, ticket, path, create);
    return ticket;
}

void SongOpener::Run(uint64_t ticket, std::string path, CreateFn* create) {
    OpenedSong song;
    song.preview = create(FALSE, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    if (song.preview == 0) {
        song.error = BASS_ErrorGetCode();
    } else {
        song.scan = create(FALSE, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
        if (song.scan == 0) song.error = BASS_ErrorGetCode();
    }
    bool wanted = false;
    {
        std::lock_guard lock(mutex_);
        wanted = ticket == latest_;
        if (wanted) result_ = song;
        ended_.push_back(std::this_thread::get_id());
    }
    if (!wanted) {
        BASS_StreamFree(song.preview);
        BASS_StreamFree(song.scan);
    }
}

std::optional<OpenedSong> SongOpener::Take(uint64_t ticket) {
    JoinEnded();
    std::lock_guard lock(mutex_);
    if (ticket != latest_ || !result_) return std::nullopt;
    std::optional<OpenedSong> song = result_;
    result_.reset();
    latest_ = 0;
    return song;
}

bool SongOpener::Busy() const {
    std::lock_guard lock(mutex_);
    return latest_ != 0 && !result_;
}

void SongOpener::Stop() {
    {
        std::lock_guard lock(mutex_);
        latest_ = 0;
        if (result_) {
            BASS_StreamFree(result_->preview);
            BASS_StreamFree(result_->scan);
            result_.reset();
        }
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
