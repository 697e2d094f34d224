// Chimewright: makes iPhone ringtones from a span of a song.

#include "application.h"
#include "mainwindow.h"

int main(int argc, char** argv) {
    chime::Application app(argc, argv);
    chime::Tfrmmain frmmain;
    if (!frmmain.FormCreate()) return 0;
    frmmain.show();
    // A file named on the command line opens as a dropped one does, whatever its extension.
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1) frmmain.OpenNamed(args.at(1));
    return app.exec();
}
