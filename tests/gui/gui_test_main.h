// A QtTest main that needs no display: the offscreen platform unless one is chosen.
#pragma once

#include <QApplication>
#include <QtTest>

#define ZARNIK_QTEST_MAIN(TestClass)                                                             \
  int main(int argc, char** argv) {                                                              \
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen"); \
    QApplication app(argc, argv);                                                                \
    TestClass t;                                                                                 \
    return QTest::qExec(&t, argc, argv);                                                         \
  }
