#include "application.h"

#include <QFile>
#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QProxyStyle>
#include <exception>

// The pictures and the skin are compiled into a library; this pulls them into the program.
static void InitResources() {
    Q_INIT_RESOURCE(resources);
}

namespace chime {

namespace {

// The platform's style with the program's own timings: an arrow of a spin box held down
// repeats after 400 ms and then every 100 ms.
class ChimeStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        switch (hint) {
            case SH_SpinBox_ClickAutoRepeatThreshold:
                return 400;
            case SH_SpinBox_ClickAutoRepeatRate:
                return 100;
            default:
                return QProxyStyle::styleHint(hint, option, widget, data);
        }
    }
};

void ShowError(const QString& text) {
    QMessageBox box(QMessageBox::Critical, Application::kTitle, text, QMessageBox::Ok);
    box.exec();
}

}  // namespace

void (*Application::reportError)(const QString& text) = ShowError;

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    InitResources();
    setApplicationName("Chimewright");
    setWindowIcon(QIcon(":/program.png"));
    setFont(QFont("DejaVu Sans Condensed", 8));
    setStyle(new ChimeStyle);  // before the skin, which paints over it
    QFile skin(":/skin.qss");
    if (skin.open(QIODevice::ReadOnly)) setStyleSheet(QString::fromUtf8(skin.readAll()));
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        reportError(QString::fromUtf8(e.what()));
    } catch (...) {
        reportError("An unknown error occurred.");
    }
    return false;
}

}  // namespace chime
