#pragma once
// Chimewright's audio engine: decoding, playback, measuring, syncs and DSP routines.
//
// Every call is free-threaded: it may come from any thread, including from inside a sync or
// DSP routine of the same channel. Handles are 32-bit values, 0 meaning failure or none; a
// freed handle is not issued again for a long time, and every call on it fails without effect.
//
// Threads:
// - The callers' threads: any thread that makes a call. A decoding channel's DSP routines and
//   syncs run in the thread that pulls it, inside the pull.
// - The playback thread, one from BASS_Init to BASS_Free: it decodes ahead for every playing
//   channel, runs its DSP routines and mixtime syncs as it does, calls the other syncs when
//   their position is heard, and frees an auto-free stream that has played to its end. It also
//   moves the silent device on by the clock.
// - The device's callback thread: PortAudio's for a sound card, or the test device's own thread
//   (CHIMEWRIGHT_AUDIO=manual). It only copies out of a playing channel's buffer: no lock, no
//   allocation, no I/O, no call of the caller's. The silent device has no thread of its own.
// - Each encoder's error reader: keeps the last words its program writes to standard error.
//
// Locks, and the order in which they may be taken:
// - Each channel has its own (recursive) lock, held while its routines and syncs run. A mixer's
//   may be held while a source's is taken, never the reverse.
// - The engine's table of handles and its table of encoders each have a lock that is taken
//   last: a channel's lock may be held while one of them is taken, never the reverse, and no
//   other lock is taken under them.
// - The output's lock (the device chosen, the channels playing, the playback thread's rounds)
//   may be taken under a channel's lock, never the reverse; the playback thread lets go of it
//   before it takes a channel's. Only the test device's lock is taken under it, as the device
//   starts.
// - The test device holds its own lock around its callbacks, which take none; a playing
//   channel's output opens and closes under the channel's lock, so a channel's lock may be held
//   while the test device's is taken, never the reverse.
// - An encoder's input lock is taken under its channel's lock (its routine writes in the pull);
//   stopping an encoder takes the channel's lock to remove the routine, lets go of it, and only
//   then waits for the program under the encoder's own locks.

#include <cstdint>

using DWORD = uint32_t;
using BOOL = int;
// Byte positions and lengths: signed 64-bit counts of bytes of decoded sample data; -1 is the
// error value.
using QWORD = int64_t;
using HSTREAM = DWORD;
using HCHANNEL = DWORD;
using HSYNC = DWORD;
using HDSP = DWORD;
using HENCODE = DWORD;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Version reported by BASS_GetVersion: 2.4 in the high word.
constexpr DWORD BASSVERSION = 0x0204;

// Stream and sample flags.
constexpr DWORD BASS_SAMPLE_FLOAT = 0x100;
constexpr DWORD BASS_STREAM_PRESCAN = 0x20000;
constexpr DWORD BASS_STREAM_AUTOFREE = 0x40000;
constexpr DWORD BASS_STREAM_DECODE = 0x200000;
constexpr DWORD BASS_UNICODE = 0x80000000;

// Mixer flags: the mixer ends when its sources have ended; a source with more channels than
// the mixer is folded down; a source with BASS_STREAM_AUTOFREE is freed with its mixer.
constexpr DWORD BASS_MIXER_END = 0x10000;
constexpr DWORD BASS_MIXER_DOWNMIX = 0x400000;

// Encoder flags.
constexpr DWORD BASS_ENCODE_NOHEAD = 1;    // no WAVE header before the data
constexpr DWORD BASS_ENCODE_FP_16BIT = 4;  // hand float data over as 16-bit samples

// Position modes.
constexpr DWORD BASS_POS_BYTE = 0;

// Channel states reported by BASS_ChannelIsActive.
constexpr DWORD BASS_ACTIVE_STOPPED = 0;
constexpr DWORD BASS_ACTIVE_PLAYING = 1;
constexpr DWORD BASS_ACTIVE_STALLED = 2;
constexpr DWORD BASS_ACTIVE_PAUSED = 3;

// Sync types. A mixtime sync runs in the thread that decodes the channel, at the moment the
// decoding reaches its position; any other sync on a playing channel runs when its position is
// heard.
constexpr DWORD BASS_SYNC_POS = 0;
constexpr DWORD BASS_SYNC_END = 2;
// Runs at once, in the thread that moves the channel and with the channel's lock held, each time
// its position is set to anywhere other than where its data goes on (a seek, a loop's jump, the
// rewind of Stop, a restart): before the first block from the new place is made. param is
// unused; data is 0. Routines that carry state from block to block learn of the break here.
constexpr DWORD BASS_SYNC_MOVE = 0x10;
constexpr DWORD BASS_SYNC_ONETIME = 0x80000000;
constexpr DWORD BASS_SYNC_MIXTIME = 0x40000000;

// Error codes reported by BASS_ErrorGetCode for the calling thread's last call.
constexpr int BASS_OK = 0;
constexpr int BASS_ERROR_MEM = 1;
constexpr int BASS_ERROR_FILEOPEN = 2;
constexpr int BASS_ERROR_DRIVER = 3;
constexpr int BASS_ERROR_HANDLE = 5;
constexpr int BASS_ERROR_FORMAT = 6;
constexpr int BASS_ERROR_POSITION = 7;
constexpr int BASS_ERROR_INIT = 8;
constexpr int BASS_ERROR_ALREADY = 14;
constexpr int BASS_ERROR_ILLPARAM = 20;
constexpr int BASS_ERROR_DEVICE = 23;
constexpr int BASS_ERROR_NOPLAY = 24;
constexpr int BASS_ERROR_CREATE = 33;
constexpr int BASS_ERROR_DECODE = 38;
constexpr int BASS_ERROR_FILEFORM = 41;
constexpr int BASS_ERROR_NOTAVAIL = 37;
constexpr int BASS_ERROR_ENDED = 45;
constexpr int BASS_ERROR_UNKNOWN = -1;

struct BASS_CHANNELINFO {
    DWORD freq;            // sample rate
    DWORD chans;           // channel count
    DWORD flags;           // the flags the channel was created with
    DWORD ctype;           // reserved: 0
    DWORD origres;         // bits per sample of the source where known, else 0
    DWORD plugin;          // reserved: 0
    DWORD sample;          // reserved: 0
    const char* filename;  // the path the stream was opened from; valid while the handle is
};

// A sync routine: (sync handle, channel, data, user value). For an end sync, data is 0.
using SYNCPROC = void(HSYNC handle, DWORD channel, DWORD data, void* user);
// A DSP routine edits length bytes of the channel's samples in place.
using DSPPROC = void(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);

// Options of BASS_SetConfig.
constexpr DWORD BASS_CONFIG_ENCODE_STALL = 0x10100;  // ms an encoder may take no data (2000)

// Library.
DWORD BASS_GetVersion();
BOOL BASS_SetConfig(DWORD option, DWORD value);
DWORD BASS_GetConfig(DWORD option);
// Starts the output. device -1 is the default device; freq and flags are accepted and unused
// (each playing stream opens the output at its own rate). When no device opens, for device 0,
// or when the variable CHIMEWRIGHT_AUDIO is "silent", a silent device that consumes audio in
// real time stands in. CHIMEWRIGHT_AUDIO=manual chooses the test device, whatever device is:
// silent too, it keeps time only when BASS_TestDeviceAdvance moves its clock on.
BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* clsid);
// Frees every channel, sync, DSP routine and encoder, then the output.
BOOL BASS_Free();
int BASS_ErrorGetCode();
// True when the output makes no sound: the silent device or the test device (after BASS_Init).
BOOL BASS_IsSilentDevice();

// For tests: moves the test device's clock on by milliseconds. As a sound card would, the
// device's own thread calls every playing channel's output for its share of that time, in
// callbacks of at most period milliseconds each (0: 10 ms); after each, the playback thread
// makes a round (tops the buffers up, calls the syncs now heard, ends what has played out).
// Returns once the last round is done, so the position then is the one the clock gives, with no
// sleep. A round comes first too, so what was played, moved or stopped before the call is
// buffered before the device takes anything; milliseconds 0 makes only that round. Fails with
// BASS_ERROR_INIT before BASS_Init, BASS_ERROR_NOTAVAIL when the output is not the test device
// or when called from the playback thread (a sync or DSP routine of a playing channel), whose
// rounds it would wait for. A test's thread, not from inside a sync or DSP routine.
BOOL BASS_TestDeviceAdvance(DWORD milliseconds, DWORD period, DWORD flags);
// Flag of BASS_TestDeviceAdvance: the playback thread is not asked for its rounds but keeps its
// own pace, and the device waits after each callback until it has come round by itself, without
// synchronising with it: nothing but the output's buffer orders the two threads.
constexpr DWORD BASS_TESTDEVICE_OWNPACE = 1;

// Streams. mem must be FALSE, file is an 8-bit (UTF-8) path, offset and length must be 0.
HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags);
HSTREAM BASS_FLAC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                   DWORD flags);
HSTREAM BASS_AAC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags);
HSTREAM BASS_MP4_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags);
HSTREAM BASS_MPC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags);
HSTREAM BASS_ALAC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                   DWORD flags);
HSTREAM BASS_AC3_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags);
HSTREAM BASS_APE_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags);
HSTREAM BASS_WMA_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags);
BOOL BASS_StreamFree(HSTREAM handle);

// Facts.
BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info);
QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode);
// Exact: bytes divided by the bytes of one second of the channel's format.
double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
// Rounded down to whole sample frames.
QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double pos);

// Transport.
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
BOOL BASS_ChannelPause(DWORD handle);
BOOL BASS_ChannelStop(DWORD handle);
// Sample-accurate. A position past the end fails and changes nothing.
BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode);
// For a playing channel, the position being heard; for a decoding channel, the position of
// the next byte it delivers.
QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode);
DWORD BASS_ChannelIsActive(DWORD handle);

// Measuring and pulling. On a decoding channel, a level call consumes 20 ms of data; the left
// peak is in the low word and the right peak in the high word, 0..32768. -1 (all bits) on
// error or once a decoding channel has ended.
DWORD BASS_ChannelGetLevel(DWORD handle);
// Pulls up to length bytes from a decoding channel. Returns the bytes delivered, 0 once the
// data has ended, and all bits set on error.
DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);

// Syncs: type is BASS_SYNC_POS (param = byte position; one below 0 is accepted and never
// fires), BASS_SYNC_END or BASS_SYNC_MOVE, optionally with BASS_SYNC_MIXTIME and
// BASS_SYNC_ONETIME.
HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC* proc, void* user);
BOOL BASS_ChannelRemoveSync(DWORD handle, HSYNC sync);

// DSP routines run on every block the channel delivers, highest priority first; routines of
// equal priority run in the order they were set.
HDSP BASS_ChannelSetDSP(DWORD handle, DSPPROC* proc, void* user, int priority);
BOOL BASS_ChannelRemoveDSP(DWORD handle, HDSP dsp);
// The byte position of the channel's data from which a routine acts: the channel's position when
// it was set, or, for one set on a mixer from inside a source's sync, the mixer position of that
// sync. -1 on error.
QWORD BASS_ChannelGetDSPStart(DWORD handle, HDSP dsp);

// Mixer. A decoding mixer (BASS_STREAM_DECODE) is pulled like a decoding stream; it pulls its
// sources, converts them to its rate (libswresample), folds their channels onto its own and
// delivers 16-bit samples unless BASS_SAMPLE_FLOAT asks for float.
HSTREAM BASS_Mixer_StreamCreate(DWORD freq, DWORD chans, DWORD flags);
// Adds a decoding channel as a source. Its own position, syncs and seeks keep working while the
// mixer pulls it; its position syncs run within the mixer pull that passes them.
BOOL BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD flags);
// The mixer holding a source, or 0.
HSTREAM BASS_Mixer_ChannelGetMixer(DWORD handle);
// The mixer's byte position at which the source's byte position pos comes out of the mixer,
// counted from where the source's data last moved (a seek). So the mixer output for a span of
// the source is known to the sample. -1 on error.
QWORD BASS_Mixer_ChannelGetMixerPosition(DWORD handle, QWORD pos);

// Encoder hand-over. Starts the program of the command line (split by the Windows rules: double
// quotes group words, a backslash escapes a quote) with a pipe on its standard input, found in
// the main program's own folder first, then on PATH (a name ending in ".exe" that is not found
// is looked up without it). Writes a WAVE header (unless BASS_ENCODE_NOHEAD) and then every
// block delivered by the channel, after all its DSP routines. proc must be null. Returns 0 when
// the program cannot be started: BASS_ERROR_FILEOPEN when it was not found, BASS_ERROR_CREATE
// when it was found but did not start.
using ENCODEPROC = void(HENCODE handle, DWORD channel, const void* buffer, DWORD length,
                        void* user);
HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc,
                          void* user);
// The same, for a known length: the program takes at most limit bytes (of what it receives, 16-bit
// samples with BASS_ENCODE_FP_16BIT), and the WAVE header announces that length, so that the
// program can work on the data as it arrives. A limit of 0 is none.
HENCODE BASS_Encode_StartLimit(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc,
                               void* user, QWORD limit);
// Closes the encoder's input and waits for it to finish: 1.5 s at most, then it is asked to stop
// (SIGTERM) and killed after 1.5 s more. One that takes longer to complete its output is given
// the time with BASS_Encode_Finish. handle is the encoder's, or a channel's (then every encoder
// on it stops).
BOOL BASS_Encode_Stop(DWORD handle);
// Closes the encoder's input, so that the program completes its output, and returns at once;
// BASS_Encode_GetResult tells when the program has ended. handle as for BASS_Encode_Stop.
BOOL BASS_Encode_Finish(DWORD handle);
// Stops the encoder without letting it complete its output: the input is closed, the program is
// asked to stop (SIGTERM), so that it can remove what it had begun, and killed when it has not
// ended within 1.5 s. handle as for BASS_Encode_Stop.
BOOL BASS_Encode_Abort(DWORD handle);
// BASS_ACTIVE_PLAYING while the encoder takes data, BASS_ACTIVE_STOPPED once it has stopped,
// died or failed to take a write.
DWORD BASS_Encode_IsActive(DWORD handle);

// How an encoder finished, for reporting a failed export.
struct BASS_ENCODE_RESULT {
    BOOL running;  // the process has not been waited for yet
    BOOL exited;   // it ended by itself (exitcode is valid) rather than by a signal
    int exitcode;
    BOOL writefailed;   // a write to its input failed (it died or stopped reading)
    char message[512];  // the last lines it wrote to its standard error, or why it failed
};
// Kept for the encoder's handle after it has stopped, until its channel is freed.
BOOL BASS_Encode_GetResult(HENCODE handle, BASS_ENCODE_RESULT* result);
