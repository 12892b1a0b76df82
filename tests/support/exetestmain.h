// main() of a test of the executable: the path of the MoravelUpdater under test, and
// where the test names a second variable the folder of the test plug-in, come first on
// the command line (CTest passes them); the rest goes to QtTest. As with QTEST_MAIN, a
// test that links the widgets runs in a QApplication, any other in a QCoreApplication.
//
//   EXE_TEST_MAIN(TestClass, g_executable)
//   EXE_TEST_MAIN(TestClass, g_executable, g_pluginDir)
#ifndef EXETESTMAIN_H
#define EXETESTMAIN_H

#include <QCoreApplication>
#include <QString>
#include <QVector>
#include <QtTest>
#ifdef QT_WIDGETS_LIB
#include <QApplication>
#endif

#include <cstdio>
#include <functional>
#include <initializer_list>

namespace ExeTestMain {

#ifdef QT_WIDGETS_LIB
using Application = QApplication;
#else
using Application = QCoreApplication;
#endif

template <class TestClass>
int run(int argc, char** argv, std::initializer_list<std::reference_wrapper<QString>> leading)
{
    const int first = 1 + int(leading.size());
    if (argc < first) {
        fprintf(stderr, "usage: %s MoravelUpdater%s [test options]\n", argv[0], leading.size() > 1 ? " PLUGIN_DIR" : "");
        return 2;
    }
    int i = 1;
    for (const std::reference_wrapper<QString>& value : leading)
        value.get() = QString::fromLocal8Bit(argv[i++]);
    QVector<char*> args { argv[0] };
    for (i = first; i < argc; ++i)
        args << argv[i];
    int count = args.size();
    Application app(count, args.data());
    TestClass test;
    return QTest::qExec(&test, count, args.data());
}

} // namespace ExeTestMain

#define EXE_TEST_MAIN(TestClass, ...)                                                      \
    int main(int argc, char** argv)                                                        \
    {                                                                                      \
        return ExeTestMain::run<TestClass>(argc, argv, { __VA_ARGS__ });                   \
    }

#endif // EXETESTMAIN_H
