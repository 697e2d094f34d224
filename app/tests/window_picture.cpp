// Shows the main window with a song open, a start and an end set and the play position held
// still, for pictures of the window (docs/make_window_png.sh). Not part of the program.
//
//   window_picture FILE START END PLAY     (seconds)

#include <QTimer>
#include <cstdio>

#include "application.h"
#include "mainwindow.h"

int main(int argc, char** argv) {
    chime::Application app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: window_picture FILE START END PLAY\n");
        return 2;
    }
    chime::Tfrmmain window;
    if (!window.FormCreate()) return 1;
    window.show();
    window.OpenNamed(args.at(1));
    window.WaitForOpening();
    const HSTREAM song = window.PreviewStream;
    if (song == 0) {
        std::fprintf(stderr, "window_picture: cannot open %s\n", qPrintable(args.at(1)));
        return 1;
    }
    window.selection.SetSelectionStart(BASS_ChannelSeconds2Bytes(song, args.at(2).toDouble()));
    window.selection.SetSelectionEnd(BASS_ChannelSeconds2Bytes(song, args.at(3).toDouble()));
    window.btnpauseClick();
    BASS_ChannelSetPosition(song, BASS_ChannelSeconds2Bytes(song, args.at(4).toDouble()),
                            BASS_POS_BYTE);
    return app.exec();
}
