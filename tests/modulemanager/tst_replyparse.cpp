// Reading the update server's reply file into module records: which attributes fill
// which fields, which modules are offered, the express filter, the clean-ups that
// follow, and replies that are empty, missing or not a module list.

#include "creadermodulemanager.h"
#include "mmtestsupport.h"
#include "xmlelement.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace TestUtil;

namespace {

const QString kList = QStringLiteral("Update List");

} // namespace

class TestReplyParse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void everyAttributeFillsItsField();
    void flagsAndNumbers_data();
    void flagsAndNumbers();
    void parseModuleInfoWithoutElementDoesNothing();

    void resultDecidesWhatIsOffered();
    void textCommentsAndDeeperElementsMakeNoRecords();
    void expressFilter_data();
    void expressFilter();
    void cleanUpsRunOnTheOfferedList();
    void eachReplyReplacesTheLast();
    void replyRefreshesTheLocalOldVersion();
    void unreadableReplies_data();
    void unreadableReplies();
    void missingReplyFileIsLogged();
    void stopFlagEndsWithAnEmptyList();

private:
    // Writes the reply and parses it with a manager of the given run parameters.
    QStringList parse(const QByteArray& reply, const QString& params = QString());
    QString replyPath() const { return m_workDir.filePath(QStringLiteral("reply.xml")); }

    QTemporaryDir m_workDir;
    std::unique_ptr<UpdaterApp> m_app;
    std::unique_ptr<CReaderModuleManager> m_manager;
};

void TestReplyParse::initTestCase()
{
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path()));
}

void TestReplyParse::init()
{
    QFile::remove(QStringLiteral("UpdaterInfo.xml"));
    m_manager.reset();
    m_app = makeApp(QStringLiteral("type:\"Update List\",product:\"P\""));
    m_manager.reset(new CReaderModuleManager(kList, m_app.get(), nullptr));
}

QStringList TestReplyParse::parse(const QByteArray& reply, const QString& params)
{
    if (!params.isEmpty()) {
        m_manager.reset();
        m_app = makeApp(params);
        m_manager.reset(new CReaderModuleManager(kList, m_app.get(), nullptr));
    }
    if (!writeFile(replyPath(), reply))
        return QStringList{ QStringLiteral("<reply file not written>") };
    m_manager->OnPaserModuleInfo(replyPath());
    return offeredNames(*m_manager);
}

void TestReplyParse::everyAttributeFillsItsField()
{
    const QStringList names = parse(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<addons majorUpdate=\"true\">\n"
        "  <addon name=\"Reader\" title=\"Moravel Reader\" version=\"7.2.0.100\" size=\"12.5 MB\"\n"
        "         description=\"Fixes &amp; speed &lt;3 \xc3\xa9\xe6\x97\xa5\" url=\"http://dl.example.invalid/r.bin?a=1&amp;b=2\"\n"
        "         regkey=\"HKLM\\Reader\" level=\"3\" module_type=\"reader\" parent=\"Base\"\n"
        "         isInternalService=\"TRUE\" result=\"true\" plugin=\"TRUE\" isnew=\"True\" iscommon=\"tRuE\"\n"
        "         forcedUpgrade=\"true\" SilentInstall=\"TRUE\" update_mode=\"1\" TandrelStandard=\"ISO 32000\"\n"
        "         unknown=\"ignored\"/>\n"
        "</addons>\n");
    QCOMPARE(names, QStringList{ "Reader" });
    const MODULEINFO* info = m_manager->m_vecUpdateModules.at(0);
    QCOMPARE(info->strAddon, kList);
    QCOMPARE(info->strTitle, QStringLiteral("Moravel Reader"));
    QCOMPARE(info->strVersion, QStringLiteral("7.2.0.100"));
    QCOMPARE(info->strSize, QStringLiteral("12.5 MB"));
    QCOMPARE(info->strDescription, QString::fromUtf8("Fixes & speed <3 \xc3\xa9\xe6\x97\xa5"));
    QCOMPARE(info->strUrl, QStringLiteral("http://dl.example.invalid/r.bin?a=1&b=2"));
    QCOMPARE(info->strRegkey, QStringLiteral("HKLM\\Reader"));
    QCOMPARE(info->strLevel, QStringLiteral("3"));
    QCOMPARE(info->strModuleType, QStringLiteral("reader"));
    QCOMPARE(info->strParent, QStringLiteral("Base"));
    QCOMPARE(info->strInternalService, QStringLiteral("TRUE"));
    QVERIFY(info->bResult);
    QVERIFY(info->bPlugin);
    QVERIFY(info->bIsNew);
    QVERIFY(info->bIsCommon);
    QVERIFY(info->bForcedUpgrade);
    QVERIFY(info->bSilentInstall);
    QCOMPARE(info->nUpdateMode, 1);
    QCOMPARE(info->strTandrelStandard, QStringLiteral("TRUE"));
    QCOMPARE(info->strTandrelStandardValue, QStringLiteral("ISO 32000"));
    QVERIFY(m_manager->isQuerySucceeded() == false);  // only a query sets this
}

void TestReplyParse::flagsAndNumbers_data()
{
    QTest::addColumn<QByteArray>("attributes");
    QTest::addColumn<bool>("forced");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("plugin");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("tandrel");

    QTest::newRow("forced True") << QByteArray("forcedUpgrade=\"True\"") << true << false << false << 0 << "";
    QTest::newRow("forced yes") << QByteArray("forcedUpgrade=\"yes\"") << false << false << false << 0 << "";
    QTest::newRow("silent lower case") << QByteArray("SilentInstall=\"true\"") << false << true << false << 0 << "";
    QTest::newRow("silent 1") << QByteArray("SilentInstall=\"1\"") << false << false << false << 0 << "";
    // A later "yes" does not take back an earlier TRUE; for "plugin" the last value wins.
    QTest::newRow("forced twice") << QByteArray("forcedUpgrade=\"TRUE\" a:forcedUpgrade=\"yes\"")
                                  << true << false << false << 0 << "";
    QTest::newRow("plugin twice") << QByteArray("plugin=\"true\" a:plugin=\"no\"") << false << false << false << 0 << "";
    QTest::newRow("plugin true with spaces") << QByteArray("plugin=\" true\"") << false << false << false << 0 << "";
    QTest::newRow("mode 2") << QByteArray("update_mode=\"2\"") << false << false << false << 2 << "";
    QTest::newRow("mode two") << QByteArray("update_mode=\"two\"") << false << false << false << 0 << "";
    QTest::newRow("mode 2x") << QByteArray("update_mode=\"2x\"") << false << false << false << 0 << "";
    QTest::newRow("mode -3") << QByteArray("update_mode=\"-3\"") << false << false << false << -3 << "";
    QTest::newRow("mode too large") << QByteArray("update_mode=\"99999999999\"") << false << false << false << 0 << "";
    QTest::newRow("tandrel empty") << QByteArray("TandrelStandard=\"\"") << false << false << false << 0 << "TRUE";
    QTest::newRow("capitalised names are others")
        << QByteArray("ForcedUpgrade=\"TRUE\" silentInstall=\"TRUE\" Update_mode=\"2\"")
        << false << false << false << 0 << "";
}

void TestReplyParse::flagsAndNumbers()
{
    QFETCH(QByteArray, attributes);
    QFETCH(bool, forced);
    QFETCH(bool, silent);
    QFETCH(bool, plugin);
    QFETCH(int, mode);
    QFETCH(QString, tandrel);

    const QStringList names = parse("<r><m name=\"M\" result=\"true\" " + attributes + "/></r>");
    QCOMPARE(names, QStringList{ "M" });
    const MODULEINFO* info = m_manager->m_vecUpdateModules.at(0);
    QCOMPARE(info->bForcedUpgrade, forced);
    QCOMPARE(info->bSilentInstall, silent);
    QCOMPARE(info->bPlugin, plugin);
    QCOMPARE(info->nUpdateMode, mode);
    QCOMPARE(info->strTandrelStandard, tandrel);
}

void TestReplyParse::parseModuleInfoWithoutElementDoesNothing()
{
    std::unique_ptr<MODULEINFO> info(m_manager->AddModule(kList));
    info->bSilentInstall = true;
    info->strName = QStringLiteral("kept");
    m_manager->ParseModuleInfo(nullptr, info.get());
    QVERIFY(info->bSilentInstall);
    QCOMPARE(info->strName, QStringLiteral("kept"));

    // With an element, the silent mark starts over from false.
    const QByteArray xml("<m name=\"N\"/>");
    std::unique_ptr<CXML_Element> element(CXML_Element::Parse(xml.constData(), size_t(xml.size())));
    QVERIFY(element);
    m_manager->ParseModuleInfo(element.get(), info.get());
    QVERIFY(!info->bSilentInstall);
    QCOMPARE(info->strName, QStringLiteral("N"));
}

void TestReplyParse::resultDecidesWhatIsOffered()
{
    QCOMPARE(parse("<r><a name=\"A\" result=\"true\"/><b name=\"B\" result=\"TRUE\"/><c name=\"C\" result=\"yes\"/></r>"),
             QStringList({ "A", "B" }));
    // Capital R is another attribute; a module without attributes is dropped.
    QCOMPARE(parse("<r><a name=\"A\" Result=\"true\"/><b/><c name=\"C\" result=\"false\"/></r>"), QStringList());
    // A namespace prefix on a known name is ignored; a later "result" overrides.
    QCOMPARE(parse("<r xmlns:x=\"urn:x\"><a x:name=\"A\" x:result=\"true\"/>"
                   "<b name=\"B\" result=\"true\" x:result=\"false\"/></r>"),
             QStringList({ "A" }));
    // Any root and module tag names; reply order is kept.
    QCOMPARE(parse("<anything><z name=\"3\" result=\"true\"/><y name=\"1\" result=\"true\"/>"
                   "<x name=\"2\" result=\"true\"/></anything>"),
             QStringList({ "3", "1", "2" }));
}

void TestReplyParse::textCommentsAndDeeperElementsMakeNoRecords()
{
    QCOMPARE(parse("<r>\n  some text\n  <!-- <m name=\"Commented\" result=\"true\"/> -->\n"
                   "  <m name=\"A\" result=\"true\"><inner name=\"Inner\" result=\"true\"/>inner text</m>\n"
                   "  <![CDATA[<m name=\"Cdata\" result=\"true\"/>]]>\n"
                   "  <?pi <m name=\"Pi\" result=\"true\"/>?>\n"
                   "  <m name=\"B\" result=\"true\"/>\n  tail\n</r>"),
             QStringList({ "A", "B" }));
}

void TestReplyParse::expressFilter_data()
{
    QTest::addColumn<QString>("express");
    QTest::addColumn<QStringList>("offered");
    const QStringList all{ "OCR_Engine", "Lang_OCR_de", "PDF/A", "Lang_ocr_de", "pdf/a", "PDF/A Validator", "Reader" };
    const QStringList express{ "Lang_ocr_de", "pdf/a", "PDF/A Validator", "Reader" };
    QTest::newRow("express 1") << "1" << express;
    QTest::newRow("express -2") << "-2" << express;
    QTest::newRow("express 0") << "0" << all;
    QTest::newRow("express not a number") << "yes" << all;
    QTest::newRow("express empty") << "" << all;
    QTest::newRow("no express parameter") << QString() << all;
}

void TestReplyParse::expressFilter()
{
    QFETCH(QString, express);
    QFETCH(QStringList, offered);
    QString params = QStringLiteral("type:\"Update List\"");
    if (!express.isNull())
        params += QStringLiteral(",bExpress:\"%1\"").arg(express);
    const QByteArray reply = "<r>"
                             "<m name=\"OCR_Engine\" result=\"true\"/>"
                             "<m name=\"Lang_OCR_de\" result=\"true\"/>"
                             "<m name=\"PDF/A\" result=\"true\"/>"
                             "<m name=\"Lang_ocr_de\" result=\"true\"/>"
                             "<m name=\"pdf/a\" result=\"true\"/>"
                             "<m name=\"PDF/A Validator\" result=\"true\"/>"
                             "<m name=\"OCR_Pack\" result=\"false\"/>"
                             "<m name=\"Reader\" result=\"true\"/>"
                             "</r>";
    QCOMPARE(parse(reply, params), offered);
}

void TestReplyParse::cleanUpsRunOnTheOfferedList()
{
    // The patch beside the updater goes, and so does the internal service of mode 2;
    // a patch the server does not offer does not count.
    QCOMPARE(parse("<r>"
                   "<m name=\"Reader\" result=\"true\"/>"
                   "<m name=\"Reader Patch\" result=\"true\"/>"
                   "<m name=\"Cloud\" result=\"true\" update_mode=\"2\" isInternalService=\"TRUE\"/>"
                   "<m name=\"Updater\" result=\"true\"/>"
                   "<m name=\"Late Patch\" result=\"false\"/>"
                   "</r>"),
             QStringList({ "Reader", "Updater" }));
    QCOMPARE(parse("<r><m name=\"Reader Patch\" result=\"true\"/><m name=\"Updater\" result=\"false\"/></r>"),
             QStringList({ "Reader Patch" }));
}

void TestReplyParse::eachReplyReplacesTheLast()
{
    QCOMPARE(parse("<r><m name=\"A\" result=\"true\"/><m name=\"B\" result=\"true\"/></r>"), QStringList({ "A", "B" }));
    QCOMPARE(parse("<r><m name=\"C\" result=\"true\"/></r>"), QStringList({ "C" }));
    QCOMPARE(parse("<r/>"), QStringList());
    QCOMPARE(parse("<r><m name=\"D\" result=\"true\"/></r>"), QStringList({ "D" }));
    QCOMPARE(parse("not xml at all"), QStringList());
}

void TestReplyParse::replyRefreshesTheLocalOldVersion()
{
    QCOMPARE(parse("<r><m name=\"A\" result=\"true\"/></r>"), QStringList({ "A" }));
    QVERIFY(m_manager->m_strOldVersion.isEmpty());
    QVERIFY(writeFile(QStringLiteral("UpdaterInfo.xml"),
                      "<updater_info><m name=\"Reader\" version=\"7.0.0.5\"><f path=\"/x\"/></m></updater_info>"));
    QCOMPARE(parse("<r><m name=\"A\" result=\"true\"/></r>"), QStringList({ "A" }));
    QCOMPARE(m_manager->m_strOldVersion, QStringLiteral("7.0.0.5"));
    // A reply that does not parse does not read the local file.
    QVERIFY(writeFile(QStringLiteral("UpdaterInfo.xml"),
                      "<updater_info><m name=\"Reader\" version=\"9\"/></updater_info>"));
    QCOMPARE(parse("no reply"), QStringList());
    QCOMPARE(m_manager->m_strOldVersion, QStringLiteral("7.0.0.5"));
    // The local information does not decide what is offered for the "Update List":
    // a module recorded here at a newer version is still offered.
    QCOMPARE(parse("<r><m name=\"Reader\" version=\"1.0\" result=\"true\"/></r>"), QStringList({ "Reader" }));
    QCOMPARE(m_manager->m_strOldVersion, QStringLiteral("9"));
}

void TestReplyParse::unreadableReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("zero bytes") << QByteArray();
    QTest::newRow("no '<'") << QByteArray("result=\"true\" name=\"A\"");
    QTest::newRow("only whitespace") << QByteArray(" \n\t ");
    QTest::newRow("end tag first") << QByteArray("</r><m name=\"A\" result=\"true\"/>");
    QTest::newRow("NUL bytes") << QByteArray(16, '\0');
}

void TestReplyParse::unreadableReplies()
{
    QFETCH(QByteArray, reply);
    QCOMPARE(parse("<r><m name=\"Old\" result=\"true\"/></r>"), QStringList({ "Old" }));
    QCOMPARE(parse(reply), QStringList());
}

void TestReplyParse::missingReplyFileIsLogged()
{
    QCOMPARE(parse("<r><m name=\"Old\" result=\"true\"/></r>"), QStringList({ "Old" }));
    QTest::ignoreMessage(QtDebugMsg, "Open Reply Xml File failed.");
    m_manager->OnPaserModuleInfo(m_workDir.filePath(QStringLiteral("no-such-reply.xml")));
    QVERIFY(m_manager->m_vecUpdateModules.isEmpty());
    QTest::ignoreMessage(QtDebugMsg, "Open Reply Xml File failed.");
    m_manager->OnPaserModuleInfo(m_workDir.path());  // a directory
    QVERIFY(m_manager->m_vecUpdateModules.isEmpty());
}

void TestReplyParse::stopFlagEndsWithAnEmptyList()
{
    QCOMPARE(parse("<r><m name=\"Old\" result=\"true\"/></r>"), QStringList({ "Old" }));
    m_manager->m_bStop = true;
    QCOMPARE(parse("<r><m name=\"A\" result=\"true\"/><m name=\"B\" result=\"true\"/></r>"), QStringList());
    m_manager->m_bStop = false;
    QCOMPARE(parse("<r><m name=\"A\" result=\"true\"/></r>"), QStringList({ "A" }));
}

QTEST_MAIN(TestReplyParse)
#include "tst_replyparse.moc"
