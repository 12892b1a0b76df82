// Reading the reader's settings through registry-style paths.
#include "readersettings.h"
#include "register.h"
#include "testutil.h"

#include <QSettings>
#include <QtTest>

#include <unistd.h>

class TestRegister : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(ReaderSettings::remove());
    }

    void languageKeysMapToGroups()
    {
        QVERIFY(ReaderSettings::write("[Preferences]\n"
                                      "Languages\\nChooseLanType=1\n"
                                      "Languages\\nChooseLan=59\n"
                                      "Languages\\nChooseCountry=108\n"));
        const QString path = QStringLiteral("\\Preferences\\Languages");
        QCOMPARE(CRegister::regGetString(path, QStringLiteral("nChooseLanType")), QStringLiteral("1"));
        QCOMPARE(CRegister::regGetString(path, QStringLiteral("nChooseLan")), QStringLiteral("59"));
        QCOMPARE(CRegister::regGetString(path, QStringLiteral("nChooseCountry")), QStringLiteral("108"));

        // The same value as the store's own key Preferences/Languages/nChooseLan.
        QSettings store(QStringLiteral("Moravel Software"), QStringLiteral("Moravel Reader"));
        QCOMPARE(CRegister::regGetString(path, QStringLiteral("nChooseLan")),
                 store.value(QStringLiteral("Preferences/Languages/nChooseLan")).toString());

        // A path ending in a backslash doubles the separator, which the store folds.
        QCOMPARE(CRegister::regGetString(QStringLiteral("\\Preferences\\Languages\\"), QStringLiteral("nChooseLan")),
                 QStringLiteral("59"));
        // Without the leading backslash the key is the same.
        QCOMPARE(CRegister::regGetString(QStringLiteral("Preferences\\Languages"), QStringLiteral("nChooseLan")),
                 QStringLiteral("59"));
    }

    void registryRootStaysFirstGroup()
    {
        QVERIFY(ReaderSettings::write("[HKEY_CURRENT_USER]\n"
                                      "SoftWare\\Moravel%20SoftWare\\Moravel%20Reader%207.0\\Version=7.0.5\n"));
        QCOMPARE(CRegister::regGetString(QStringLiteral("HKEY_CURRENT_USER\\SoftWare\\Moravel SoftWare\\Moravel Reader 7.0"),
                                         QStringLiteral("Version")),
                 QStringLiteral("7.0.5"));
        // The root is not stripped: the path without it names another key.
        QVERIFY(CRegister::regGetString(QStringLiteral("\\SoftWare\\Moravel SoftWare\\Moravel Reader 7.0"),
                                        QStringLiteral("Version"))
                    .isEmpty());
    }

    void absentGivesEmptyText()
    {
        // No store at all.
        QVERIFY(CRegister::regGetString(QStringLiteral("\\Preferences\\Languages"), QStringLiteral("nChooseLan")).isEmpty());
        // A store without the key.
        QVERIFY(ReaderSettings::write("[General]\nCorvina_UpdateOldPath=/opt/moravel\n"));
        QVERIFY(CRegister::regGetString(QStringLiteral("\\Preferences\\Languages"), QStringLiteral("nChooseLan")).isEmpty());
    }

    void unreadableStoreGivesEmptyText()
    {
        if (geteuid() == 0) { // root reads any file: the same as nobody
            QVERIFY(TestUtil::passesAsNobody());
            return;
        }
        QVERIFY(ReaderSettings::write("[Preferences]\nLanguages\\nChooseLan=59\n"));
        QVERIFY(QFile::setPermissions(ReaderSettings::filePath(), QFileDevice::Permissions()));
        if (QFile(ReaderSettings::filePath()).open(QIODevice::ReadOnly))
            QSKIP("running with privileges that read any file");
        QVERIFY(CRegister::regGetString(QStringLiteral("\\Preferences\\Languages"), QStringLiteral("nChooseLan")).isEmpty());
    }

    void everyCallSeesTheFileAsItIsNow()
    {
        // The reader may rewrite its settings while the updater runs.
        QVERIFY(ReaderSettings::write("[Preferences]\nLanguages\\nChooseLan=59\n"));
        QCOMPARE(CRegister::regGetString(QStringLiteral("\\Preferences\\Languages"), QStringLiteral("nChooseLan")),
                 QStringLiteral("59"));
        QVERIFY(ReaderSettings::write("[Preferences]\nLanguages\\nChooseLan=66\n"));
        QCOMPARE(CRegister::regGetString(QStringLiteral("\\Preferences\\Languages"), QStringLiteral("nChooseLan")),
                 QStringLiteral("66"));
    }

    void readsWithoutWriting()
    {
        const QByteArray ini = "[Preferences]\nLanguages\\nChooseLan=59\n";
        QVERIFY(ReaderSettings::write(ini));
        CRegister::regGetString(QStringLiteral("\\Preferences\\Languages"), QStringLiteral("nChooseLan"));
        CRegister::regGetString(QStringLiteral("\\Preferences\\Languages"), QStringLiteral("absent"));
        QFile file(ReaderSettings::filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), ini);
    }
};

QTEST_GUILESS_MAIN(TestRegister)
#include "tst_register.moc"
