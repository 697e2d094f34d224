// open_bench: how long the window stays unresponsive while it opens songs. A timer of the
// window's asks for a tick every millisecond; the longest gap between ticks, from the moment the
// song is asked for until its waveform's scan has begun, is the longest the window could not
// answer. Prints one line per song: the longest gap, the time until the song played and the time
// until its scan began, in seconds.
//
//   open_bench FILE...

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "application.h"
#include "mainwindow.h"

int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    chime::Application app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: open_bench FILE...\n");
        return 2;
    }
    chime::Tfrmmain window;
    if (!window.FormCreate()) return 1;
    window.show();
    int status = 0;
    for (int i = 1; i < args.size(); ++i) {
        QElapsedTimer clock;
        qint64 last = 0;
        qint64 longest = 0;
        qint64 playing = -1;
        QTimer tick;
        tick.setInterval(1);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            last = now;
            if (playing < 0 && !window.Opening()) playing = now;
        });
        tick.start();
        clock.start();
        window.OpenNamed(args.at(i));
        const bool opened = window.WaitForOpening(600000);
        const qint64 took = clock.nsecsElapsed();
        longest = std::max(longest, took - last);  // the gap the opening's end may have made
        tick.stop();
        if (!opened) {
            std::fprintf(stderr, "open_bench: %s did not open\n", qPrintable(args.at(i)));
            status = 1;
            continue;
        }
        std::printf("%s %.3f %.3f %.3f\n", qPrintable(QFileInfo(args.at(i)).fileName()),
                    longest / 1e9, (playing < 0 ? took : playing) / 1e9, took / 1e9);
    }
    return status;
}
