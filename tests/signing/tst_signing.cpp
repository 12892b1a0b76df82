// The pieces of signed updates: Ed25519 and SHA-256 through libcrypto, the signed-reply
// format (the trailing signature comment, the UTC times), the trusted keys, the rules a
// signed reply must pass, and the newest accepted "issued" kept between runs.
#include "ced25519.h"
#include "cissuedrecord.h"
#include "creplyverifier.h"
#include "csha256.h"
#include "csignedreply.h"
#include "ctrustedkeys.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// RFC 8032, test 1: the empty message.
const QByteArray kRfcSecret = QByteArray::fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const QByteArray kRfcPublic = QByteArray::fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
const QByteArray kRfcSignature = QByteArray::fromHex(
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");

const qint64 kNow = 1796000000;  // 2026-11-29T...Z

QByteArray signedReply(const QByteArray& xml, const QByteArray& secret, const QByteArray& after = "\n")
{
    return xml + CSignedReply::signatureComment(CEd25519::sign(xml, secret)) + after;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

class TestSigning : public QObject
{
    Q_OBJECT

private slots:
    // ---- libcrypto ----

    void ed25519AgainstTheStandardVector()
    {
        QCOMPARE(CEd25519::publicKeyOf(kRfcSecret), kRfcPublic);
        QCOMPARE(CEd25519::sign(QByteArray(), kRfcSecret), kRfcSignature);
        QVERIFY(CEd25519::verify(QByteArray(), kRfcSignature, kRfcPublic));
    }

    void ed25519RefusesWhatWasNotSigned()
    {
        QByteArray secret;
        QByteArray pub;
        QVERIFY(CEd25519::generate(&secret, &pub));
        QByteArray other;
        QByteArray otherPub;
        QVERIFY(CEd25519::generate(&other, &otherPub));
        QVERIFY(pub != otherPub);
        const QByteArray message = "<addons issued=\"2026-12-01T00:00:00Z\"/>";
        const QByteArray signature = CEd25519::sign(message, secret);
        QCOMPARE(signature.size(), 64);
        QVERIFY(CEd25519::verify(message, signature, pub));
        QVERIFY(!CEd25519::verify(message, signature, otherPub));
        for (int i = 0; i < message.size(); i += 7) {
            QByteArray changed = message;
            changed[i] = char(changed.at(i) ^ 0x01);
            QVERIFY(!CEd25519::verify(changed, signature, pub));
        }
        QByteArray badSignature = signature;
        badSignature[10] = char(badSignature.at(10) ^ 0x80);
        QVERIFY(!CEd25519::verify(message, badSignature, pub));
        QVERIFY(!CEd25519::verify(message, signature.left(63), pub));
        QVERIFY(!CEd25519::verify(message, signature, pub.left(31)));
    }

    void publicKeysInBase64()
    {
        const QString text = CEd25519::toBase64(kRfcPublic);
        QCOMPARE(text.size(), 44);
        QCOMPARE(CEd25519::publicKeyFromBase64(text), kRfcPublic);
        QCOMPARE(CEd25519::publicKeyFromBase64(QStringLiteral("  ") + text + QStringLiteral("\n")), kRfcPublic);
        QVERIFY(CEd25519::publicKeyFromBase64(text.left(43)).isEmpty());
        QVERIFY(CEd25519::publicKeyFromBase64(text + QLatin1Char('A')).isEmpty());
        QVERIFY(CEd25519::publicKeyFromBase64(QString(text).replace(0, 1, QLatin1Char('*'))).isEmpty());
        // 33 bytes, and a spelling of the 32 bytes with stray low bits in the last digit.
        QVERIFY(CEd25519::publicKeyFromBase64(QString::fromLatin1(QByteArray(33, 'k').toBase64())).isEmpty());
        QString loose = text;
        loose[42] = QChar(loose.at(42).unicode() + 1);
        QVERIFY(CEd25519::publicKeyFromBase64(loose).isEmpty());
    }

    void sha256()
    {
        CSha256 hash;
        QCOMPARE(hash.result().toHex(),
                 QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
        hash.addData("ab", 2);
        hash.addData("c", 1);
        QCOMPARE(hash.result().toHex(), QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("file"));
        // Larger than one read, not a multiple of it.
        QByteArray data(3 * 1024 * 1024 + 17, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char((i * 2654435761u) >> 24);
        QVERIFY(writeFile(path, data));
        QCOMPARE(CSha256::fileHex(path), QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()));
        QVERIFY(CSha256::fileHex(dir.filePath(QStringLiteral("missing"))).isEmpty());
        QVERIFY(CSha256::fileHex(dir.path()).isEmpty());

        QVERIFY(CSha256::isHex(QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")));
        QVERIFY(!CSha256::isHex(QStringLiteral("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD")));
        QVERIFY(!CSha256::isHex(QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a")));
        QVERIFY(!CSha256::isHex(QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015adz")));
        QVERIFY(!CSha256::isHex(QStringLiteral(" a7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")));
        QVERIFY(!CSha256::isHex(QString()));
    }

    // ---- the format ----

    void splitFindsTheSignedBytes_data()
    {
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("nothing after") << QByteArray();
        QTest::newRow("a line end") << QByteArray("\n");
        QTest::newRow("white space") << QByteArray(" \r\n\t\n");
    }

    void splitFindsTheSignedBytes()
    {
        QFETCH(QByteArray, after);
        const QByteArray xml = "<?xml version=\"1.0\"?>\n<addons><!-- a comment --><a/></addons>\n";
        const QByteArray reply = signedReply(xml, kRfcSecret, after);
        QByteArray message;
        QByteArray signature;
        QVERIFY(CSignedReply::split(reply, &message, &signature));
        QCOMPARE(message, xml);
        QCOMPARE(signature, CEd25519::sign(xml, kRfcSecret));
    }

    void splitRefusesWhatIsNotTheComment_data()
    {
        const QByteArray xml = "<addons/>\n";
        const QByteArray good = signedReply(xml, kRfcSecret, QByteArray());
        QByteArray sig = CEd25519::sign(xml, kRfcSecret).toBase64();
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("unsigned") << xml;
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text after the comment") << good + "\n<x/>";
        QTest::newRow("another comment after it") << good + "<!-- more -->";
        QTest::newRow("other spacing") << xml + "<!--  moravel-signature ed25519 " + sig + " -->";
        QTest::newRow("no space before the end") << xml + "<!-- moravel-signature ed25519 " + sig + "-->";
        QTest::newRow("other algorithm") << xml + "<!-- moravel-signature ed448 " + sig + " -->";
        QTest::newRow("signature cut") << xml + "<!-- moravel-signature ed25519 " + sig.left(84) + " -->";
        QTest::newRow("signature too long") << xml + "<!-- moravel-signature ed25519 " + sig + "AAAA -->";
        QTest::newRow("not base64") << xml + "<!-- moravel-signature ed25519 " + QByteArray(sig).replace(5, 1, "$") + " -->";
        QTest::newRow("url-safe alphabet")
            << xml + "<!-- moravel-signature ed25519 "
                   + CEd25519::sign(xml, kRfcSecret).toBase64(QByteArray::Base64UrlEncoding) + " -->";
        QTest::newRow("only the comment's end") << QByteArray(" -->");
    }

    void splitRefusesWhatIsNotTheComment()
    {
        QFETCH(QByteArray, reply);
        QString why;
        QByteArray message = "untouched";
        QVERIFY(!CSignedReply::split(reply, &message, nullptr, &why));
        QVERIFY(!why.isEmpty());
        QCOMPARE(message, QByteArray("untouched"));
    }

    void utcTimes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qint64>("seconds");
        QTest::newRow("epoch") << "1970-01-01T00:00:00Z" << true << qint64(0);
        QTest::newRow("a day") << "2026-12-08T01:10:00Z" << true << qint64(1796692200);
        QTest::newRow("leap day") << "2028-02-29T23:59:59Z" << true << qint64(1835481599);
        QTest::newRow("past 2038") << "2040-01-01T00:00:00Z" << true << qint64(2208988800);
        QTest::newRow("no leap day") << "2027-02-29T00:00:00Z" << false << qint64(0);
        QTest::newRow("month 13") << "2026-13-01T00:00:00Z" << false << qint64(0);
        QTest::newRow("hour 24") << "2026-12-08T24:00:00Z" << false << qint64(0);
        QTest::newRow("leap second") << "2026-12-31T23:59:60Z" << false << qint64(0);
        QTest::newRow("lower-case z") << "2026-12-08T01:10:00z" << false << qint64(0);
        QTest::newRow("offset") << "2026-12-08T01:10:00+00:00" << false << qint64(0);
        QTest::newRow("no zone") << "2026-12-08T01:10:00" << false << qint64(0);
        QTest::newRow("fraction") << "2026-12-08T01:10:00.5Z" << false << qint64(0);
        QTest::newRow("blank") << "2026-12-08 01:10:00Z" << false << qint64(0);
        QTest::newRow("sign") << "+026-12-08T01:10:00Z" << false << qint64(0);
        QTest::newRow("spaces around") << " 2026-12-08T01:10:00Z" << false << qint64(0);
        QTest::newRow("other digits") << QString::fromUtf8("２026-12-08T01:10:00Z") << false << qint64(0);
        QTest::newRow("empty") << "" << false << qint64(0);
    }

    void utcTimes()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(qint64, seconds);
        qint64 parsed = -1;
        QCOMPARE(CSignedReply::parseUtcTime(text, &parsed), valid);
        if (valid) {
            QCOMPARE(parsed, seconds);
            QCOMPARE(CSignedReply::formatUtcTime(parsed), text);
        }
    }

    // ---- the rules ----

    void signatureByAnyTrustedKey()
    {
        QByteArray secondSecret;
        QByteArray secondPublic;
        QVERIFY(CEd25519::generate(&secondSecret, &secondPublic));
        const CReplyVerifier verifier({ kRfcPublic, secondPublic });
        QVERIFY(verifier.isActive());
        const QByteArray xml = "<addons/>";
        QByteArray message;
        QVERIFY(verifier.checkSignature(signedReply(xml, kRfcSecret), &message, nullptr));
        QCOMPARE(message, xml);
        QVERIFY(verifier.checkSignature(signedReply(xml, secondSecret), &message, nullptr));

        QByteArray strangerSecret;
        QVERIFY(CEd25519::generate(&strangerSecret, nullptr));
        QString why;
        QVERIFY(!verifier.checkSignature(signedReply(xml, strangerSecret), &message, &why));
        QVERIFY2(why.contains(QLatin1String("none of the trusted keys")), qPrintable(why));
        QVERIFY(!verifier.checkSignature(xml, &message, &why));
        QVERIFY2(why.contains(QLatin1String("signature comment")), qPrintable(why));
        QVERIFY(!CReplyVerifier({}).isActive());
    }

    void times_data()
    {
        QTest::addColumn<QString>("issued");     // "-" for none
        QTest::addColumn<QString>("expires");
        QTest::addColumn<qint64>("newest");      // -1 for none
        QTest::addColumn<QString>("refusal");    // empty when accepted
        const QString now = CSignedReply::formatUtcTime(kNow);
        const QString later = CSignedReply::formatUtcTime(kNow + 3600);
        QTest::newRow("fresh") << now << later << qint64(-1) << "";
        QTest::newRow("same as accepted") << now << later << kNow << "";
        QTest::newRow("a day ahead") << CSignedReply::formatUtcTime(kNow + 86400) << later << qint64(-1) << "";
        QTest::newRow("more than a day ahead") << CSignedReply::formatUtcTime(kNow + 86401) << later << qint64(-1) << "ahead";
        QTest::newRow("older than accepted") << now << later << kNow + 1 << "older";
        QTest::newRow("expired") << now << CSignedReply::formatUtcTime(kNow - 1) << qint64(-1) << "expired";
        QTest::newRow("expires now") << now << now << qint64(-1) << "expired";
        QTest::newRow("no expires") << now << "-" << qint64(-1) << "no \"expires\"";
        QTest::newRow("no issued") << "-" << later << qint64(-1) << "no \"issued\"";
        QTest::newRow("expires malformed") << now << "tomorrow" << qint64(-1) << "malformed";
        QTest::newRow("issued malformed") << "2026-12-08" << later << qint64(-1) << "malformed";
    }

    void times()
    {
        QFETCH(QString, issued);
        QFETCH(QString, expires);
        QFETCH(qint64, newest);
        QFETCH(QString, refusal);
        const CReplyVerifier verifier({ kRfcPublic });
        auto optional = [](const QString& text) {
            return text == QLatin1String("-") ? std::optional<QString>() : std::optional<QString>(text);
        };
        qint64 issuedAt = -1;
        QString why;
        const bool accepted = verifier.checkTimes(optional(issued), optional(expires), kNow,
                                                  newest < 0 ? std::optional<qint64>() : std::optional<qint64>(newest),
                                                  &issuedAt, &why);
        QCOMPARE(accepted, refusal.isEmpty());
        if (accepted) {
            qint64 expected = 0;
            QVERIFY(CSignedReply::parseUtcTime(issued, &expected));
            QCOMPARE(issuedAt, expected);
        } else {
            QVERIFY2(why.contains(refusal), qPrintable(why));
        }
    }

    // ---- the keys ----

    void keyListsAndKeyFiles()
    {
        QByteArray second;
        QVERIFY(CEd25519::generate(nullptr, &second));
        const QString a = CEd25519::toBase64(kRfcPublic);
        const QString b = CEd25519::toBase64(second);

        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("malformed update key ignored in \"the list\"")));
        QCOMPARE(CTrustedKeys::parse(a + QStringLiteral(" , not-a-key,") + b + QLatin1Char(',') + a, QStringLiteral("the list")),
                 QList<QByteArray>() << kRfcPublic << second);

        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("update-keys.pub")),
                          "# the publisher's keys\n\n" + a.toLatin1() + "\r\n   \n# next key:\n" + b.toLatin1() + "\n"));
        const QList<QByteArray> keys = CTrustedKeys::load(dir.path());
        QVERIFY(keys.contains(kRfcPublic));
        QVERIFY(keys.contains(second));
        QCOMPARE(keys.size(), 2 + CTrustedKeys::parse(CTrustedKeys::builtIn(), QString()).size());

        // No file: only what the build has.
        QTemporaryDir empty;
        QCOMPARE(CTrustedKeys::load(empty.path()), CTrustedKeys::parse(CTrustedKeys::builtIn(), QString()));
    }

    // ---- the newest accepted time ----

    void newestIssuedIsKeptPrivately()
    {
        QTemporaryDir state;
        qputenv("XDG_STATE_HOME", state.path().toUtf8());
        const QString file = state.path() + QStringLiteral("/moravel-updater/newest-issued");
        QCOMPARE(CIssuedRecord::path(), file);
        qint64 read = -1;
        const QString p = QStringLiteral("Moravel Reader");
        QVERIFY(!CIssuedRecord::read(p, &read));

        QVERIFY(CIssuedRecord::write(p, kNow));
        QVERIFY(CIssuedRecord::read(p, &read));
        QCOMPARE(read, kNow);
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QCOMPARE(QDir(state.path() + QStringLiteral("/moravel-updater")).entryList(QDir::Files | QDir::Hidden),
                 QStringList() << QStringLiteral("newest-issued"));

        // Each product keeps its own time: another product's older time is no floor for
        // this one, nor the other way round; products differing in odd characters too.
        const QString other = QStringLiteral("Other\tProduct 100%\n");
        QVERIFY(!CIssuedRecord::read(other, &read));
        QVERIFY(CIssuedRecord::write(other, kNow - 86400));
        QVERIFY(CIssuedRecord::write(QString(), kNow - 7200));
        QVERIFY(CIssuedRecord::read(p, &read));
        QCOMPARE(read, kNow);
        QVERIFY(CIssuedRecord::read(other, &read));
        QCOMPARE(read, kNow - 86400);
        QVERIFY(CIssuedRecord::read(QString(), &read));
        QCOMPARE(read, kNow - 7200);

        // A time alone (what older updaters wrote) stands for every product without a
        // line of its own, and stays when one is written.
        QVERIFY(writeFile(file, CSignedReply::formatUtcTime(kNow - 60).toLatin1() + "\n"));
        QVERIFY(CIssuedRecord::read(p, &read));
        QCOMPARE(read, kNow - 60);
        QVERIFY(CIssuedRecord::write(other, kNow - 3600));
        QVERIFY(CIssuedRecord::read(other, &read));
        QCOMPARE(read, kNow - 3600);
        QVERIFY(CIssuedRecord::read(p, &read));
        QCOMPARE(read, kNow - 60);

        // A link at its name is replaced, never written through.
        const QString elsewhere = state.path() + QStringLiteral("/elsewhere");
        QVERIFY(writeFile(elsewhere, "keep"));
        QVERIFY(QFile::remove(file));
        QVERIFY(QFile::link(elsewhere, file));
        QVERIFY(CIssuedRecord::write(p, kNow + 5));
        QVERIFY(!QFileInfo(file).isSymLink());
        QVERIFY(CIssuedRecord::read(p, &read));
        QCOMPARE(read, kNow + 5);
        QFile keep(elsewhere);
        QVERIFY(keep.open(QIODevice::ReadOnly));
        QCOMPARE(keep.readAll(), QByteArray("keep"));

        // What cannot be read counts as nothing accepted.
        QVERIFY(writeFile(file, "garbage"));
        QVERIFY(!CIssuedRecord::read(p, &read));

        // Without XDG_STATE_HOME (or with a relative one) the home's .local/state.
        qputenv("XDG_STATE_HOME", "relative/state");
        QCOMPARE(CIssuedRecord::path(), QDir::homePath() + QStringLiteral("/.local/state/moravel-updater/newest-issued"));
        qunsetenv("XDG_STATE_HOME");
        QCOMPARE(CIssuedRecord::path(), QDir::homePath() + QStringLiteral("/.local/state/moravel-updater/newest-issued"));
    }
};

QTEST_GUILESS_MAIN(TestSigning)
#include "tst_signing.moc"
