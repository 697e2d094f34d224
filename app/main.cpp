// Chimewright: makes iPhone ringtones from a span of a song.

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "application.h"
#include "cli.h"
#include "mainwindow.h"

namespace {

constexpr int kUsageError = 2;
// The name the desktop entry and the icon are installed under.
constexpr const char* kDesktopFileName = "example.corvane.Chimewright";

void PrintUsage() {
    std::printf(
        "Usage: chimewright [OPTION]... [FILE]\n"
        "  or:  chimewright export INPUT -o OUTPUT --start TIME --end TIME [OPTION]...\n"
        "Makes iPhone ringtones from a span of a song.\n"
        "\n"
        "The first form opens the window; a FILE named opens in it as if it had been dropped\n"
        "on it, whatever its extension. Qt's own options, such as -platform NAME or\n"
        "-style NAME, are passed on to Qt.\n"
        "\n"
        "  -h, --help     display this help and exit\n"
        "      --version  output version information and exit\n"
        "      --         end of the options: a FILE may then start with '-'\n"
        "\n"
        "The second form, chimewright export, needs no window and no display.\n"
        "\n");
    // The export's own help after its usage line (given above already): its description,
    // then its options under a heading.
    const std::string exportHelp = chime::ExportUsage();
    const size_t description = exportHelp.find("\n\n");
    const size_t options =
        description == std::string::npos ? description : exportHelp.find("\n\n", description + 2);
    if (options == std::string::npos) {
        std::printf("%s", exportHelp.c_str());
        return;
    }
    std::printf("%s\n\nExport options:\n%s",
                exportHelp.substr(description + 2, options - description - 2).c_str(),
                exportHelp.c_str() + options + 2);
}

void PrintVersion() {
    std::printf("chimewright %s\n", CHIMEWRIGHT_VERSION);
}

int Refuse(const std::string& why) {
    std::fprintf(stderr, "chimewright: %s\nTry 'chimewright --help' for more information.\n",
                 why.c_str());
    return kUsageError;
}

// Qt's own options (QGuiApplication and QApplication take them out of argv) and whether each
// takes a value.
struct QtOption {
    std::string_view name;
    bool takesValue;
};
constexpr QtOption kQtOptions[] = {
    {"-platform", true},        {"-platformpluginpath", true},
    {"-platformtheme", true},   {"-plugin", true},
    {"-qwindowgeometry", true}, {"-qwindowicon", true},
    {"-qwindowtitle", true},    {"-session", true},
    {"-style", true},           {"-stylesheet", true},
    {"-display", true},         {"-geometry", true},
    {"-reverse", false},        {"-widgetcount", false},
    {"-nograb", false},         {"-dograb", false},
    {"-sync", false},
};

const QtOption* FindQtOption(std::string_view arg) {
    // "-style=fusion" is the same as "-style fusion".
    const std::string_view name = arg.substr(0, arg.find('='));
    for (const QtOption& option : kQtOptions) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

struct WindowCommand {
    bool help = false;
    bool version = false;
    std::optional<std::string> file;
    std::vector<char*> qtArgs;  // the program's name and Qt's options, for Qt alone
};

// The arguments of the window's form. False, with the reason in error, when they are refused.
bool ParseWindowCommand(int argc, char** argv, WindowCommand& command, std::string& error) {
    command.qtArgs.assign(argv, argv + 1);
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (options && (arg == "-h" || arg == "--help")) {
            command.help = true;
            return true;
        }
        if (options && arg == "--version") {
            command.version = true;
            return true;
        }
        if (options && arg.size() > 1 && arg[0] == '-') {
            const QtOption* qt = FindQtOption(arg);
            if (!qt) {
                error = "unknown option '" + arg + "'";
                return false;
            }
            command.qtArgs.push_back(argv[i]);
            if (qt->takesValue && arg.find('=') == std::string::npos) {
                if (i + 1 == argc) {
                    error = "option " + arg + " needs a value";
                    return false;
                }
                command.qtArgs.push_back(argv[++i]);
            }
            continue;
        }
        if (command.file) {
            error = "only one song can be opened at a time: '" + arg + "'";
            return false;
        }
        command.file = arg;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The export from the command line needs no window, and no display.
    if (argc > 1 && std::strcmp(argv[1], "export") == 0) {
        return chime::RunExportCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    // Help, the version and a refused command line need no display either.
    WindowCommand command;
    std::string error;
    if (!ParseWindowCommand(argc, argv, command, error)) return Refuse(error);
    if (command.help) {
        PrintUsage();
        return 0;
    }
    if (command.version) {
        PrintVersion();
        return 0;
    }

    // Qt sees its own options only, so that a song's name is never taken for one of them.
    int qtArgc = static_cast<int>(command.qtArgs.size());
    command.qtArgs.push_back(nullptr);
    chime::Application app(qtArgc, command.qtArgs.data());
    chime::Application::setApplicationVersion(CHIMEWRIGHT_VERSION);
    // Lets the window system match the windows to the installed menu entry and its icon.
    chime::Application::setDesktopFileName(kDesktopFileName);
    chime::Tfrmmain frmmain;
    if (!frmmain.FormCreate()) return 0;
    frmmain.show();
    // A file named on the command line opens as a dropped one does, whatever its extension.
    if (command.file) frmmain.OpenNamed(QString::fromLocal8Bit(command.file->c_str()));
    return app.exec();
}
