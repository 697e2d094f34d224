// The engine's calls: the handle table, the output and the playback thread.

#include <portaudio.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "channel.h"
#include "encoder.h"
#include "engine.h"
#include "mixer.h"
#include "playback.h"
#include "sample_convert.h"

namespace chime {
namespace {

thread_local int lastError = BASS_OK;

template <typename T>
T Fail(int code, T value) {
    lastError = code;
    return value;
}

template <typename T>
T Ok(T value) {
    lastError = BASS_OK;
    return value;
}

// An encoder fed by a DSP routine that runs after every other routine of its channel.
struct EncoderRecord {
    std::unique_ptr<Encoder> encoder;
    DWORD channel = 0;
    HDSP dsp = 0;
    bool toInt = false;  // float data handed over as 16-bit
    std::vector<int16_t> scratch;
};

// Lock order: a channel's mutex may be held while the engine's is taken, never the reverse; a
// mixer's may be held while a source's is taken.
struct Engine {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<Channel>> channels;
    DWORD lastHandle = 0;
    bool initialized = false;
    bool silent = false;
    bool portAudio = false;
    bool running = false;
    std::thread thread;
    std::condition_variable wake;
    std::vector<std::weak_ptr<Channel>> played;
    std::unordered_map<DWORD, std::shared_ptr<EncoderRecord>> encoders;

    // Handles count up and are not issued again until the 32-bit count wraps.
    DWORD NewHandle() {
        std::lock_guard lock(mutex);
        if (++lastHandle == 0) ++lastHandle;
        return lastHandle;
    }
};

// Never destroyed: a stream freed by a late caller at exit must still find the table.
Engine& TheEngine() {
    static Engine* engine = new Engine();
    return *engine;
}

std::shared_ptr<Channel> Find(DWORD handle) {
    Engine& e = TheEngine();
    std::lock_guard lock(e.mutex);
    auto it = e.channels.find(handle);
    return it == e.channels.end() ? nullptr : it->second;
}

std::shared_ptr<EncoderRecord> FindEncoder(DWORD handle) {
    Engine& e = TheEngine();
    std::lock_guard lock(e.mutex);
    auto it = e.encoders.find(handle);
    return it == e.encoders.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<EncoderRecord>> EncodersOf(DWORD channel) {
    Engine& e = TheEngine();
    std::lock_guard lock(e.mutex);
    std::vector<std::shared_ptr<EncoderRecord>> out;
    for (auto& [h, r] : e.encoders) {
        if (r->channel == channel) out.push_back(r);
    }
    return out;
}

// An encoder's handle names that encoder; a channel's names every encoder on it.
std::vector<std::shared_ptr<EncoderRecord>> EncodersFor(DWORD handle) {
    if (auto r = FindEncoder(handle)) return {std::move(r)};
    return EncodersOf(handle);
}

void EncodeDspProc(HDSP, DWORD, void* buffer, DWORD length, void* user) {
    auto* r = static_cast<EncoderRecord*>(user);
    if (!r->toInt) {
        r->encoder->Write(static_cast<const uint8_t*>(buffer), length);
        return;
    }
    const float* in = static_cast<const float*>(buffer);
    const size_t n = length / sizeof(float);
    r->scratch.resize(n);
    FloatTo16(in, r->scratch.data(), static_cast<ptrdiff_t>(n));
    r->encoder->Write(reinterpret_cast<const uint8_t*>(r->scratch.data()), n * 2);
}

// Detaches the encoder from its channel, then ends it the given way: the routine goes first,
// so no pull writes to the program after it has been told the data is over.
enum class EncoderEnd { Finish, Stop, Abort };
void EndEncoder(EncoderRecord& r, const std::shared_ptr<Channel>& ch, EncoderEnd how) {
    // A pull waiting on the program's full pipe lets go of the channel's lock at once.
    r.encoder->Deactivate();
    if (ch) {
        std::lock_guard lock(ch->mutex());
        ch->RemoveDsp(r.dsp);
    }
    switch (how) {
        case EncoderEnd::Finish:
            r.encoder->CloseInput();
            break;
        case EncoderEnd::Stop:
            r.encoder->Stop();
            break;
        case EncoderEnd::Abort:
            r.encoder->Abort();
            break;
    }
}

// Frees a channel: no routine of it runs again, its encoders finish, its output closes.
void FreeChannel(const std::shared_ptr<Channel>& ch) {
    for (auto& r : EncodersOf(ch->Handle())) {
        EndEncoder(*r, ch, EncoderEnd::Stop);
        Engine& e = TheEngine();
        std::lock_guard lock(e.mutex);
        std::erase_if(e.encoders, [&r](const auto& kv) { return kv.second == r; });
    }
    std::vector<std::shared_ptr<Channel>> sources;
    {
        std::lock_guard chLock(ch->mutex());
        ch->Release();
        // From inside the channel's own routines the output is still in use up the stack; the
        // playback thread drops it afterwards.
        if (!ch->PulledOnThisThread()) {
            ch->playback().reset();
        } else if (ch->playback()) {
            ch->playback()->SetState(PlayState::Stopped);
        }
        if (auto* mixer = dynamic_cast<Mixer*>(ch.get())) sources = mixer->AutoFreeSources();
    }
    for (const auto& source : sources)
        BASS_StreamFree(source->Handle());
}

// The playback thread: keeps every playing channel's output fed and calls the syncs that are
// due when their position is heard.
void PlaybackThread() {
    Engine& e = TheEngine();
    std::unique_lock lock(e.mutex);
    while (e.running) {
        std::vector<std::shared_ptr<Channel>> list;
        std::erase_if(e.played, [&list](const std::weak_ptr<Channel>& w) {
            auto c = w.lock();
            if (!c) return true;
            list.push_back(std::move(c));
            return false;
        });
        lock.unlock();
        for (const auto& ch : list) {
            Playback::Service service;
            {
                std::lock_guard chLock(ch->mutex());
                if (ch->Released()) {
                    ch->playback().reset();
                    continue;
                }
                if (!ch->playback()) continue;
                service = ch->playback()->Run(*ch);
            }
            for (const DeferredSync& s : service.due) {
                // Under the channel's lock: once a removal or a free has returned, the sync
                // never runs again.
                std::lock_guard chLock(ch->mutex());
                if (ch->TakeHeardSync(s.handle)) s.proc(s.handle, ch->Handle(), s.data, s.user);
            }
            if (service.finished && (ch->Flags() & BASS_STREAM_AUTOFREE)) {
                BASS_StreamFree(ch->Handle());
            }
        }
        list.clear();
        lock.lock();
        e.wake.wait_for(lock, std::chrono::milliseconds(5));
    }
}

HSTREAM CreateStream(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
    if (mem || offset != 0 || length != 0 || (flags & BASS_UNICODE)) {
        return Fail<HSTREAM>(BASS_ERROR_ILLPARAM, 0);
    }
    if (file == nullptr) return Fail<HSTREAM>(BASS_ERROR_FILEOPEN, 0);
    const std::string path(static_cast<const char*>(file));
    DecoderOptions options;
    options.floatSamples = (flags & BASS_SAMPLE_FLOAT) != 0;
    options.exactLength = (flags & BASS_STREAM_PRESCAN) != 0;
    int error = BASS_OK;
    std::unique_ptr<Decoder> decoder = Decoder::Open(path, options, error);
    if (!decoder) return Fail<HSTREAM>(error, 0);
    Engine& e = TheEngine();
    const DWORD handle = e.NewHandle();
    auto stream = std::make_shared<Stream>(handle, flags, std::move(decoder), path);
    std::lock_guard lock(e.mutex);
    e.channels.emplace(handle, std::move(stream));
    return Ok(handle);
}

}  // namespace
}  // namespace chime

using namespace chime;

DWORD BASS_GetVersion() {
    return Ok((BASSVERSION << 16) | 0x0000);
}

BOOL BASS_Init(int device, DWORD, DWORD, void*, const void*) {
    Engine& e = TheEngine();
    std::lock_guard lock(e.mutex);
    if (e.initialized) return Fail(BASS_ERROR_ALREADY, FALSE);
    if (device < -1) return Fail(BASS_ERROR_DEVICE, FALSE);
    const char* choice = std::getenv("CHIMEWRIGHT_AUDIO");
    e.silent = device == 0 || (choice != nullptr && std::strcmp(choice, "silent") == 0);
    if (!e.silent) {
        if (Pa_Initialize() == paNoError) {
            e.portAudio = true;
            if (Pa_GetDefaultOutputDevice() == paNoDevice) e.silent = true;
        } else {
            e.silent = true;
        }
    }
    e.initialized = true;
    e.running = true;
    e.thread = std::thread(PlaybackThread);
    return Ok(TRUE);
}

BOOL BASS_Free() {
    Engine& e = TheEngine();
    std::vector<std::shared_ptr<Channel>> all;
    std::thread thread;
    {
        std::lock_guard lock(e.mutex);
        if (!e.initialized) return Fail(BASS_ERROR_INIT, FALSE);
        e.initialized = false;
        e.running = false;
        thread = std::move(e.thread);
        for (auto& [handle, ch] : e.channels)
            all.push_back(ch);
        e.channels.clear();
        e.played.clear();
    }
    e.wake.notify_all();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
    for (const auto& ch : all)
        FreeChannel(ch);
    {
        std::lock_guard lock(e.mutex);
        e.encoders.clear();
    }
    if (e.portAudio) {
        Pa_Terminate();
        e.portAudio = false;
    }
    return Ok(TRUE);
}

int BASS_ErrorGetCode() {
    return lastError;
}

BOOL BASS_SetConfig(DWORD option, DWORD value) {
    if (option != BASS_CONFIG_ENCODE_STALL || value == 0 || value > 3600000) {
        return Fail(BASS_ERROR_ILLPARAM, FALSE);
    }
    Encoder::SetStallMilliseconds(static_cast<int>(value));
    return Ok(TRUE);
}

DWORD BASS_GetConfig(DWORD option) {
    if (option != BASS_CONFIG_ENCODE_STALL) return Fail(BASS_ERROR_ILLPARAM, DWORD{0xFFFFFFFF});
    return Ok(static_cast<DWORD>(Encoder::StallMilliseconds()));
}

BOOL BASS_IsSilentDevice() {
    Engine& e = TheEngine();
    std::lock_guard lock(e.mutex);
    return e.initialized && e.silent ? TRUE : FALSE;
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
    return CreateStream(mem, file, offset, length, flags);
}
// Each format's create call accepts whatever FFmpeg decodes.
HSTREAM BASS_FLAC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                   DWORD flags) {
    return CreateStream(mem, file, offset, length, flags);
}
HSTREAM BASS_AAC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags) {
    return CreateStream(mem, file, offset, length, flags);
}
HSTREAM BASS_MP4_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags) {
    return CreateStream(mem, file, offset, length, flags);
}
HSTREAM BASS_MPC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags) {
    return CreateStream(mem, file, offset, length, flags);
}
HSTREAM BASS_ALAC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                   DWORD flags) {
    return CreateStream(mem, file, offset, length, flags);
}
HSTREAM BASS_AC3_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags) {
    return CreateStream(mem, file, offset, length, flags);
}
HSTREAM BASS_APE_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags) {
    return CreateStream(mem, file, offset, length, flags);
}
HSTREAM BASS_WMA_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags) {
    return CreateStream(mem, file, offset, length, flags);
}

BOOL BASS_StreamFree(HSTREAM handle) {
    Engine& e = TheEngine();
    std::shared_ptr<Channel> ch;
    {
        std::lock_guard lock(e.mutex);
        auto it = e.channels.find(handle);
        if (it == e.channels.end()) return Fail(BASS_ERROR_HANDLE, FALSE);
        ch = std::move(it->second);
        e.channels.erase(it);
    }
    FreeChannel(ch);
    return Ok(TRUE);
}

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (info == nullptr) return Fail(BASS_ERROR_ILLPARAM, FALSE);
    std::lock_guard lock(ch->mutex());
    *info = {};
    info->freq = static_cast<DWORD>(ch->Rate());
    info->chans = static_cast<DWORD>(ch->Channels());
    info->flags = ch->Flags();
    info->origres = static_cast<DWORD>(ch->SourceBits());
    info->filename = ch->FileName();
    return Ok(TRUE);
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    auto ch = Find(handle);
    if (!ch) return Fail<QWORD>(BASS_ERROR_HANDLE, -1);
    if (mode != BASS_POS_BYTE) return Fail<QWORD>(BASS_ERROR_NOTAVAIL, -1);
    std::lock_guard lock(ch->mutex());
    const int64_t length = ch->LengthBytes();
    if (length < 0) return Fail<QWORD>(BASS_ERROR_NOTAVAIL, -1);
    return Ok<QWORD>(length);
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, -1.0);
    if (pos < 0) return Fail(BASS_ERROR_ILLPARAM, -1.0);
    return Ok(static_cast<double>(pos) / (static_cast<double>(ch->Rate()) * ch->FrameBytes()));
}

QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double pos) {
    auto ch = Find(handle);
    if (!ch) return Fail<QWORD>(BASS_ERROR_HANDLE, -1);
    if (!(pos >= 0) || pos > 1e12) return Fail<QWORD>(BASS_ERROR_ILLPARAM, -1);
    // Whole frames, rounded down; a product that misses a whole number only by the double's
    // representation error (0.02 s at 44100 Hz) counts as that number.
    const double frames = pos * ch->Rate();
    double whole = std::nearbyint(frames);
    if (std::fabs(frames - whole) > 1e-7 * std::max(1.0, whole)) whole = std::floor(frames);
    return Ok<QWORD>(static_cast<int64_t>(whole) * ch->FrameBytes());
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
    Engine& e = TheEngine();
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (ch->IsDecoding()) return Fail(BASS_ERROR_DECODE, FALSE);
    bool silent = false;
    {
        std::lock_guard lock(e.mutex);
        if (!e.initialized) return Fail(BASS_ERROR_INIT, FALSE);
        silent = e.silent;
    }
    {
        std::lock_guard lock(ch->mutex());
        if (ch->Released()) return Fail(BASS_ERROR_HANDLE, FALSE);
        if (restart) {
            ch->SetPosition(0);
            if (ch->playback()) ch->playback()->Flush(0);
        }
        auto& playback = ch->playback();
        if (!playback) playback = std::make_unique<Playback>(*ch, silent);
        // A stream that has played to its end plays again from the start.
        if (playback->State() == PlayState::Stopped && ch->AtEnd()) {
            ch->SetPosition(0);
            playback->Flush(0);
        }
        if (playback->State() != PlayState::Playing) playback->SetState(PlayState::Playing);
    }
    {
        std::lock_guard lock(e.mutex);
        bool listed = false;
        for (const auto& w : e.played)
            listed = listed || w.lock() == ch;
        if (!listed) e.played.push_back(ch);
    }
    e.wake.notify_all();
    return Ok(TRUE);
}

BOOL BASS_ChannelPause(DWORD handle) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (ch->IsDecoding()) return Fail(BASS_ERROR_DECODE, FALSE);
    std::lock_guard lock(ch->mutex());
    if (!ch->playback() || ch->playback()->State() != PlayState::Playing) {
        return Fail(BASS_ERROR_NOPLAY, FALSE);
    }
    ch->playback()->SetState(PlayState::Paused);
    return Ok(TRUE);
}

BOOL BASS_ChannelStop(DWORD handle) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    std::lock_guard lock(ch->mutex());
    if (ch->IsDecoding()) {
        ch->SetStopped(true);
        return Ok(TRUE);
    }
    auto& playback = ch->playback();
    if (playback && playback->State() != PlayState::Stopped) {
        // What was buffered but not heard is decoded again when play resumes.
        const int64_t heard = playback->HeardPosition(*ch);
        playback->SetState(PlayState::Stopped);
        if (!ch->PulledOnThisThread()) {
            ch->SetPosition(heard);
            playback->Flush(ch->DecodePosition());
        }
    }
    return Ok(TRUE);
}

BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (mode != BASS_POS_BYTE) return Fail(BASS_ERROR_NOTAVAIL, FALSE);
    std::lock_guard lock(ch->mutex());
    if (ch->Released()) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (!ch->SetPosition(pos)) return Fail(BASS_ERROR_POSITION, FALSE);
    // A seek from the channel's own sync or DSP routine continues the data being decoded (a
    // seamless loop); any other seek drops what is buffered so it is heard at once.
    if (ch->playback() && !ch->PulledOnThisThread()) ch->playback()->Flush(ch->DecodePosition());
    return Ok(TRUE);
}

QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    auto ch = Find(handle);
    if (!ch) return Fail<QWORD>(BASS_ERROR_HANDLE, -1);
    if (mode != BASS_POS_BYTE) return Fail<QWORD>(BASS_ERROR_NOTAVAIL, -1);
    std::lock_guard lock(ch->mutex());
    auto& playback = ch->playback();
    if (playback && playback->State() != PlayState::Stopped) {
        return Ok<QWORD>(playback->HeardPosition(*ch));
    }
    return Ok<QWORD>(ch->DecodePosition());
}

DWORD BASS_ChannelIsActive(DWORD handle) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, BASS_ACTIVE_STOPPED);
    std::lock_guard lock(ch->mutex());
    if (ch->IsDecoding()) {
        return Ok(ch->Stopped() || ch->AtEnd() ? BASS_ACTIVE_STOPPED : BASS_ACTIVE_PLAYING);
    }
    if (!ch->playback()) return Ok(BASS_ACTIVE_STOPPED);
    return Ok(static_cast<DWORD>(ch->playback()->State()));
}

DWORD BASS_ChannelGetLevel(DWORD handle) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, DWORD{0xFFFFFFFF});
    std::lock_guard lock(ch->mutex());
    if (!ch->IsDecoding()) {
        if (!ch->playback()) return Fail(BASS_ERROR_NOPLAY, DWORD{0xFFFFFFFF});
        return Ok(ch->playback()->Level(*ch));
    }
    if (ch->Stopped()) return Fail(BASS_ERROR_NOPLAY, DWORD{0xFFFFFFFF});
    // 20 ms of the channel's data, pulled as a read would pull it, through a block of fixed size
    // whatever the rate and channels.
    uint8_t block[16384];
    const int frameBytes = ch->FrameBytes();
    const int64_t blockFrames =
        std::max<int64_t>(1, static_cast<int64_t>(sizeof block) / frameBytes);
    int64_t left = std::max(1, ch->Rate() / 50);
    bool any = false;
    Peaks p;
    while (left > 0) {
        const int64_t want = std::min(left, blockFrames);
        const int64_t got = ch->Pull(block, want * frameBytes, nullptr) / frameBytes;
        if (got <= 0) break;
        any = true;
        const Peaks q = MeasurePeaks(block, got, ch->Channels(), ch->IsFloat());
        p.left = std::max(p.left, q.left);
        p.right = std::max(p.right, q.right);
        left -= got;
        if (got < want) break;
    }
    if (!any) return Fail(BASS_ERROR_ENDED, DWORD{0xFFFFFFFF});
    return Ok(static_cast<DWORD>(p.left) | (static_cast<DWORD>(p.right) << 16));
}

DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, DWORD{0xFFFFFFFF});
    if (!ch->IsDecoding()) return Fail(BASS_ERROR_NOTAVAIL, DWORD{0xFFFFFFFF});
    // Only plain byte counts are understood; the high bits carry request kinds.
    if ((length & 0xF0000000) != 0 || buffer == nullptr) {
        return Fail(BASS_ERROR_ILLPARAM, DWORD{0xFFFFFFFF});
    }
    std::lock_guard lock(ch->mutex());
    if (ch->Released()) return Fail(BASS_ERROR_HANDLE, DWORD{0xFFFFFFFF});
    if (ch->Stopped()) return Fail(BASS_ERROR_NOPLAY, DWORD{0xFFFFFFFF});
    const int64_t got = ch->Pull(static_cast<uint8_t*>(buffer), length, nullptr);
    return Ok(static_cast<DWORD>(got));
}

HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC* proc, void* user) {
    auto ch = Find(handle);
    if (!ch) return Fail<HSYNC>(BASS_ERROR_HANDLE, 0);
    const DWORD kind = type & 0xFF;
    // A position before 0 (a fade-out point computed as end minus a longer fade) is taken and
    // simply never reached.
    if (proc == nullptr ||
        (kind != BASS_SYNC_POS && kind != BASS_SYNC_END && kind != BASS_SYNC_MOVE)) {
        return Fail<HSYNC>(BASS_ERROR_ILLPARAM, 0);
    }
    std::lock_guard lock(ch->mutex());
    if (ch->Released()) return Fail<HSYNC>(BASS_ERROR_HANDLE, 0);
    return Ok(ch->AddSync(TheEngine().NewHandle(), type, param, proc, user));
}

BOOL BASS_ChannelRemoveSync(DWORD handle, HSYNC sync) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    std::lock_guard lock(ch->mutex());
    return ch->RemoveSync(sync) ? Ok(TRUE) : Fail(BASS_ERROR_HANDLE, FALSE);
}

HDSP BASS_ChannelSetDSP(DWORD handle, DSPPROC* proc, void* user, int priority) {
    auto ch = Find(handle);
    if (!ch) return Fail<HDSP>(BASS_ERROR_HANDLE, 0);
    if (proc == nullptr) return Fail<HDSP>(BASS_ERROR_ILLPARAM, 0);
    std::lock_guard lock(ch->mutex());
    if (ch->Released()) return Fail<HDSP>(BASS_ERROR_HANDLE, 0);
    const HDSP dsp = TheEngine().NewHandle();
    ch->AddDsp(dsp, proc, user, priority);
    return Ok(dsp);
}

BOOL BASS_ChannelRemoveDSP(DWORD handle, HDSP dsp) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    std::lock_guard lock(ch->mutex());
    return ch->RemoveDsp(dsp) ? Ok(TRUE) : Fail(BASS_ERROR_HANDLE, FALSE);
}

QWORD BASS_ChannelGetDSPStart(DWORD handle, HDSP dsp) {
    auto ch = Find(handle);
    if (!ch) return Fail<QWORD>(BASS_ERROR_HANDLE, -1);
    std::lock_guard lock(ch->mutex());
    const int64_t start = ch->DspStart(dsp);
    return start < 0 ? Fail<QWORD>(BASS_ERROR_HANDLE, -1) : Ok<QWORD>(start);
}

HSTREAM BASS_Mixer_StreamCreate(DWORD freq, DWORD chans, DWORD flags) {
    if (freq < 1000 || freq > 384000 || chans < 1 || chans > 8) {
        return Fail<HSTREAM>(BASS_ERROR_FORMAT, 0);
    }
    Engine& e = TheEngine();
    const DWORD handle = e.NewHandle();
    auto mixer =
        std::make_shared<Mixer>(handle, flags, static_cast<int>(freq), static_cast<int>(chans));
    std::lock_guard lock(e.mutex);
    e.channels.emplace(handle, std::move(mixer));
    return Ok(handle);
}

BOOL BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD flags) {
    auto ch = Find(handle);
    auto source = Find(channel);
    auto* mixer = dynamic_cast<Mixer*>(ch.get());
    if (mixer == nullptr || !source) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (!source->IsDecoding()) return Fail(BASS_ERROR_DECODE, FALSE);
    if (source == ch) return Fail(BASS_ERROR_ILLPARAM, FALSE);
    std::lock_guard lock(ch->mutex());
    {
        std::lock_guard sourceLock(source->mutex());
        if (source->MixerHandle() != 0) return Fail(BASS_ERROR_ALREADY, FALSE);
        source->SetMixerHandle(handle);
    }
    if (!mixer->AddSource(source, flags)) {
        std::lock_guard sourceLock(source->mutex());
        source->SetMixerHandle(0);
        return Fail(BASS_ERROR_FORMAT, FALSE);
    }
    return Ok(TRUE);
}

HSTREAM BASS_Mixer_ChannelGetMixer(DWORD handle) {
    auto ch = Find(handle);
    if (!ch) return Fail<HSTREAM>(BASS_ERROR_HANDLE, 0);
    std::lock_guard lock(ch->mutex());
    if (ch->MixerHandle() == 0 || !Find(ch->MixerHandle())) {
        return Fail<HSTREAM>(BASS_ERROR_HANDLE, 0);
    }
    return Ok(ch->MixerHandle());
}

QWORD BASS_Mixer_ChannelGetMixerPosition(DWORD handle, QWORD pos) {
    auto source = Find(handle);
    if (!source) return Fail<QWORD>(BASS_ERROR_HANDLE, -1);
    DWORD mixerHandle = 0;
    {
        std::lock_guard sourceLock(source->mutex());
        mixerHandle = source->MixerHandle();
    }
    auto ch = Find(mixerHandle);
    auto* mixer = dynamic_cast<Mixer*>(ch.get());
    if (mixer == nullptr) return Fail<QWORD>(BASS_ERROR_HANDLE, -1);
    std::lock_guard lock(ch->mutex());
    const int64_t at = mixer->MixerPositionOf(*source, pos);
    if (at < 0) return Fail<QWORD>(BASS_ERROR_POSITION, -1);
    return Ok<QWORD>(at);
}

HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc, void*) {
    auto ch = Find(handle);
    if (!ch) return Fail<HENCODE>(BASS_ERROR_HANDLE, 0);
    if (proc != nullptr || cmdline == nullptr) return Fail<HENCODE>(BASS_ERROR_ILLPARAM, 0);
    std::string why;
    auto record = std::make_shared<EncoderRecord>();
    bool missing = false;
    record->encoder = Encoder::Start(cmdline, why, missing);
    if (!record->encoder)
        return Fail<HENCODE>(missing ? BASS_ERROR_FILEOPEN : BASS_ERROR_CREATE, 0);
    record->channel = handle;
    record->toInt = ch->IsFloat() && (flags & BASS_ENCODE_FP_16BIT);
    if (!(flags & BASS_ENCODE_NOHEAD)) {
        record->encoder->WriteHeader(ch->Rate(), ch->Channels(), ch->IsFloat() && !record->toInt);
    }
    Engine& e = TheEngine();
    const HENCODE encoder = e.NewHandle();
    {
        std::lock_guard lock(ch->mutex());
        if (ch->Released()) {
            record->encoder->Stop();
            return Fail<HENCODE>(BASS_ERROR_HANDLE, 0);
        }
        record->dsp = e.NewHandle();
        // The lowest priority: the encoder takes the data after every other routine.
        ch->AddDsp(record->dsp, EncodeDspProc, record.get(), INT_MIN);
    }
    std::lock_guard lock(e.mutex);
    e.encoders.emplace(encoder, std::move(record));
    return Ok(encoder);
}

namespace {
BOOL EndEncoders(DWORD handle, EncoderEnd how) {
    const auto records = EncodersFor(handle);
    if (records.empty()) return Fail(BASS_ERROR_HANDLE, FALSE);
    for (auto& r : records)
        EndEncoder(*r, Find(r->channel), how);
    return Ok(TRUE);
}
}  // namespace

BOOL BASS_Encode_Stop(DWORD handle) {
    return EndEncoders(handle, EncoderEnd::Stop);
}

BOOL BASS_Encode_Finish(DWORD handle) {
    return EndEncoders(handle, EncoderEnd::Finish);
}

BOOL BASS_Encode_Abort(DWORD handle) {
    return EndEncoders(handle, EncoderEnd::Abort);
}

BOOL BASS_Encode_Write(HENCODE handle, const void* buffer, DWORD length) {
    auto r = FindEncoder(handle);
    if (!r) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (buffer == nullptr && length > 0) return Fail(BASS_ERROR_ILLPARAM, FALSE);
    if (!r->encoder->Write(static_cast<const uint8_t*>(buffer), length)) {
        return Fail(BASS_ERROR_ENDED, FALSE);
    }
    return Ok(TRUE);
}

DWORD BASS_Encode_IsActive(DWORD handle) {
    const auto records = EncodersFor(handle);
    if (records.empty()) return Fail(BASS_ERROR_HANDLE, BASS_ACTIVE_STOPPED);
    for (auto& r : records) {
        if (r->encoder->Active()) return Ok(BASS_ACTIVE_PLAYING);
    }
    return Ok(BASS_ACTIVE_STOPPED);
}

BOOL BASS_Encode_GetResult(HENCODE handle, BASS_ENCODE_RESULT* result) {
    auto r = FindEncoder(handle);
    if (!r) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (result == nullptr) return Fail(BASS_ERROR_ILLPARAM, FALSE);
    r->encoder->Finished(0);
    *result = r->encoder->Result();
    return Ok(TRUE);
}
