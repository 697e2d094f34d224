// The waveform scan of one song as the window runs it: a decoding stream of the file with an
// exact length, the scale of the box's columns, then the scan thread to its end. One whole
// process, so that bench/waveform.sh can time it against ffmpeg's full decode.
//
//   waveform_bench FILE

#include <algorithm>
#include <cstdio>
#include <string>

#include "engine.h"
#include "levels.h"
#include "scan.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: waveform_bench FILE\n");
        return 2;
    }
    const HSTREAM stream =
        BASS_StreamCreateFile(FALSE, argv[1], 0, 0, BASS_STREAM_DECODE | BASS_STREAM_PRESCAN);
    if (stream == 0) {
        std::fprintf(stderr, "waveform_bench: cannot open %s (engine error %d)\n", argv[1],
                     BASS_ErrorGetCode());
        return 1;
    }
    // The window's scale: the length over the columns, at least 0.02 s a column.
    const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    const QWORD perColumn = std::max<QWORD>(length / chime::WaveLevels::kColumns,
                                            BASS_ChannelSeconds2Bytes(stream, 0.02));
    chime::WaveLevels levels;
    chime::WaveScan scan(levels);
    scan.Start(stream, static_cast<uint32_t>(perColumn));
    scan.Wait();
    int loudest = 0;
    for (int i = 0; i < chime::WaveLevels::kColumns; ++i)
        loudest = std::max({loudest, int{levels.Left(i)}, int{levels.Right(i)}});
    std::printf("%d columns done, loudest %d pixels\n", levels.ColumnsDone(), loudest);
    return levels.ColumnsDone() > 0 ? 0 : 1;
}
