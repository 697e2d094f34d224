#pragma once
// The application object: titles, the look, and a message box for any error that escapes an
// event handler, after which the program goes on.

#include <QApplication>

namespace chime {

class Application : public QApplication {
  public:
    // The application's title: the caption of the box that reports an escaped error. (Not Qt's
    // display name, which the window system would append to every window's caption.)
    static constexpr const char* kTitle = "Pellow Chimewright";

    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
    // Reports an error that escaped a handler; tests replace it.
    static void (*reportError)(const QString& text);
};

}  // namespace chime
