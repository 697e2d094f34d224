#include "test_device.h"

#include <algorithm>

#include "playback.h"

namespace chime {

TestDevice& TestDevice::Instance() {
    static TestDevice* device = new TestDevice();
    return *device;
}

void TestDevice::Start() {
    std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = true;
    ticksAsked_ = ticksDone_ = 0;
    thread_ = std::thread([this] { Run(); });
}

void TestDevice::Stop() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
        thread = std::move(thread_);
    }
    asked_.notify_all();
    done_.notify_all();
    if (thread.joinable()) thread.join();
}

void TestDevice::Open(Playback* output, int rate) {
    std::lock_guard lock(mutex_);
    outputs_.push_back({output, rate, 0});
}

void TestDevice::Close(Playback* output) {
    std::lock_guard lock(mutex_);
    std::erase_if(outputs_, [output](const Output& o) { return o.playback == output; });
}

void TestDevice::Tick(int64_t microseconds) {
    std::unique_lock lock(mutex_);
    if (!running_) return;
    tickMicroseconds_ = microseconds;
    const uint64_t ticket = ++ticksAsked_;
    asked_.notify_all();
    done_.wait(lock, [this, ticket] { return ticksDone_ >= ticket || !running_; });
}

void TestDevice::Run() {
    std::unique_lock lock(mutex_);
    while (true) {
        asked_.wait(lock, [this] { return ticksAsked_ > ticksDone_ || !running_; });
        if (!running_) break;
        for (Output& o : outputs_) {
            o.owed += int64_t{o.rate} * tickMicroseconds_;
            const int64_t frames = o.owed / 1000000;
            o.owed %= 1000000;
            const size_t bytes = static_cast<size_t>(frames * o.playback->DeviceFrameBytes());
            if (buffer_.size() < bytes) buffer_.resize(bytes);
            o.playback->CopyOut(buffer_.data(), frames);
        }
        ticksDone_ = ticksAsked_;
        done_.notify_all();
    }
}

}  // namespace chime
