#pragma once
// How every window test program starts: a home of its own (start-up makes its folders there),
// no display (the offscreen platform) and the silent device, then the test object's slots.

#include <QTemporaryDir>
#include <QtTest>

#include "application.h"

template <typename Test>
int RunWindowTests(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_DOCUMENTS_DIR");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("CHIMEWRIGHT_AUDIO", "silent");
    chime::Application app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}
