// The module manager's own state and rules: construction and release, the language
// tag, version comparison, the local "UpdaterInfo.xml", the three availability checks,
// the two clean-ups of the offered list and the silent-update test.

#include "creadermodulemanager.h"
#include "mmtestsupport.h"

#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace TestUtil;

namespace {

const QString kList = QStringLiteral("Update List");

MODULEINFO* offered(CReaderModuleManager& manager, const QString& name)
{
    MODULEINFO* info = manager.AddModule(manager.m_strAddon);
    info->strName = name;
    info->bResult = true;
    manager.m_vecUpdateModules.append(info);
    return info;
}

_UpdaterInfo* localEntry(const QString& name, const QString& version, const QStringList& paths = QStringList())
{
    _UpdaterInfo* entry = new _UpdaterInfo;
    entry->strName = name;
    entry->strVersion = version;
    entry->listPath = paths;
    return entry;
}

// Owns the entries of a local list for the length of a test.
struct LocalList
{
    QVector<_UpdaterInfo*> list;
    ~LocalList() { qDeleteAll(list); }
};

} // namespace

class TestModuleRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void constructionStartsEmpty();
    void driverReleasesItsManager();
    void recordsStartEmptyAndBelongToTheList();
    void languageTag_data();
    void languageTag();

    void compareVersion_data();
    void compareVersion();

    void updaterInfoReadsEntriesAndFiles();
    void updaterInfoNeedsItsMarker_data();
    void updaterInfoNeedsItsMarker();
    void updaterInfoOldVersionIsTheLastVersionRead();
    void updaterInfoEmptiesTheCallersList();

    void moduleAvailable();
    void moduleAvailableIgnoresSpacesInVersions();
    void updaterAvailable();
    void forcedUpgrade();

    void patchRemovedOnlyBesideAnUpdater_data();
    void patchRemovedOnlyBesideAnUpdater();
    void internalServicesOfMode2Removed();
    void silentUpdate();

private:
    QTemporaryDir m_workDir;
    std::unique_ptr<UpdaterApp> m_app;
};

void TestModuleRules::initTestCase()
{
    QVERIFY(m_workDir.isValid());
    // "UpdaterInfo.xml" is looked up in the working directory.
    QVERIFY(QDir::setCurrent(m_workDir.path()));
    m_app = makeApp(QStringLiteral("type:\"Update List\",product:\"P\",version:\"7.1.0.1234\""));
}

void TestModuleRules::init()
{
    QFile::remove(QStringLiteral("UpdaterInfo.xml"));
    m_app->m_strReaderVersion.clear();
}

void TestModuleRules::constructionStartsEmpty()
{
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    QCOMPARE(manager.m_strAddon, kList);
    QCOMPARE(manager.m_pApp, m_app.get());
    QVERIFY(manager.m_strReaderPath.isEmpty());
    QVERIFY(manager.m_strReplyFile.isEmpty());
    QVERIFY(manager.m_strOldVersion.isEmpty());
    QVERIFY(manager.m_pDownloader == nullptr);
    QVERIFY(manager.m_vecUpdateModules.isEmpty());
    QVERIFY(!manager.m_bStop);
    QVERIFY(!manager.CanExitThred());
    QVERIFY(!manager.isQuerySucceeded());
    QVERIFY(!manager.isSilentUpdate());

    manager.m_bStop = true;
    QVERIFY(manager.CanExitThred());

    QCOMPARE(manager.GetReaderVersion(), QString());
    m_app->m_strReaderVersion = QStringLiteral("7.2.0.1");
    QCOMPARE(manager.GetReaderVersion(), QStringLiteral("7.2.0.1"));

    // The records still offered when the manager goes are released with it (the
    // sanitizer build reports them otherwise).
    offered(manager, QStringLiteral("Reader"));
    offered(manager, QStringLiteral("Spell"));
}

void TestModuleRules::driverReleasesItsManager()
{
    std::unique_ptr<UpdaterApp> app = makeApp();
    app->m_pModuleManager = new CReaderModuleManager(kList, app.get(), nullptr);
    offered(*app->m_pModuleManager, QStringLiteral("Reader"));
    QPointer<CReaderModuleManager> watch(app->m_pModuleManager);
    app.reset();
    QVERIFY(watch.isNull());
}

void TestModuleRules::recordsStartEmptyAndBelongToTheList()
{
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    std::unique_ptr<MODULEINFO> info(manager.AddModule(QStringLiteral("Other List")));
    QCOMPARE(info->strAddon, QStringLiteral("Other List"));
    QVERIFY(info->strName.isEmpty() && info->strVersion.isEmpty() && info->strUrl.isEmpty());
    QVERIFY(info->strInternalService.isEmpty() && info->strTandrelStandard.isEmpty());
    QVERIFY(!info->bResult && !info->bSilentInstall && !info->bForcedUpgrade && !info->bIsCommon);
    QCOMPARE(info->nUpdateMode, 0);
    // A record is not in the offered list until its caller puts it there.
    QVERIFY(manager.m_vecUpdateModules.isEmpty());

    offered(manager, QStringLiteral("A"));
    offered(manager, QStringLiteral("B"));
    // Other holders keep copies of the pointers; releasing empties the manager's list.
    const QVector<MODULEINFO*> copy = manager.m_vecUpdateModules;
    QCOMPARE(copy.size(), 2);
    manager.ReleaseModuleInfo();
    QVERIFY(manager.m_vecUpdateModules.isEmpty());
    manager.ReleaseModuleInfo();
    QVERIFY(manager.m_vecUpdateModules.isEmpty());

    QVector<_UpdaterInfo*> local{ localEntry(QStringLiteral("A"), QStringLiteral("1")),
                                  localEntry(QStringLiteral("B"), QStringLiteral("2")) };
    manager.ReleaseUpdaterInfoList(local);
    // The entries are gone; the list itself stays with its owner.
    QCOMPARE(local.size(), 2);
}

void TestModuleRules::languageTag_data()
{
    QTest::addColumn<int>("language");
    QTest::addColumn<int>("country");
    QTest::addColumn<QString>("tag");
    QTest::newRow("Chinese, China") << int(QLocale::Chinese) << int(QLocale::China) << "zh-CN";
    QTest::newRow("Japanese, Japan") << int(QLocale::Japanese) << int(QLocale::Japan) << "ja-JP";
    QTest::newRow("Chinese, Taiwan") << int(QLocale::Chinese) << int(QLocale::Taiwan) << "en-US";
    QTest::newRow("Chinese, Singapore") << int(QLocale::Chinese) << int(QLocale::Singapore) << "en-US";
    QTest::newRow("Japanese, China") << int(QLocale::Japanese) << int(QLocale::China) << "en-US";
    QTest::newRow("German, Germany") << int(QLocale::German) << int(QLocale::Germany) << "en-US";
    QTest::newRow("nothing chosen") << 0 << 0 << "en-US";
}

void TestModuleRules::languageTag()
{
    QFETCH(int, language);
    QFETCH(int, country);
    QFETCH(QString, tag);
    // The numbers the reader stores are Qt's: 25/44 and 59/108.
    QCOMPARE(int(QLocale::Chinese), 25);
    QCOMPARE(int(QLocale::China), 44);
    QCOMPARE(int(QLocale::Japanese), 59);
    QCOMPARE(int(QLocale::Japan), 108);

    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    manager.setLangParm(language, country);
    QCOMPARE(manager.m_nLanguage, language);
    QCOMPARE(manager.m_nCountry, country);
    QCOMPARE(manager.GetLocalLangName(), tag);
}

void TestModuleRules::compareVersion_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");
    QTest::newRow("build number, not text order") << "7.1.0.1234" << "7.1.0.999" << 1;
    QTest::newRow("same") << "7.1.0.1234" << "7.1.0.1234" << 0;
    QTest::newRow("older minor") << "7.0.9.9999" << "7.1.0.0" << -1;
    QTest::newRow("two parts repeat the last") << "7.1" << "7.1.1.1" << 0;
    QTest::newRow("two parts newer than zero build") << "7.1" << "7.1.0.0" << 1;
    QTest::newRow("major decides") << "10.0" << "9.9.9.9" << 1;
    QTest::newRow("one part repeats") << "7" << "7.0.0.0" << 1;
    QTest::newRow("one part equal") << "7" << "7.7.7.7" << 0;
    QTest::newRow("fifth part spoils the fourth") << "7.1.0.1.5" << "7.1.0.0" << 0;
    QTest::newRow("empty is zero") << "" << "0.0.0.0" << 0;
    QTest::newRow("empty is older") << "" << "0.0.0.1" << -1;
    QTest::newRow("letters count as zero") << "7.x.0.1" << "7.0.0.1" << 0;
    QTest::newRow("reversed") << "7.1.0.999" << "7.1.0.1234" << -1;
}

void TestModuleRules::compareVersion()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    QCOMPARE(manager.CompareVersion(a, b), order);
    QCOMPARE(manager.CompareVersion(b, a), -order);
}

void TestModuleRules::updaterInfoReadsEntriesAndFiles()
{
    QVERIFY(writeFile(QStringLiteral("UpdaterInfo.xml"),
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<updater_info>\n"
                      "  text between entries\n"
                      "  <module name=\"Reader\" version=\"7.1.0.1234\" Name=\"ignored\" other=\"x\">\n"
                      "    <file path=\"/opt/reader/bin/reader\"/>\n"
                      "    <file path=\"/opt/reader/lib/libcore.so\" size=\"12\">\n"
                      "      <file path=\"/too/deep\"/>\n"
                      "    </file>\n"
                      "    <file a:path=\"/one\" b:path=\"/two\" Path=\"/not/this\"/>\n"
                      "  </module>\n"
                      "  <!-- a comment -->\n"
                      "  <plugin name=\"Sp&#233;ll\"/>\n"
                      "</updater_info>\n"));
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    LocalList local;
    manager.ParseUpdaterInfo(local.list);
    QCOMPARE(local.list.size(), 2);
    QCOMPARE(local.list[0]->strName, QStringLiteral("Reader"));
    QCOMPARE(local.list[0]->strVersion, QStringLiteral("7.1.0.1234"));
    QCOMPARE(local.list[0]->listPath,
             QStringList({ "/opt/reader/bin/reader", "/opt/reader/lib/libcore.so", "/one", "/two" }));
    QCOMPARE(local.list[1]->strName, QString::fromUtf8("Sp\xc3\xa9ll"));
    QVERIFY(local.list[1]->strVersion.isEmpty());
    QVERIFY(local.list[1]->listPath.isEmpty());
    QCOMPARE(manager.m_strOldVersion, QStringLiteral("7.1.0.1234"));
}

void TestModuleRules::updaterInfoNeedsItsMarker_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("read");
    QTest::newRow("marker as root") << QByteArray("<updater_info><m name=\"R\" version=\"1\"/></updater_info>") << true;
    QTest::newRow("marker anywhere in the text")
        << QByteArray("<modules><!-- updater_info --><m name=\"R\" version=\"1\"/></modules>") << true;
    QTest::newRow("marker in capitals only")
        << QByteArray("<UPDATER_INFO><m name=\"R\" version=\"1\"/></UPDATER_INFO>") << false;
    QTest::newRow("well formed without marker") << QByteArray("<modules><m name=\"R\" version=\"1\"/></modules>") << false;
    QTest::newRow("marker after a NUL byte")
        << QByteArray("<modules><m name=\"R\" version=\"1\"/></modules>") + QByteArray(1, '\0') + "updater_info"
        << false;
    QTest::newRow("marker but not XML") << QByteArray("updater_info and nothing else") << false;
    QTest::newRow("empty file") << QByteArray() << false;
    // Only the first 8 MiB count, and only a regular file is opened (a FIFO would block).
    QTest::newRow("entry past 8 MiB")
        << "<updater_info>" + QByteArray(8 * 1024 * 1024, ' ') + "<m name=\"R\" version=\"1\"/></updater_info>" << false;
    QTest::newRow("a FIFO in its place") << QByteArray("fifo") << false;
}

void TestModuleRules::updaterInfoNeedsItsMarker()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, read);
    if (content == "fifo")
        QCOMPARE(::mkfifo("UpdaterInfo.xml", 0600), 0);
    else
        QVERIFY(writeFile(QStringLiteral("UpdaterInfo.xml"), content));
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    manager.m_strOldVersion = QStringLiteral("earlier");
    LocalList local;
    manager.ParseUpdaterInfo(local.list);
    QCOMPARE(local.list.size(), read ? 1 : 0);
    QCOMPARE(manager.m_strOldVersion, read ? QStringLiteral("1") : QStringLiteral("earlier"));
}

void TestModuleRules::updaterInfoOldVersionIsTheLastVersionRead()
{
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    {
        QVERIFY(writeFile(QStringLiteral("UpdaterInfo.xml"),
                          "<updater_info><a name=\"A\" version=\"1.0\"/><b name=\"B\" version=\"2.0\"/>"
                          "<c name=\"C\"/></updater_info>"));
        LocalList local;
        manager.ParseUpdaterInfo(local.list);
        QCOMPARE(local.list.size(), 3);
        QCOMPARE(manager.m_strOldVersion, QStringLiteral("2.0"));
    }
    {
        // Kept across reads: a file without versions, then no file at all.
        QVERIFY(writeFile(QStringLiteral("UpdaterInfo.xml"), "<updater_info><a name=\"A\"/></updater_info>"));
        LocalList local;
        manager.ParseUpdaterInfo(local.list);
        QCOMPARE(local.list.size(), 1);
        QCOMPARE(manager.m_strOldVersion, QStringLiteral("2.0"));
        QVERIFY(QFile::remove(QStringLiteral("UpdaterInfo.xml")));
        qDeleteAll(local.list);
        manager.ParseUpdaterInfo(local.list);
        QVERIFY(local.list.isEmpty());
        QCOMPARE(manager.m_strOldVersion, QStringLiteral("2.0"));
    }
    {
        // A later versioned entry overwrites it.
        QVERIFY(writeFile(QStringLiteral("UpdaterInfo.xml"),
                          "<updater_info><a name=\"A\" version=\"3.0\"/></updater_info>"));
        LocalList local;
        manager.ParseUpdaterInfo(local.list);
        QCOMPARE(manager.m_strOldVersion, QStringLiteral("3.0"));
    }
}

void TestModuleRules::updaterInfoEmptiesTheCallersList()
{
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    std::unique_ptr<_UpdaterInfo> mine(localEntry(QStringLiteral("Mine"), QStringLiteral("1")));
    QVector<_UpdaterInfo*> list{ mine.get() };
    manager.ParseUpdaterInfo(list);  // no file
    QVERIFY(list.isEmpty());
    // The entry it held is still the caller's.
    QCOMPARE(mine->strName, QStringLiteral("Mine"));
}

void TestModuleRules::moduleAvailable()
{
    const QString present = m_workDir.filePath(QStringLiteral("present.bin"));
    QVERIFY(writeFile(present, "x"));
    const QString missing = m_workDir.filePath(QStringLiteral("missing.bin"));

    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    std::unique_ptr<MODULEINFO> info(manager.AddModule(kList));
    info->strName = QStringLiteral("Reader");
    info->strVersion = QStringLiteral("7.1.0.1234");

    LocalList none;
    QVERIFY(!manager.CheckModuleAvailable(info.get(), none.list));
    info->bIsCommon = true;
    QVERIFY(manager.CheckModuleAvailable(info.get(), none.list));
    info->bIsCommon = false;

    LocalList local;
    local.list = { localEntry(QStringLiteral("reader"), QStringLiteral("9.9.9.9")),
                   localEntry(QStringLiteral("Reader"), QStringLiteral("7.1.0.1234"), { present }),
                   localEntry(QStringLiteral("Reader"), QStringLiteral("1.0")) };
    // Names match exactly and the first match counts: same version, file present.
    QVERIFY(manager.CheckModuleAvailable(info.get(), local.list));
    local.list[1]->strVersion = QStringLiteral("7.1.0.1233");
    QVERIFY(!manager.CheckModuleAvailable(info.get(), local.list));
    local.list[1]->strVersion = QStringLiteral("8");
    QVERIFY(manager.CheckModuleAvailable(info.get(), local.list));
    local.list[1]->listPath << missing;
    QVERIFY(!manager.CheckModuleAvailable(info.get(), local.list));

    // Another request list that marks everything as available.
    CReaderModuleManager automatic(QStringLiteral("Auto Updater"), m_app.get(), nullptr);
    QVERIFY(automatic.CheckModuleAvailable(info.get(), none.list));

    // The updater's own package is judged by CheckUpdaterAvailable.
    m_app->m_strReaderVersion = QStringLiteral("7.0");
    info->strModuleType = QStringLiteral("updater");
    info->strUrl = QStringLiteral("http://example.invalid/MspPatch.bin");
    QVERIFY(!manager.CheckModuleAvailable(info.get(), local.list));
    info->strUrl = QStringLiteral("http://example.invalid/package.bin");
    QVERIFY(manager.CheckModuleAvailable(info.get(), none.list));
}

void TestModuleRules::moduleAvailableIgnoresSpacesInVersions()
{
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    std::unique_ptr<MODULEINFO> info(manager.AddModule(kList));
    info->strName = QStringLiteral("Reader");
    info->strVersion = QStringLiteral("7.1.0.1234");
    LocalList local;
    // Read as it stands, "12 34" is no number and the local copy would look older.
    local.list = { localEntry(QStringLiteral("Reader"), QStringLiteral("7.1.0.12 34")) };
    QCOMPARE(manager.CompareVersion(local.list[0]->strVersion, info->strVersion), -1);
    QVERIFY(manager.CheckModuleAvailable(info.get(), local.list));
    // The same holds for the forced-upgrade check.
    local.list[0]->strVersion = QStringLiteral("7.1.0.1234");
    info->strVersion = QStringLiteral("7.1.0.12 35");
    QVERIFY(manager.CheckForcedUpgradeVersion(info.get(), local.list));
}

void TestModuleRules::updaterAvailable()
{
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    std::unique_ptr<MODULEINFO> info(manager.AddModule(kList));
    m_app->m_strReaderVersion = QStringLiteral("7.1.0.1");
    info->strName = QStringLiteral("Updater");
    info->strVersion = QStringLiteral("7.2");
    info->strUrl = QStringLiteral("http://example.invalid/MspPatch/u.bin");

    // Only the updater's own package is judged.
    QVERIFY(manager.CheckUpdaterAvailable(info.get(), false));
    info->strModuleType = QStringLiteral("updater");
    QVERIFY(!manager.CheckUpdaterAvailable(info.get(), false));
    QVERIFY(!manager.CheckUpdaterAvailable(info.get(), true));

    // The word is looked for with its case.
    info->strUrl = QStringLiteral("http://example.invalid/msppatch/u.bin");
    QVERIFY(manager.CheckUpdaterAvailable(info.get(), false));
    info->strName = QStringLiteral("Updater.exe");
    QVERIFY(!manager.CheckUpdaterAvailable(info.get(), false));
    info->strName = QStringLiteral("Updater.EXE");
    QVERIFY(manager.CheckUpdaterAvailable(info.get(), false));

    // Not newer than the reader: nothing to judge.
    info->strName = QStringLiteral("Updater.exe");
    info->strVersion = QStringLiteral("7.1.0.1");
    QVERIFY(manager.CheckUpdaterAvailable(info.get(), false));
    info->strVersion = QStringLiteral("7.1.0.0");
    QVERIFY(manager.CheckUpdaterAvailable(info.get(), false));
}

void TestModuleRules::forcedUpgrade()
{
    const QString present = m_workDir.filePath(QStringLiteral("present.bin"));
    QVERIFY(writeFile(present, "x"));
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    std::unique_ptr<MODULEINFO> info(manager.AddModule(kList));
    info->strName = QStringLiteral("Reader");
    info->strVersion = QStringLiteral("7.1");

    LocalList none;
    QVERIFY(manager.CheckForcedUpgradeVersion(info.get(), none.list));

    LocalList local;
    local.list = { localEntry(QStringLiteral("Reader"), QStringLiteral("7.1"), { present }) };
    QVERIFY(!manager.CheckForcedUpgradeVersion(info.get(), local.list));
    info->strVersion = QStringLiteral("7.1.1.2");
    QVERIFY(manager.CheckForcedUpgradeVersion(info.get(), local.list));
    info->strVersion = QStringLiteral("7.0");
    QVERIFY(!manager.CheckForcedUpgradeVersion(info.get(), local.list));

    // A missing file forces it, whatever the versions.
    local.list[0]->listPath << m_workDir.filePath(QStringLiteral("gone.bin"));
    QVERIFY(manager.CheckForcedUpgradeVersion(info.get(), local.list));
    local.list[0]->listPath.removeLast();

    // The server's mark counts for the updater's own package only.
    info->bForcedUpgrade = true;
    QVERIFY(!manager.CheckForcedUpgradeVersion(info.get(), local.list));
    info->strModuleType = QStringLiteral("updater");
    QVERIFY(manager.CheckForcedUpgradeVersion(info.get(), local.list));
}

void TestModuleRules::patchRemovedOnlyBesideAnUpdater_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("kept");
    QTest::newRow("patch beside updater")
        << QStringList{ "Reader", "Updater", "Reader Patch" } << QStringList{ "Reader", "Updater" };
    QTest::newRow("patches without updater")
        << QStringList{ "Reader Patch", "Spell Patch" } << QStringList{ "Reader Patch", "Spell Patch" };
    QTest::newRow("one record matches both") << QStringList{ "Updater Patch" } << QStringList{};
    QTest::newRow("only the last patch")
        << QStringList{ "Updater", "Patch A", "Patch B" } << QStringList{ "Updater", "Patch A" };
    QTest::newRow("patch before updater")
        << QStringList{ "Patch A", "Updater" } << QStringList{ "Updater" };
    QTest::newRow("case-sensitive") << QStringList{ "updater", "patch" } << QStringList{ "updater", "patch" };
    QTest::newRow("empty") << QStringList{} << QStringList{};
}

void TestModuleRules::patchRemovedOnlyBesideAnUpdater()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, kept);
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    for (const QString& name : names)
        offered(manager, name);
    QVERIFY(manager.DeletePatchUpdate());
    QCOMPARE(offeredNames(manager), kept);
}

void TestModuleRules::internalServicesOfMode2Removed()
{
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    QVERIFY(manager.DeleteMoravelCloud());  // nothing offered: nothing to do

    struct Row { const char* name; int mode; const char* mark; };
    const Row rows[] = {
        { "Cloud", 2, "TRUE" },
        { "Cloud lower", 2, "true" },
        { "Mode 1", 1, "TRUE" },
        { "Cloud suffix", 2, "TRUE-ish" },
        { "Not first", 2, " TRUE" },
        { "Plain", 0, "" },
        { "Cloud last", 2, "TRUE" },
    };
    for (const Row& row : rows) {
        MODULEINFO* info = offered(manager, QString::fromLatin1(row.name));
        info->nUpdateMode = row.mode;
        info->strInternalService = QString::fromLatin1(row.mark);
    }
    QVERIFY(manager.DeleteMoravelCloud());
    // The removed records are released as well (the sanitizer build sees a leak otherwise).
    QCOMPARE(offeredNames(manager), QStringList({ "Cloud lower", "Mode 1", "Not first", "Plain" }));
}

void TestModuleRules::silentUpdate()
{
    CReaderModuleManager manager(kList, m_app.get(), nullptr);
    QVERIFY(!manager.isSilentUpdate());
    offered(manager, QStringLiteral("A"))->bSilentInstall = true;
    QVERIFY(manager.isSilentUpdate());
    MODULEINFO* loud = offered(manager, QStringLiteral("B"));
    offered(manager, QStringLiteral("C"))->bSilentInstall = true;
    QVERIFY(!manager.isSilentUpdate());
    loud->bSilentInstall = true;
    QVERIFY(manager.isSilentUpdate());
}

QTEST_MAIN(TestModuleRules)
#include "tst_modulerules.moc"
