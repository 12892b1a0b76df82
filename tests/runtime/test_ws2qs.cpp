// Comm::ws2qs: wide strings of the runtime library into QString.
#include "updatedefine.h"

#include <QtTest>

class TestWs2qs : public QObject {
    Q_OBJECT

private slots:
    void convertsCodePoints_data();
    void convertsCodePoints();
    void stopsAtTheFirstNul();
    void invalidUnitsDoNotBreakTheRest();
};

void TestWs2qs::convertsCodePoints_data()
{
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("which");
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("ascii") << QStringLiteral("Moravel Reader 2.1") << 1;
    QTest::newRow("latin") << QString::fromUtf8("Gr\xc3\xbc\xc3\x9f" "e") << 2;
    QTest::newRow("astral") << QString::fromUtf8("a\xf0\x9f\x98\x80z") << 3;
}

void TestWs2qs::convertsCodePoints()
{
    QFETCH(QString, expected);
    QFETCH(int, which);
    const wchar_t* texts[] = {L"", L"Moravel Reader 2.1", L"Gr\u00fc\u00dfe", L"a\U0001F600z"};
    const QString result = Comm::ws2qs(CZR_WideString(texts[which]));
    QCOMPARE(result, expected);
    QCOMPARE(result.isEmpty(), expected.isEmpty());
}

void TestWs2qs::stopsAtTheFirstNul()
{
    const CZR_WideString withNul(L"before\0after", 12);
    QCOMPARE(withNul.GetLength(), 12);
    QCOMPARE(Comm::ws2qs(withNul), QStringLiteral("before"));
    QCOMPARE(Comm::ws2qs(CZR_WideString(L"\0x", 2)), QString());
}

void TestWs2qs::invalidUnitsDoNotBreakTheRest()
{
    const wchar_t units[] = {L'a', static_cast<wchar_t>(0x110000), L'b', static_cast<wchar_t>(-1), L'c', 0};
    const QString result = Comm::ws2qs(CZR_WideString(units));
    QVERIFY(result.startsWith(QLatin1Char('a')));
    QVERIFY(result.endsWith(QLatin1Char('c')));
    QVERIFY(result.contains(QLatin1Char('b')));
    QVERIFY(!result.contains(QChar(0)));
}

QTEST_APPLESS_MAIN(TestWs2qs)
#include "test_ws2qs.moc"
