// Chimewright: makes iPhone ringtones from a span of a song.

#include <cstring>
#include <string>
#include <vector>

#include "application.h"
#include "cli.h"
#include "mainwindow.h"

int main(int argc, char** argv) {
    // The export from the command line needs no window, and no display.
    if (argc > 1 && std::strcmp(argv[1], "export") == 0) {
        return chime::RunExportCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    chime::Application app(argc, argv);
    chime::Tfrmmain frmmain;
    if (!frmmain.FormCreate()) return 0;
    frmmain.show();
    // A file named on the command line opens as a dropped one does, whatever its extension.
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1) frmmain.OpenNamed(args.at(1));
    return app.exec();
}
