// Language choice, translation files and the interface font.
#include "languages.h"
#include "readersettings.h"
#include "testutil.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

using TestUtil::writeFile;

namespace {

const char kSource[] = "Moravel Reader is already up to date.";
const char kJapanese[] = "\xe6\x9c\x80\xe6\x96\xb0\xe3\x81\xa7\xe3\x81\x99"; // 最新です

QByteArray languageIni(const char* type, const char* language, const char* country)
{
    return QByteArray("[Preferences]\nLanguages\\nChooseLanType=") + type + "\nLanguages\\nChooseLan=" + language
        + "\nLanguages\\nChooseCountry=" + country + "\n";
}

} // namespace

class TestLanguages : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(ReaderSettings::remove());
    }

    void languageChoice_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("followsSystem");
        QTest::addColumn<int>("language");
        QTest::addColumn<int>("country");

        QTest::newRow("nothing stored") << QByteArray() << true << 0 << 0;
        QTest::newRow("type 0 ignores the stored pair") << languageIni("0", "59", "108") << true << 0 << 0;
        QTest::newRow("type 1 uses the stored pair") << languageIni("1", "59", "108") << false << 59 << 108;
        QTest::newRow("any other type too") << languageIni("7", "66", "114") << false << 66 << 114;
        QTest::newRow("type not a number") << languageIni("one", "59", "108") << true << 0 << 0;
        QTest::newRow("values not numbers read as 0") << languageIni("1", "ja", "0x6c") << false << 0 << 0;
        QTest::newRow("only the type stored") << QByteArray("[Preferences]\nLanguages\\nChooseLanType=2\n") << false
                                              << 0 << 0;
    }

    void languageChoice()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, followsSystem);
        QFETCH(int, language);
        QFETCH(int, country);
        if (!ini.isEmpty())
            QVERIFY(ReaderSettings::write(ini));
        if (followsSystem) {
            language = QLocale::system().language();
            country = QLocale::system().country();
        }
        int gotLanguage = -1;
        int gotCountry = -1;
        LoadLanguagesData(gotLanguage, gotCountry);
        QCOMPARE(gotLanguage, language);
        QCOMPARE(gotCountry, country);
    }

    void translationPaths_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<int>("country");
        QTest::addColumn<QString>("appFile");
        QTest::addColumn<QString>("toolkitFile");

        QTest::newRow("Chinese, China") << 25 << 44 << "/lang/zh_cn/corvina_zh_cn.qm" << "/lang/zh_cn/qt_zh_CN.qm";
        QTest::newRow("Japanese, Japan") << 59 << 108 << "/lang/ja_jp/corvina_ja_jp.qm"
                                         << "/lang/ja_jp/corvina_ja_jp.qm";
        QTest::newRow("Chinese, Taiwan") << 25 << 208 << "/lang/zh_tw/corvina_zh_tw.qm" << "/lang/zh_tw/qt_zh_TW.qm";
        QTest::newRow("Korean, South Korea") << 66 << 114 << "/lang/ko_kr/corvina_ko_kr.qm"
                                             << "/lang/ko_kr/qt_ko_KR.qm";
        QTest::newRow("Chinese, Singapore") << 25 << int(QLocale::Singapore) << "/lang/en_us/corvina_en_us.qm"
                                            << "/lang/en_us/corvina_en_us.qm";
        QTest::newRow("Japanese, United States") << 59 << int(QLocale::UnitedStates)
                                                 << "/lang/en_us/corvina_en_us.qm" << "/lang/en_us/corvina_en_us.qm";
        QTest::newRow("German, Germany") << int(QLocale::German) << int(QLocale::Germany)
                                         << "/lang/en_us/corvina_en_us.qm" << "/lang/en_us/corvina_en_us.qm";
        QTest::newRow("nothing chosen") << 0 << 0 << "/lang/en_us/corvina_en_us.qm"
                                        << "/lang/en_us/corvina_en_us.qm";
    }

    void translationPaths()
    {
        QFETCH(int, language);
        QFETCH(int, country);
        QFETCH(QString, appFile);
        QFETCH(QString, toolkitFile);

        // Below the stored installation directory, taken as it is (it need not exist).
        QVERIFY(ReaderSettings::write("[General]\nCorvina_UpdateOldPath=/opt/Moravel Reader/missing\n"));
        QCOMPARE(getLanFilePath(language, country), QStringLiteral("/opt/Moravel Reader/missing") + appFile);
        QCOMPARE(getGLanFilePath(language, country), QStringLiteral("/opt/Moravel Reader/missing") + toolkitFile);

        // Without one, below the updater's own directory.
        QVERIFY(ReaderSettings::remove());
        QCOMPARE(getLanFilePath(language, country), QCoreApplication::applicationDirPath() + appFile);
        QCOMPARE(getGLanFilePath(language, country), QCoreApplication::applicationDirPath() + toolkitFile);
    }

    void presentTranslationIsInstalled()
    {
        const QString lrelease = QStringLiteral(ZR_LRELEASE);
        if (lrelease.isEmpty() || !QFileInfo(lrelease).isExecutable())
            QSKIP("lrelease not available");

        QTemporaryDir reader;
        QVERIFY(reader.isValid());
        QVERIFY(QDir().mkpath(reader.filePath(QStringLiteral("lang/ja_jp"))));
        const QString ts = reader.filePath(QStringLiteral("corvina_ja_jp.ts"));
        QVERIFY(writeFile(ts, QByteArray("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                         "<!DOCTYPE TS>\n<TS version=\"2.1\" language=\"ja_JP\">\n"
                                         "<context><name>UpdaterApp</name><message><source>")
                                  + kSource + "</source><translation>" + kJapanese
                                  + "</translation></message></context>\n</TS>\n"));
        const QString qm = reader.filePath(QStringLiteral("lang/ja_jp/corvina_ja_jp.qm"));
        QCOMPARE(QProcess::execute(lrelease, { QStringLiteral("-silent"), ts, QStringLiteral("-qm"), qm }), 0);
        QVERIFY(QFile::exists(qm));

        QVERIFY(ReaderSettings::write("[General]\nCorvina_UpdateOldPath=" + reader.path().toUtf8()
                                      + "\n\n" + languageIni("1", "59", "108")));
        int language = 0;
        int country = 0;
        LoadLanguagesData(language, country);

        QCOMPARE(QCoreApplication::translate("UpdaterApp", kSource), QString::fromLatin1(kSource));
        QTranslator translator;
        QVERIFY(installTranslatorFile(translator, getLanFilePath(language, country)));
        QCOMPARE(QCoreApplication::translate("UpdaterApp", kSource), QString::fromUtf8(kJapanese));

        // For Japanese the second translator loads the very same file.
        QTranslator toolkitTranslator;
        QVERIFY(installTranslatorFile(toolkitTranslator, getGLanFilePath(language, country)));

        QCoreApplication::removeTranslator(&toolkitTranslator);
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(QCoreApplication::translate("UpdaterApp", kSource), QString::fromLatin1(kSource));
    }

    void missingTranslationIsNotInstalled()
    {
        QTemporaryDir reader;
        QVERIFY(reader.isValid());
        QVERIFY(ReaderSettings::write("[General]\nCorvina_UpdateOldPath=" + reader.path().toUtf8() + "/gone\n"));
        QTranslator translator;
        QVERIFY(!installTranslatorFile(translator, getLanFilePath(25, 44)));
        QTranslator toolkitTranslator;
        QVERIFY(!installTranslatorFile(toolkitTranslator, getGLanFilePath(25, 44)));
        QVERIFY(translator.isEmpty());
        QCOMPARE(QCoreApplication::translate("UpdaterApp", kSource), QString::fromLatin1(kSource));

        // A file that is there but is no translation is skipped the same way.
        QVERIFY(writeFile(reader.filePath(QStringLiteral("lang/zh_cn/corvina_zh_cn.qm")), "not a translation file"));
        QVERIFY(ReaderSettings::write("[General]\nCorvina_UpdateOldPath=" + reader.path().toUtf8() + "\n"));
        QVERIFY(!installTranslatorFile(translator, getLanFilePath(25, 44)));
    }

    void fontByDistribution_data()
    {
        QTest::addColumn<QByteArray>("issue");
        QTest::addColumn<QString>("family"); // empty: the system's fixed-pitch font

        QTest::newRow("Ubuntu") << QByteArray("Ubuntu 22.04.3 LTS \\n \\l\n\n") << "Ubuntu";
        QTest::newRow("ubuntu in lower case") << QByteArray("ubuntu jammy\n") << "Ubuntu";
        QTest::newRow("openSUSE") << QByteArray("Welcome to openSUSE Leap 15.5 - Kernel \\r (\\l).\n") << "Cantarell";
        QTest::newRow("Red Hat before Kernel")
            << QByteArray("Red Hat Enterprise Linux Server release 6.5 (Santiago)\nKernel \\r on an \\m\n") << "Sans";
        QTest::newRow("Ubuntu before the others") << QByteArray("Ubuntu on SUSE with Red Hat Kernel\n") << "Ubuntu";
        QTest::newRow("kernel in any case") << QByteArray("CentOS release 6.10 (Final)\nKERNEL \\r\n") << "Cantarell";
        QTest::newRow("no known name") << QByteArray("Debian GNU/Linux 12 \\n \\l\n\n") << "";
        QTest::newRow("text ends at a zero byte") << QByteArray("Welcome\0Ubuntu 22.04\n", 22) << "";
        QTest::newRow("zero byte after the name") << QByteArray("Ubuntu\0junk", 11) << "Ubuntu";
        QTest::newRow("empty file") << QByteArray("") << "";
        QTest::newRow("not UTF-8") << QByteArray("\xff\xfe R\xe9" "d Hat\nRed Hat\n") << "Sans";
    }

    void fontByDistribution()
    {
        QFETCH(QByteArray, issue);
        QFETCH(QString, family);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("issue"));
        QVERIFY(writeFile(path, issue));

        const QFont font = getAppFont(path);
        if (family.isEmpty()) {
            QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
            fixed.setPixelSize(12);
            QCOMPARE(font, fixed);
        } else {
            QCOMPARE(font.family(), family);
        }
        QCOMPARE(font.pixelSize(), 12);
    }

    void fontWithoutIssueFile()
    {
        const QFont font = getAppFont(QStringLiteral("/nonexistent/etc/issue"));
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        fixed.setPixelSize(12);
        QCOMPARE(font, fixed);
    }
};

QTEST_MAIN(TestLanguages)
#include "tst_languages.moc"
