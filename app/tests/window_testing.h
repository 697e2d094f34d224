#pragma once
// What the window test programs share: how each starts (a home of its own, where start-up makes
// its folders; no display, the offscreen platform; the engine's device), and a look at the error
// box that the program shows next.

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "application.h"

// Once the next box is shown: it must be the program's error box (its title and an error icon,
// with text as its text unless text is empty); it is closed and seen set. It is looked for every
// few milliseconds, for as long as it takes to come.
inline void CheckNextErrorBox(QObject* context, bool& seen, const QString& text = {}) {
    auto* look = new QTimer(context);
    look->setInterval(5);
    QObject::connect(look, &QTimer::timeout, context, [look, &seen, text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        look->stop();
        look->deleteLater();
        seen = true;
        QCOMPARE(box->windowTitle(), QString(chime::Application::kTitle));
        QCOMPARE(box->icon(), QMessageBox::Critical);
        if (!text.isEmpty()) QCOMPARE(box->text(), text);
        box->accept();
    });
    look->start();
}

// audio: the device the engine plays on ("silent", or "manual" for the test device).
template <typename Test>
int RunWindowTests(int argc, char** argv, const char* audio = "silent") {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_DOCUMENTS_DIR");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("CHIMEWRIGHT_AUDIO", audio);
    chime::Application app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}
