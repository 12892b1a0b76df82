// Without a language choice in the reader's settings the system locale decides.
// This test runs in a Chinese (China) locale, set before the application starts.
#include "languages.h"
#include "readersettings.h"

#include <QApplication>
#include <QLocale>
#include <QtTest>

class TestSystemLocale : public QObject
{
    Q_OBJECT

private slots:
    void chineseSystemPicksChineseFiles()
    {
        QCOMPARE(QLocale::system().language(), QLocale::Chinese);
        QCOMPARE(QLocale::system().country(), QLocale::China);

        QVERIFY(ReaderSettings::write("[General]\nCorvina_UpdateOldPath=/opt/moravel\n"));
        int language = 0;
        int country = 0;
        LoadLanguagesData(language, country);
        QCOMPARE(language, 25);
        QCOMPARE(country, 44);
        QCOMPARE(getLanFilePath(language, country), QStringLiteral("/opt/moravel/lang/zh_cn/corvina_zh_cn.qm"));
        QCOMPARE(getGLanFilePath(language, country), QStringLiteral("/opt/moravel/lang/zh_cn/qt_zh_CN.qm"));
    }
};

int main(int argc, char** argv)
{
    qunsetenv("LANGUAGE");
    qunsetenv("LC_MESSAGES");
    qputenv("LC_ALL", "zh_CN.UTF-8");
    qputenv("LANG", "zh_CN.UTF-8");
    QApplication app(argc, argv);
    TestSystemLocale test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_systemlocale.moc"
