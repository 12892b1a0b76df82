// Reading the update server's reply file into module records: which attributes fill
// which fields, which modules are offered, the express filter, the clean-ups that
// follow, and replies that are empty, missing or not a module list. What automatic
// checks hold back: a phased rollout that has not reached this installation, a malformed
// rollout and a skipped version, but never a critical module.

#include "cinstallationid.h"
#include "creadermodulemanager.h"
#include "csignedreply.h"
#include "cskippedversions.h"
#include "logcapture.h"
#include "mmtestsupport.h"
#include "xmlelement.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace TestUtil;

namespace {

const QString kList = QStringLiteral("Update List");
const QString kAutomatic = QStringLiteral("type:\"Update List\",product:\"P\"");
const QString kManual = kAutomatic + QStringLiteral(",updater:\"Manual\"");

// A rollout of ten days from kStart.
const qint64 kStart = 1796692200;
const double kDays = 10;
const QByteArray kPhased = "rollout-start=\"" + CSignedReply::formatUtcTime(kStart).toLatin1() + "\" rollout-days=\"10\"";
const QByteArray kPlanted = QByteArray::fromHex("00112233445566778899aabbccddeeff");

// Where identifier places a release, in percent: the first 64 bits of the SHA-256 of
// identifier, name, NUL and version, over 2^64.
double positionOf(const QByteArray& identifier, const QByteArray& name = "Reader", const QByteArray& version = "7.2")
{
    const QByteArray digest =
        QCryptographicHash::hash(identifier + name + QByteArray(1, '\0') + version, QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | quint8(digest.at(i));
    return double(value) / 18446744073709551616.0 * 100.0;
}

// The time at which the rollout stands at share percent.
qint64 atShare(double share)
{
    return kStart + qint64(share / 100.0 * kDays * 86400.0);
}

QByteArray readerReply(const QByteArray& attributes, const QByteArray& version = "7.2")
{
    return "<r><m name=\"Reader\" version=\"" + version + "\" result=\"true\" " + attributes + "/></r>";
}

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
    void deltas_data();
    void deltas();
    void expressFilter_data();
    void expressFilter();
    void cleanUpsRunOnTheOfferedList();
    void eachReplyReplacesTheLast();
    void replyRefreshesTheLocalOldVersion();
    void unreadableReplies_data();
    void unreadableReplies();
    void missingReplyFileIsLogged();
    void stopFlagEndsWithAnEmptyList();

    void phasedRollout_data();
    void phasedRollout();
    void installationIdentifier_data();
    void installationIdentifier();
    void skippedVersions_data();
    void skippedVersions();

private:
    // Writes the reply and parses it with a manager of the given run parameters, at the
    // time now when one is given.
    QStringList parse(const QByteArray& reply, const QString& params = QString(), qint64 now = 0);
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
    QFile::remove(CSkippedVersions::path());
    QFile::remove(CInstallationId::path());
    QDir(CInstallationId::path()).removeRecursively();
    m_manager.reset();
    m_app = makeApp(QStringLiteral("type:\"Update List\",product:\"P\""));
    m_manager.reset(new CReaderModuleManager(kList, m_app.get(), nullptr));
}

QStringList TestReplyParse::parse(const QByteArray& reply, const QString& params, qint64 now)
{
    if (!params.isEmpty()) {
        m_manager.reset();
        m_app = makeApp(params);
        m_manager.reset(new CReaderModuleManager(kList, m_app.get(), nullptr));
    }
    if (now != 0)
        m_manager->setCurrentTime(now);
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

void TestReplyParse::deltas_data()
{
    const QByteArray h1(64, '1'), h2(64, '2'), h3(64, '3');
    const QByteArray good = "<delta from=\"" + h1 + "\" url=\"http://d/1.delta\" size=\"10B\" sha256=\"" + h2 + "\"/>";
    QTest::addColumn<QByteArray>("attributes");
    QTest::addColumn<QByteArray>("children");
    QTest::addColumn<int>("deltas");
    const QByteArray hashed = "sha256=\"" + h3 + "\" content-sha256=\"" + h1 + "\"";
    QTest::newRow("one delta") << hashed << good << 1;
    QTest::newRow("two deltas, other children") << hashed << good + "<note/>" + good << 2;
    QTest::newRow("no content digest") << QByteArray("sha256=\"" + h3 + "\"") << good << 0;
    QTest::newRow("no package hash") << QByteArray("content-sha256=\"" + h1 + "\"") << good << 0;
    QTest::newRow("delta without hash") << hashed << QByteArray("<delta from=\"" + h1 + "\" url=\"http://d/x\"/>") << 0;
    QTest::newRow("delta from no digest") << hashed << QByteArray(good).replace(h1, "abc") << 0;
    QTest::newRow("delta without address") << hashed << QByteArray(good).replace("url=\"http://d/1.delta\"", "") << 0;
    QTest::newRow("more than 64") << hashed << good.repeated(70) << 64;
}

void TestReplyParse::deltas()
{
    QFETCH(QByteArray, attributes);
    QFETCH(QByteArray, children);
    QFETCH(int, deltas);
    const QStringList names = parse("<addons><addon name=\"Reader\" result=\"true\" url=\"http://d/r.pkg\" " + attributes
                                    + ">" + children + "</addon></addons>");
    QCOMPARE(names, QStringList{ "Reader" });
    const MODULEINFO* info = m_manager->m_vecUpdateModules.at(0);
    QCOMPARE(info->vecDeltas.size(), deltas);
    if (deltas > 0) {
        QCOMPARE(info->vecDeltas.at(0).strFrom, QString(64, QLatin1Char('1')));
        QCOMPARE(info->vecDeltas.at(0).strUrl, QStringLiteral("http://d/1.delta"));
        QCOMPARE(info->vecDeltas.at(0).strSize, QStringLiteral("10B"));
        QCOMPARE(info->vecDeltas.at(0).strSha256, QString(64, QLatin1Char('2')));
        QCOMPARE(info->strContentSha256, QString(64, QLatin1Char('1')));
    }
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

void TestReplyParse::phasedRollout_data()
{
    QTest::addColumn<QByteArray>("attributes");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<bool>("manual");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<QString>("logged");   // the start of a log line; empty: none checked
    const double planted = positionOf(kPlanted);
    const QString waits = QStringLiteral("Reader 7.2 not offered yet: phased rollout (this installation at %1%, rollout at ")
                              .arg(planted, 0, 'f', 2);
    const QString malformed = QStringLiteral("Reader 7.2 not offered on automatic checks: malformed rollout");
    const QByteArray start = kPhased.left(kPhased.indexOf(' '));
    QTest::newRow("before the start") << kPhased << kStart - 3600 << false << false << waits + "0.00%)";
    QTest::newRow("at the start") << kPhased << kStart << false << false << waits + "0.00%)";
    QTest::newRow("the share just below the installation") << kPhased << atShare(planted - 0.01) << false << false
                                                           << waits;
    QTest::newRow("the share just above it") << kPhased << atShare(planted + 0.01) << false << true << "";
    QTest::newRow("at the end") << kPhased << kStart + 10 * 86400 << false << true << "";
    QTest::newRow("half a day, after it") << start + " rollout-days=\"0.5\"" << kStart + 43200 << false << true << "";
    QTest::newRow("half a day, in it") << start + " rollout-days=\"0.5\"" << kStart + 1 << false << false << waits;
    QTest::newRow("a manual check before the start") << kPhased << kStart - 3600 << true << true << "";
    QTest::newRow("critical, before the start") << kPhased + " critical=\"TRUE\"" << kStart - 3600 << false << true
                                                << "";
    QTest::newRow("critical false") << kPhased + " critical=\"no\"" << kStart << false << false << waits;
    QTest::newRow("no rollout") << QByteArray() << kStart << false << true << "";
    QTest::newRow("zero days") << start + " rollout-days=\"0\"" << kStart + 86400 << false << false
                               << malformed + " (rollout-start \"" + start.mid(15, 20) + "\", rollout-days \"0\")";
    QTest::newRow("zero days, a manual check") << start + " rollout-days=\"0\"" << kStart << true << true << "";
    QTest::newRow("zero days, critical") << start + " rollout-days=\"0\" critical=\"true\"" << kStart << false << true
                                         << "";
    QTest::newRow("negative days") << start + " rollout-days=\"-1\"" << kStart + 86400 << false << false << malformed;
    QTest::newRow("days with an exponent") << start + " rollout-days=\"1e3\"" << kStart + 86400 << false << false
                                           << malformed;
    QTest::newRow("empty days") << start + " rollout-days=\"\"" << kStart + 86400 << false << false << malformed;
    QTest::newRow("a start alone") << start << kStart + 86400 << false << false << malformed;
    QTest::newRow("days alone") << QByteArray("rollout-days=\"7\"") << kStart + 86400 << false << false << malformed;
    QTest::newRow("a start in another form") << QByteArray("rollout-start=\"2026-12-08 03:10:00\" rollout-days=\"7\"")
                                             << kStart + 30 * 86400 << false << false << malformed;
}

void TestReplyParse::phasedRollout()
{
    QFETCH(QByteArray, attributes);
    QFETCH(qint64, now);
    QFETCH(bool, manual);
    QFETCH(bool, offered);
    QFETCH(QString, logged);
    QVERIFY(writeFile(CInstallationId::path(), kPlanted.toHex() + "\n"));
    LogCapture log(LogCapture::Quiet);
    const QStringList names = parse(readerReply(attributes), manual ? kManual : kAutomatic, now);
    QCOMPARE(names, offered ? QStringList { "Reader" } : QStringList());
    QVERIFY2(logged.isEmpty() || log.contains(logged), qPrintable(log.all()));
    QVERIFY2(offered || log.contains("Reader 7.2 not offered"), qPrintable(log.all()));
    QCOMPARE(m_manager->isCriticalUpdate(), offered && attributes.toLower().contains("critical=\"true\""));
    // The identifier was read, not made again.
    QCOMPARE(readFile(CInstallationId::path()), kPlanted.toHex() + "\n");
}

void TestReplyParse::installationIdentifier_data()
{
    // What stands at the identifier's name; whether a new identifier is made there.
    QTest::addColumn<QString>("planted");
    QTest::addColumn<bool>("made");
    QTest::newRow("nothing") << "nothing" << true;
    QTest::newRow("a link to a well-formed identifier") << "link" << true;
    QTest::newRow("a FIFO (unreadable)") << "fifo" << true;
    QTest::newRow("a second name of another file") << "hardlink" << true;
    QTest::newRow("31 digits") << "short" << true;
    QTest::newRow("capital digits") << "capitals" << true;
    QTest::newRow("a well-formed identifier") << "kept" << false;
    QTest::newRow("a folder: none can be kept") << "folder" << false;
}

void TestReplyParse::installationIdentifier()
{
    QFETCH(QString, planted);
    QFETCH(bool, made);
    const QString path = CInstallationId::path();
    const QString elsewhere = m_workDir.filePath(QStringLiteral("elsewhere"));
    QVERIFY(writeFile(elsewhere, kPlanted.toHex() + "\n"));
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (planted == "link")
        QVERIFY(QFile::link(elsewhere, path));
    else if (planted == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (planted == "hardlink")
        QCOMPARE(::link(QFile::encodeName(elsewhere).constData(), QFile::encodeName(path).constData()), 0);
    else if (planted == "folder")
        QVERIFY(QDir().mkpath(path));
    else if (planted != "nothing")
        QVERIFY(writeFile(path, planted == "short" ? kPlanted.toHex().left(31) + "\n"
                                : planted == "capitals" ? kPlanted.toHex().toUpper() + "\n" : kPlanted.toHex() + "\n"));

    // A rollout at 50%: the first automatic check makes what it needs.
    parse(readerReply(kPhased), kAutomatic, atShare(50));
    if (planted == "folder") {
        // Without an identifier the installation comes last: offered only at the end.
        QVERIFY(QFileInfo(path).isDir());
        QCOMPARE(parse(readerReply(kPhased), kAutomatic, atShare(99.99)), QStringList());
        QCOMPARE(parse(readerReply(kPhased), kAutomatic, kStart + 10 * 86400), QStringList { "Reader" });
        return;
    }
    // A regular file of its own (private when made), 32 lowercase digits and a line end.
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &st), 0);
    QVERIFY(S_ISREG(st.st_mode));
    QVERIFY(!made || (st.st_mode & 07777) == 0600);
    QCOMPARE(int(st.st_nlink), 1);
    const QByteArray kept = readFile(path);
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}\n$")).match(QString::fromLatin1(kept)).hasMatch(),
             kept.constData());
    QCOMPARE(kept != kPlanted.toHex() + "\n", made);
    // Nothing was written through a link or into another name of a file.
    QCOMPARE(readFile(elsewhere), kPlanted.toHex() + "\n");

    // The kept identifier places this installation from now on.
    const double position = positionOf(QByteArray::fromHex(kept.trimmed()));
    QCOMPARE(parse(readerReply(kPhased), kAutomatic, atShare(position - 0.01)), QStringList());
    QCOMPARE(parse(readerReply(kPhased), kAutomatic, atShare(position + 0.01)), QStringList { "Reader" });
    QCOMPARE(readFile(path), kept);
}

void TestReplyParse::skippedVersions_data()
{
    QTest::addColumn<QByteArray>("version");   // offered after 7.2 was skipped
    QTest::addColumn<QByteArray>("attributes");
    QTest::addColumn<bool>("manual");
    QTest::addColumn<bool>("offered");
    QTest::newRow("the same version") << QByteArray("7.2") << QByteArray() << false << false;
    QTest::newRow("the same with a space") << QByteArray("7. 2") << QByteArray() << false << false;
    QTest::newRow("an older one") << QByteArray("7.1.9") << QByteArray() << false << false;
    QTest::newRow("a newer one") << QByteArray("7.3") << QByteArray() << false << true;
    QTest::newRow("the same, a manual check") << QByteArray("7.2") << QByteArray() << true << true;
    QTest::newRow("the same, critical") << QByteArray("7.2") << QByteArray("critical=\"true\"") << false << true;
}

void TestReplyParse::skippedVersions()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, attributes);
    QFETCH(bool, manual);
    QFETCH(bool, offered);
    // Notes was skipped at 1.0 by an earlier question; Reader 7.2 and Notes 1.1 now.
    QCOMPARE(parse("<r><m name=\"Notes\" version=\"1.0\" result=\"true\"/></r>", kAutomatic),
             QStringList { "Notes" });
    QVERIFY(m_manager->skipOfferedVersions());
    QCOMPARE(parse("<r><m name=\"Reader\" version=\"7.2\" result=\"true\"/>"
                   "<m name=\"Notes\" version=\"1.1\" result=\"true\"/></r>"),
             QStringList({ "Reader", "Notes" }));
    QVERIFY(m_manager->skipOfferedVersions());
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(CSkippedVersions::path()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));

    LogCapture log(LogCapture::Quiet);
    const QStringList names = parse(readerReply(attributes, version).replace("</r>",
                                        "<m name=\"Notes\" version=\"1.1\" result=\"true\"/></r>"),
                                    manual ? kManual : kAutomatic);
    QStringList expected;
    if (offered)
        expected << "Reader";
    if (manual)
        expected << "Notes";
    QCOMPARE(names, expected);
    QVERIFY(offered || log.lines().contains("Reader " + version + " not offered: the user skipped version 7.2"));
}

QTEST_MAIN(TestReplyParse)
#include "tst_replyparse.moc"
