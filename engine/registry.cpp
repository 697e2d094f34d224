#include "registry.h"

#include "mixer.h"

namespace chime {

Registry& TheRegistry() {
    static Registry* registry = new Registry();
    return *registry;
}

DWORD Registry::NewHandle() {
    std::lock_guard lock(mutex_);
    if (++lastHandle_ == 0) ++lastHandle_;
    return lastHandle_;
}

std::shared_ptr<Channel> Registry::Find(DWORD handle) const {
    std::lock_guard lock(mutex_);
    auto it = channels_.find(handle);
    return it == channels_.end() ? nullptr : it->second;
}

HSTREAM Registry::OpenStream(const std::string& path, DWORD flags, int& error) {
    std::unique_ptr<Decoder> decoder = Stream::OpenDecoder(path, flags, error);
    if (!decoder) return 0;
    const DWORD handle = NewHandle();
    auto stream = std::make_shared<Stream>(handle, flags, std::move(decoder), path);
    std::lock_guard lock(mutex_);
    channels_.emplace(handle, std::move(stream));
    return handle;
}

HSTREAM Registry::AddMixer(int rate, int channels, DWORD flags) {
    const DWORD handle = NewHandle();
    auto mixer = std::make_shared<Mixer>(handle, flags, rate, channels);
    std::lock_guard lock(mutex_);
    channels_.emplace(handle, std::move(mixer));
    return handle;
}

bool Registry::Free(DWORD handle) {
    std::shared_ptr<Channel> channel;
    {
        std::lock_guard lock(mutex_);
        auto it = channels_.find(handle);
        if (it == channels_.end()) return false;
        channel = std::move(it->second);
        channels_.erase(it);
    }
    FreeChannel(channel);
    return true;
}

void Registry::FreeAll() {
    std::vector<std::shared_ptr<Channel>> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& [handle, channel] : channels_)
            all.push_back(std::move(channel));
        channels_.clear();
    }
    for (const auto& channel : all)
        FreeChannel(channel);
    encoders_.Clear();
}

void Registry::FreeChannel(const std::shared_ptr<Channel>& channel) {
    encoders_.EndAll(channel);
    std::vector<std::shared_ptr<Channel>> sources;
    {
        std::lock_guard lock(channel->mutex());
        sources = channel->Free();
    }
    for (const auto& source : sources)
        Free(source->Handle());
}

HENCODE Registry::StartEncoder(Channel& channel, const char* commandLine, DWORD flags,
                               int64_t limit, int& error) {
    const HENCODE handle = NewHandle();
    const HDSP dsp = NewHandle();
    error = encoders_.Start(channel, commandLine, flags, limit, handle, dsp);
    return error == BASS_OK ? handle : 0;
}

bool Registry::EndEncoders(DWORD handle, EncoderEnd how) {
    const auto records = encoders_.For(handle);
    for (const auto& r : records)
        EndEncoder(*r, Find(r->channel), how);
    return !records.empty();
}

}  // namespace chime
