// The waveform box's timer tick in the real window: a song open and scanned, a start and an end
// set, then many ticks (the picture rebuilt, the three markers, the copy to the screen), each
// timed on its own. Prints the median and the 99th percentile in milliseconds.
//
//   view_bench FILE [TICKS]

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "application.h"
#include "mainwindow.h"

int main(int argc, char** argv) {
    chime::Application app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: view_bench FILE [TICKS]\n");
        return 2;
    }
    const int ticks = args.size() > 2 ? args.at(2).toInt() : 2000;
    chime::Tfrmmain window;
    if (!window.FormCreate()) return 1;
    window.show();
    window.OpenNamed(args.at(1));
    window.WaitForOpening();
    if (window.PreviewStream == 0) {
        std::fprintf(stderr, "view_bench: cannot open %s\n", qPrintable(args.at(1)));
        return 1;
    }
    while (window.Scan().Running())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const QWORD length = BASS_ChannelGetLength(window.PreviewStream, BASS_POS_BYTE);
    window.selection.SetSelectionStart(length / 4);
    window.selection.SetSelectionEnd(length / 2);
    window.Timer1->stop();  // the ticks below are the only ones

    std::vector<double> ms;
    for (int i = 0; i < ticks; ++i) {
        const auto start = std::chrono::steady_clock::now();
        window.Timer1Timer();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        QCoreApplication::processEvents();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%d ticks on %s: median %.3f ms, 99th percentile %.3f ms\n", ticks,
                qPrintable(QGuiApplication::platformName()), ms[ms.size() / 2],
                ms[ms.size() * 99 / 100]);
    return 0;
}
