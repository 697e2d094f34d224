// The engine's calls: each looks its handles up, takes the locks the work needs, hands the work
// to the unit it belongs to and sets the calling thread's error code.

#include <mutex>
#include <string>

#include "channel.h"
#include "encoder.h"
#include "engine.h"
#include "mixer.h"
#include "playback.h"
#include "registry.h"

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

template <typename T>
T Result(int code, T ok, T failed) {
    return code == BASS_OK ? Ok(ok) : Fail(code, failed);
}

std::shared_ptr<Channel> Find(DWORD handle) {
    return TheRegistry().Find(handle);
}

HSTREAM CreateStream(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
    if (mem || offset != 0 || length != 0 || (flags & BASS_UNICODE)) {
        return Fail<HSTREAM>(BASS_ERROR_ILLPARAM, 0);
    }
    if (file == nullptr) return Fail<HSTREAM>(BASS_ERROR_FILEOPEN, 0);
    int error = BASS_OK;
    const HSTREAM handle = TheRegistry().OpenStream(static_cast<const char*>(file), flags, error);
    return Result(error, handle, HSTREAM{0});
}

BOOL EndEncoders(DWORD handle, EncoderEnd how) {
    return TheRegistry().EndEncoders(handle, how) ? Ok(TRUE) : Fail(BASS_ERROR_HANDLE, FALSE);
}

}  // namespace
}  // namespace chime

using namespace chime;

DWORD BASS_GetVersion() {
    return Ok((BASSVERSION << 16) | 0x0000);
}

BOOL BASS_Init(int device, DWORD, DWORD, void*, const void*) {
    return Result(TheOutput().Init(device), TRUE, FALSE);
}

BOOL BASS_Free() {
    Output& output = TheOutput();
    if (!output.Stop()) return Fail(BASS_ERROR_INIT, FALSE);
    TheRegistry().FreeAll();
    output.Close();
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
    const auto device = TheOutput().Device();
    return device && *device != DeviceKind::Card ? TRUE : FALSE;
}

BOOL BASS_TestDeviceAdvance(DWORD milliseconds, DWORD period, DWORD flags) {
    if (flags & ~BASS_TESTDEVICE_OWNPACE) return Fail(BASS_ERROR_ILLPARAM, FALSE);
    return Result(TheOutput().Advance(milliseconds, period, (flags & BASS_TESTDEVICE_OWNPACE) != 0),
                  TRUE, FALSE);
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
    return TheRegistry().Free(handle) ? Ok(TRUE) : Fail(BASS_ERROR_HANDLE, FALSE);
}

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (info == nullptr) return Fail(BASS_ERROR_ILLPARAM, FALSE);
    std::lock_guard lock(ch->mutex());
    *info = ch->Info();
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
    return Ok(ch->BytesToSeconds(pos));
}

QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double pos) {
    auto ch = Find(handle);
    if (!ch) return Fail<QWORD>(BASS_ERROR_HANDLE, -1);
    const int64_t bytes = ch->SecondsToBytes(pos);
    return bytes < 0 ? Fail<QWORD>(BASS_ERROR_ILLPARAM, -1) : Ok<QWORD>(bytes);
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (ch->IsDecoding()) return Fail(BASS_ERROR_DECODE, FALSE);
    Output& output = TheOutput();
    const auto device = output.Device();
    if (!device) return Fail(BASS_ERROR_INIT, FALSE);
    {
        std::lock_guard lock(ch->mutex());
        if (const int error = ch->Play(restart != FALSE, *device)) return Fail(error, FALSE);
    }
    output.Add(ch);
    return Ok(TRUE);
}

BOOL BASS_ChannelPause(DWORD handle) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (ch->IsDecoding()) return Fail(BASS_ERROR_DECODE, FALSE);
    std::lock_guard lock(ch->mutex());
    return Result(ch->Pause(), TRUE, FALSE);
}

BOOL BASS_ChannelStop(DWORD handle) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    std::lock_guard lock(ch->mutex());
    ch->Stop();
    return Ok(TRUE);
}

BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (mode != BASS_POS_BYTE) return Fail(BASS_ERROR_NOTAVAIL, FALSE);
    std::lock_guard lock(ch->mutex());
    return Result(ch->MoveTo(pos), TRUE, FALSE);
}

QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    auto ch = Find(handle);
    if (!ch) return Fail<QWORD>(BASS_ERROR_HANDLE, -1);
    if (mode != BASS_POS_BYTE) return Fail<QWORD>(BASS_ERROR_NOTAVAIL, -1);
    std::lock_guard lock(ch->mutex());
    return Ok<QWORD>(ch->Position());
}

DWORD BASS_ChannelIsActive(DWORD handle) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, BASS_ACTIVE_STOPPED);
    std::lock_guard lock(ch->mutex());
    return Ok(ch->ActiveState());
}

DWORD BASS_ChannelGetLevel(DWORD handle) {
    auto ch = Find(handle);
    if (!ch) return Fail(BASS_ERROR_HANDLE, DWORD{0xFFFFFFFF});
    std::lock_guard lock(ch->mutex());
    int error = BASS_OK;
    const DWORD level = ch->Level(error);
    return Result(error, level, DWORD{0xFFFFFFFF});
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
    int error = BASS_OK;
    const int64_t got = ch->Read(static_cast<uint8_t*>(buffer), length, error);
    return Result(error, static_cast<DWORD>(got), DWORD{0xFFFFFFFF});
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
    return Ok(ch->AddSync(TheRegistry().NewHandle(), type, param, proc, user));
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
    const HDSP dsp = TheRegistry().NewHandle();
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
    return Ok(TheRegistry().AddMixer(static_cast<int>(freq), static_cast<int>(chans), flags));
}

BOOL BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD flags) {
    auto ch = Find(handle);
    auto source = Find(channel);
    auto* mixer = dynamic_cast<Mixer*>(ch.get());
    if (mixer == nullptr || !source) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (!source->IsDecoding()) return Fail(BASS_ERROR_DECODE, FALSE);
    if (source == ch) return Fail(BASS_ERROR_ILLPARAM, FALSE);
    std::lock_guard lock(ch->mutex());
    return Result(mixer->AddSource(source, flags), TRUE, FALSE);
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

HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc,
                          void* user) {
    return BASS_Encode_StartLimit(handle, cmdline, flags, proc, user, 0);
}

HENCODE BASS_Encode_StartLimit(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc,
                               void*, QWORD limit) {
    auto ch = Find(handle);
    if (!ch) return Fail<HENCODE>(BASS_ERROR_HANDLE, 0);
    if (proc != nullptr || cmdline == nullptr || limit < 0) {
        return Fail<HENCODE>(BASS_ERROR_ILLPARAM, 0);
    }
    int error = BASS_OK;
    const HENCODE encoder =
        TheRegistry().StartEncoder(*ch, cmdline, flags, limit == 0 ? -1 : limit, error);
    return Result(error, encoder, HENCODE{0});
}

BOOL BASS_Encode_Stop(DWORD handle) {
    return EndEncoders(handle, EncoderEnd::Stop);
}

BOOL BASS_Encode_Finish(DWORD handle) {
    return EndEncoders(handle, EncoderEnd::Finish);
}

BOOL BASS_Encode_Abort(DWORD handle) {
    return EndEncoders(handle, EncoderEnd::Abort);
}

DWORD BASS_Encode_IsActive(DWORD handle) {
    const auto records = TheRegistry().Encoders().For(handle);
    if (records.empty()) return Fail(BASS_ERROR_HANDLE, BASS_ACTIVE_STOPPED);
    for (const auto& r : records) {
        if (r->encoder->Active()) return Ok(BASS_ACTIVE_PLAYING);
    }
    return Ok(BASS_ACTIVE_STOPPED);
}

BOOL BASS_Encode_GetResult(HENCODE handle, BASS_ENCODE_RESULT* result) {
    auto r = TheRegistry().Encoders().Find(handle);
    if (!r) return Fail(BASS_ERROR_HANDLE, FALSE);
    if (result == nullptr) return Fail(BASS_ERROR_ILLPARAM, FALSE);
    r->encoder->Finished(0);
    *result = r->encoder->Result();
    return Ok(TRUE);
}
