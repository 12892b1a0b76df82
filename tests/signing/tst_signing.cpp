// The pieces of signed updates: Ed25519 and SHA-256 through libcrypto, the signed-reply
// format (the trailing signature comment, the UTC times), the trusted keys, the rules a
// signed reply must pass, and the newest accepted "issued" kept between runs.
#include "ced25519.h"
#include "envguard.h"
#include "cissuedrecord.h"
#include "creplyverifier.h"
#include "csha256.h"
#include "csignedreply.h"
#include "ctrustedkeys.h"
#include "syncprobe.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <openssl/evp.h>
#include <sys/stat.h>

using namespace TestUtil;

namespace {

// RFC 8032, test 1: the empty message.
const QByteArray kRfcSecret = QByteArray::fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const QByteArray kRfcPublic = QByteArray::fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
const QByteArray kRfcSignature = QByteArray::fromHex(
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");

// RFC 8032, test 2.
const QByteArray kRfcPublic2 = QByteArray::fromHex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");

// The neutral point (0, 1): libcrypto verifies R = the neutral point, S = 0 under it for
// every message.
const QByteArray kNeutral = QByteArray::fromHex("01") + QByteArray(31, '\0');
const QByteArray kAnyMessageSignature = kNeutral + QByteArray(32, '\0');

const qint64 kNow = 1796000000;  // 2026-11-29T...Z

QByteArray signedReply(const QByteArray& xml, const QByteArray& secret, const QByteArray& after = "\n")
{
    return xml + CSignedReply::signatureComment(CEd25519::sign(xml, secret)) + after;
}

// libcrypto's own verdict, without CEd25519's checks around it.
bool libcryptoVerifies(const QByteArray& message, const QByteArray& signature, const QByteArray& publicKey)
{
    auto data = [](const QByteArray& b) { return reinterpret_cast<const unsigned char*>(b.constData()); };
    EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, data(publicKey), size_t(publicKey.size()));
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = key && ctx && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1
                    && EVP_DigestVerify(ctx, data(signature), size_t(signature.size()), data(message),
                                        size_t(message.size()))
                           == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
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

    // The eight points of order 1, 2, 4 and 8 in every spelling, and y of 2^255-19 or
    // more: refused as keys, and as the R of a signature.
    void smallOrderAndNonCanonicalPoints_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QString>("reason");
        auto sign = [](QByteArray e) {
            e[31] = char(e.at(31) | 0x80);
            return e;
        };
        auto pPlus = [](int k) {  // 2^255-19+k, k from -1 to 18
            return QByteArray(1, char(0xed + k)) + QByteArray(30, char(0xff)) + QByteArray(1, char(0x7f));
        };
        const QByteArray zero(32, '\0');
        const QByteArray order8 = QByteArray::fromHex("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05");
        const QByteArray order8MinusY = QByteArray::fromHex("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a");
        const QString small = QStringLiteral("small order");
        const QString noncanonical = QStringLiteral("not a canonical point");
        const QList<QPair<const char*, QByteArray>> points { { "neutral point", kNeutral },
                                                             { "(0, -1), order 2", pPlus(-1) },
                                                             { "y = 0, order 4", zero },
                                                             { "order 8", order8 },
                                                             { "order 8, -y", order8MinusY } };
        for (const auto& point : points) {
            QTest::newRow(point.first) << point.second << small;
            QTest::newRow(qPrintable(QLatin1String(point.first) + QLatin1String(", sign bit")))
                << sign(point.second) << small;
        }
        QTest::newRow("y = p, for 0") << pPlus(0) << small;
        QTest::newRow("y = p + 1, for 1") << pPlus(1) << small;
        QTest::newRow("y = p + 3, for the point of y = 3") << pPlus(3) << noncanonical;
        QTest::newRow("y = 2^255 - 1") << pPlus(18) << noncanonical;
    }

    void smallOrderAndNonCanonicalPoints()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(QString, reason);
        QString why;
        QVERIFY(CEd25519::publicKeyFromBase64(CEd25519::toBase64(encoding), &why).isEmpty());
        QVERIFY2(why.contains(reason), qPrintable(why));
        QVERIFY(!CEd25519::isValidPublicKey(encoding));
        QVERIFY(!CEd25519::verify(QByteArray(), kRfcSignature, encoding));
        QVERIFY(!CEd25519::verify(QByteArray(), encoding + kRfcSignature.mid(32), kRfcPublic));
        QVERIFY(!CEd25519::verify(QByteArray(), kAnyMessageSignature, encoding));
    }

    // Signatures libcrypto alone accepts.
    void forgeriesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("publicKey");
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("neutral key, no message") << kNeutral << kAnyMessageSignature << QByteArray();
        QTest::newRow("neutral key, a reply") << kNeutral << kAnyMessageSignature << QByteArray("<addons issued=\"x\"/>");
        // R the neutral point, S = h * a mod L (h = SHA-512(R || A || M) mod L, a the secret
        // scalar of RFC 8032 test 1): [S]B - [h]A is the neutral point, R.
        QTest::newRow("real key, R of small order")
            << kRfcPublic
            << QByteArray::fromHex("0100000000000000000000000000000000000000000000000000000000000000"
                                   "756cf9b1d6f0d7a979b9d2af3dc2bc1294ec7cb6daa20eaff534c024fc57920f")
            << QByteArray();
    }

    void forgeriesAreRefused()
    {
        QFETCH(QByteArray, publicKey);
        QFETCH(QByteArray, signature);
        QFETCH(QByteArray, message);
        QVERIFY(libcryptoVerifies(message, signature, publicKey));
        QVERIFY(!CEd25519::verify(message, signature, publicKey));
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

    void keyList()
    {
        const QString a = CEd25519::toBase64(kRfcPublic);
        const QString b = CEd25519::toBase64(kRfcPublic2);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^the list item 2: not a valid key")));
        QCOMPARE(CTrustedKeys::parse(a + QStringLiteral(" # release key , not-a-key,") + b + QLatin1Char(',') + a,
                                     QLatin1Char(','), QStringLiteral("the list")),
                 QList<QByteArray>() << kRfcPublic << kRfcPublic2);
    }

    void keyFiles_data()
    {
        QTest::addColumn<QByteArray>("content");  // or <dir>, <fifo>, <dangling link>, <none>
        QTest::addColumn<QByteArrayList>("keys");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QStringList>("logs");    // patterns of the log lines expected
        const QByteArray a = kRfcPublic.toBase64();
        const QByteArray b = kRfcPublic2.toBase64();
        const QString utf16 = QString::fromLatin1(a + "\n");
        const QByteArray utf16le(reinterpret_cast<const char*>(utf16.utf16()), utf16.size() * 2);
        const QByteArray upToLimit = a + "\n#" + QByteArray(65536 - a.size() - 2, 'x');
        const QByteArrayList both { kRfcPublic, kRfcPublic2 };
        const QByteArrayList none;
        auto line = [](int n, const char* why) {
            return QStringLiteral("update-keys.pub\" line %1: not a valid key: %2").arg(n).arg(QLatin1String(why));
        };
        const QString noKey = QStringLiteral("update-keys.pub\" holds no valid key$");
        const QString notUtf8 = QStringLiteral("update-keys.pub\" is not UTF-8 text$");
        const QString unreadable = QStringLiteral("update-keys.pub\" cannot be read: ");
        QTest::newRow("comments, blank lines, CRLF")
            << "# the publisher's keys\n\n" + a + "\r\n   \n# next key:\n" + b + "\n" << both << true << QStringList();
        QTest::newRow("a comment after the key") << a + " # release key\n" + b + "\t#next" << both << true << QStringList();
        QTest::newRow("byte-order mark") << "\xEF\xBB\xBF" + a + "\n" << QByteArrayList { kRfcPublic } << true << QStringList();
        QTest::newRow("quoted, text after the key, # without white space")
            << "\"" + a + "\"\n" + a + " release key\n" + a + "#release\n" << none << true
            << QStringList { line(1, "not the base64"), line(2, "text after the key"), line(3, "not the base64"), noKey };
        QTest::newRow("a malformed line beside a valid one") << "junk\n" + b << QByteArrayList { kRfcPublic2 } << true
                                                             << QStringList { line(1, "not the base64") };
        QTest::newRow("only malformed lines")
            << "# keys\nnot-a-key\n" + kNeutral.toBase64() + "\n" << none << true
            << QStringList { line(2, "not the base64"), line(3, "a point of small order"), noKey };
        QTest::newRow("empty") << QByteArray() << none << true << QStringList { noKey };
        QTest::newRow("UTF-16") << "\xFF\xFE" + utf16le << none << true << QStringList { notUtf8 };
        QTest::newRow("UTF-16 without byte-order mark") << utf16le << none << true << QStringList { notUtf8 };
        QTest::newRow("Latin-1 in a comment") << "# caf\xE9\n" + a << none << true << QStringList { notUtf8 };
        QTest::newRow("64 KiB") << upToLimit << QByteArrayList { kRfcPublic } << true << QStringList();
        QTest::newRow("over 64 KiB") << upToLimit + "x" << none << true
                                     << QStringList { QStringLiteral("update-keys.pub\" is over 65536 bytes$") };
        QTest::newRow("a folder") << QByteArray("<dir>") << none << true
                                  << QStringList { unreadable + QRegularExpression::escape(qt_error_string(EISDIR)) };
        QTest::newRow("a FIFO") << QByteArray("<fifo>") << none << true
                                << QStringList { unreadable + QStringLiteral("not a regular file$") };
        QTest::newRow("a dangling link") << QByteArray("<dangling link>") << none << true
                                         << QStringList { unreadable + QRegularExpression::escape(qt_error_string(ENOENT)) };
        QTest::newRow("no file") << QByteArray("<none>") << none << false << QStringList();
    }

    void keyFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArrayList, keys);
        QFETCH(bool, present);
        QFETCH(QStringList, logs);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("update-keys.pub"));
        if (content == "<dir>")
            QVERIFY(QDir().mkdir(path));
        else if (content == "<fifo>")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (content == "<dangling link>")
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), path));
        else if (content != "<none>")
            QVERIFY(writeFile(path, content));

        // What the build was configured with comes first.
        const bool buildList = !CTrustedKeys::builtIn().trimmed().isEmpty();
        QByteArrayList expected = CTrustedKeys::parse(CTrustedKeys::builtIn(), QLatin1Char(','), QString());
        for (const QByteArray& key : keys)
            if (!expected.contains(key))
                expected.append(key);
        for (const QString& log : logs)
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(log));
        if (expected.isEmpty() && (present || buildList))
            QTest::ignoreMessage(QtDebugMsg, "no valid update key could be loaded: every reply is refused");
        const CTrustedKeys::KeySet set = CTrustedKeys::load(dir.path());
        QCOMPARE(set.keys, expected);
        QCOMPARE(set.required, present || buildList);
    }

    // ---- the newest accepted time ----

    void newestIssuedIsKeptPrivately()
    {
        QTemporaryDir state;
        EnvGuard env{{"XDG_STATE_HOME", state.path().toUtf8()}};
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
        // It is read only as a regular file at its own name: a link to a record is not
        // followed, and a FIFO does not hold the run.
        QVERIFY(CIssuedRecord::write(p, kNow));
        const QString record = state.path() + QStringLiteral("/record");
        QVERIFY(QFile::rename(file, record));
        QVERIFY(QFile::link(record, file));
        QVERIFY(!CIssuedRecord::read(p, &read));
        QVERIFY(QFile::remove(file));
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        QVERIFY(!CIssuedRecord::read(p, &read));

        // Without XDG_STATE_HOME (or with a relative one) the home's .local/state.
        env.set("XDG_STATE_HOME", "relative/state");
        QCOMPARE(CIssuedRecord::path(), QDir::homePath() + QStringLiteral("/.local/state/moravel-updater/newest-issued"));
        env.unset("XDG_STATE_HOME");
        QCOMPARE(CIssuedRecord::path(), QDir::homePath() + QStringLiteral("/.local/state/moravel-updater/newest-issued"));
    }

    void newestIssuedIsSyncedToDisk_data()
    {
        // The record is synced under its temporary name, renamed, and its folder synced;
        // one whose sync fails does not count as written.
        QTest::addColumn<int>("failing"); // SyncProbe::Failing
        QTest::addColumn<qint64>("kept");  // the time read back afterwards
        QTest::newRow("both synced") << int(SyncProbe::Nothing) << kNow;
        QTest::newRow("the record's sync fails") << int(SyncProbe::Files) << kNow - 60;
        QTest::newRow("the folder's sync fails") << int(SyncProbe::Folders) << kNow;
    }

    void newestIssuedIsSyncedToDisk()
    {
        QFETCH(int, failing);
        QTemporaryDir state;
        EnvGuard env{{"XDG_STATE_HOME", state.path().toUtf8()}};
        QVERIFY(CIssuedRecord::write(QString(), kNow - 60));
        const QString folder = QFileInfo(CIssuedRecord::path()).absolutePath();
        const QString logged = QStringLiteral("^cannot sync to disk: \"%1.* Input/output error$");
        if (failing != SyncProbe::Nothing)
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(logged.arg(QRegularExpression::escape(folder))));
        SyncProbe probe{SyncProbe::Failing(failing)};
        QCOMPARE(CIssuedRecord::write(QString(), kNow), failing == SyncProbe::Nothing);
        const QString pid = QString::number(QCoreApplication::applicationPid());
        QStringList synced{SyncProbe::named(folder) + QStringLiteral("newest-issued.new-") + pid};
        if (failing != SyncProbe::Files)
            synced << SyncProbe::named(folder);
        QCOMPARE(probe.synced(), synced);
        qint64 read = -1;
        QVERIFY(CIssuedRecord::read(QString(), &read));
        QTEST(read, "kept");
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList() << QStringLiteral("newest-issued"));
    }
};

QTEST_GUILESS_MAIN(TestSigning)
#include "tst_signing.moc"
