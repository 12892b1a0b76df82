// The URL encoder of the update request: only digits and ASCII letters pass, every
// other character becomes "%" and two lowercase hex digits of its Latin-1 code.

#include "czr_urlencode.h"

#include <QtTest>

class TestUrlEncode : public QObject
{
    Q_OBJECT

private slots:
    void safeCharactersAreExactlyDigitsAndLetters();
    void hexStringIsLowercaseTwoDigits_data();
    void hexStringIsLowercaseTwoDigits();
    void encode_data();
    void encode();
    void encodeAllEscapesEverything();
};

void TestUrlEncode::safeCharactersAreExactlyDigitsAndLetters()
{
    CZR_URLEncode encoder(nullptr);
    // Every Latin-1 code: the range boundaries (47/48, 57/58, 64/65, 90/91, 96/97,
    // 122/123, 255) are all crossed here.
    for (int code = 0; code < 256; ++code) {
        const bool safe = (code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z') || (code >= 'a' && code <= 'z');
        QVERIFY2(encoder.IsUnsafe(QChar(code)) == !safe, qPrintable(QString::number(code)));
    }
    // Beyond Latin-1 there is no code to keep: unsafe.
    QVERIFY(encoder.IsUnsafe(QChar(0x0100)));
    QVERIFY(encoder.IsUnsafe(QChar(0x65E5)));
    QVERIFY(encoder.IsUnsafe(QChar(0xFFFF)));
}

void TestUrlEncode::hexStringIsLowercaseTwoDigits_data()
{
    QTest::addColumn<int>("unicode");
    QTest::addColumn<QString>("expected");
    QTest::newRow("nul") << 0 << "%00";
    QTest::newRow("tab") << 9 << "%09";
    QTest::newRow("space") << 32 << "%20";
    QTest::newRow("safe letter too") << int('A') << "%41";
    QTest::newRow("tilde") << int('~') << "%7e";
    QTest::newRow("e-acute") << 0xE9 << "%e9";
    QTest::newRow("y-diaeresis") << 0xFF << "%ff";
    QTest::newRow("beyond Latin-1") << 0x0101 << "%00";
    QTest::newRow("CJK") << 0x65E5 << "%00";
}

void TestUrlEncode::hexStringIsLowercaseTwoDigits()
{
    QFETCH(int, unicode);
    QFETCH(QString, expected);
    CZR_URLEncode encoder(nullptr);
    QCOMPARE(encoder.ConvertToHexString(QChar(unicode)), expected);
}

void TestUrlEncode::encode_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("list name") << "Update List" << "Update%20List";
    QTest::newRow("unreserved marks too") << "a-b_c.d~e" << "a%2db%5fc%2ed%7ee";
    QTest::newRow("query syntax") << "a=1&b=2?#/" << "a%3d1%26b%3d2%3f%23%2f";
    QTest::newRow("percent itself") << "100%" << "100%25";
    QTest::newRow("Latin-1") << QString::fromUtf8("caf\xc3\xa9") << "caf%e9";
    QTest::newRow("beyond Latin-1") << QString::fromUtf8("x\xe6\x97\xa5y") << "x%00y";
    QTest::newRow("all safe") << "AZaz09" << "AZaz09";
}

void TestUrlEncode::encode()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    CZR_URLEncode encoder(nullptr);
    QCOMPARE(encoder.URLEncode(input), expected);
}

void TestUrlEncode::encodeAllEscapesEverything()
{
    CZR_URLEncode encoder(nullptr);
    QCOMPARE(encoder.URLEncodeAll(QStringLiteral("Ab 9")), QStringLiteral("%41%62%20%39"));
    QCOMPARE(encoder.URLEncodeAll(QString()), QString());
    QCOMPARE(encoder.URLEncodeAll(QString::fromUtf8("\xc3\xa9\xe6\x97\xa5")), QStringLiteral("%e9%00"));
}

QTEST_GUILESS_MAIN(TestUrlEncode)
#include "tst_urlencode.moc"
