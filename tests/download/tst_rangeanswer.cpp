// The answer to "Range: bytes=N-" judged from its head alone, and the validator an
// answer offers for If-Range.

#include "crangeanswer.h"

#include <QtTest>

namespace {

const int kContinue = CRangeAnswer::Continue;
const int kStartOver = CRangeAnswer::StartOver;
const int kFail = CRangeAnswer::Fail;
const qint64 kNone = -1;   // no Content-Length

} // namespace

class TestRangeAnswer : public QObject
{
    Q_OBJECT

private slots:
    void judge_data();
    void judge();
    void validator_data();
    void validator();
};

void TestRangeAnswer::judge_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<qint64>("contentLength");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("knownTotal");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("beginsFile");
    QTest::addColumn<qint64>("fileTotal");
    QTest::addColumn<qint64>("rangeTotal");

    const QByteArray rest("bytes 63000-69999/70000");
    QTest::newRow("206 continuing") << 206 << rest << qint64(7000) << qint64(63000) << qint64(70000) << kContinue
                                    << false << qint64(0) << qint64(70000);
    QTest::newRow("206, total unknown before") << 206 << rest << kNone << qint64(63000) << qint64(0) << kContinue
                                               << false << qint64(0) << qint64(70000);
    QTest::newRow("206 elsewhere") << 206 << QByteArray("bytes 0-69999/70000") << kNone << qint64(63000)
                                   << qint64(70000) << kFail << false << qint64(0) << qint64(0);
    QTest::newRow("206 of another total") << 206 << QByteArray("bytes 63000-70000/70001") << kNone << qint64(63000)
                                          << qint64(70000) << kFail << false << qint64(0) << qint64(0);
    QTest::newRow("206 without Content-Range") << 206 << QByteArray() << kNone << qint64(63000) << qint64(70000)
                                               << kFail << false << qint64(0) << qint64(0);
    QTest::newRow("206, last byte missing") << 206 << QByteArray("bytes 63000-/70000") << kNone << qint64(63000)
                                            << qint64(70000) << kFail << false << qint64(0) << qint64(0);
    QTest::newRow("206, last not the total's") << 206 << QByteArray("bytes 63000-69998/70000") << kNone
                                               << qint64(63000) << qint64(70000) << kFail << false << qint64(0)
                                               << qint64(0);
    QTest::newRow("206, unknown total") << 206 << QByteArray("bytes 63000-69999/*") << kNone << qint64(63000)
                                        << qint64(0) << kFail << false << qint64(0) << qint64(0);
    QTest::newRow("206, Content-Length not the rest") << 206 << rest << qint64(6999) << qint64(63000) << qint64(70000)
                                                      << kFail << false << qint64(0) << qint64(0);
    QTest::newRow("206 from byte 0 begins the file") << 206 << QByteArray("bytes 0-69999/70000") << qint64(70000)
                                                     << qint64(0) << qint64(5) << kContinue << true << qint64(70000)
                                                     << qint64(70000);
    QTest::newRow("206 above 2^32") << 206 << QByteArray("bytes 4294967396-6442450943/6442450944") << kNone
                                    << qint64(4294967396LL) << qint64(6442450944LL) << kContinue << false << qint64(0)
                                    << qint64(6442450944LL);
    QTest::newRow("206 elsewhere by 2^32") << 206 << QByteArray("bytes 100-6442450943/6442450944") << kNone
                                           << qint64(4294967396LL) << qint64(0) << kFail << false << qint64(0)
                                           << qint64(0);
    QTest::newRow("200 starts over") << 200 << QByteArray() << qint64(70000) << qint64(63000) << qint64(70000)
                                     << kStartOver << true << qint64(70000) << qint64(0);
    QTest::newRow("200 without a size starts over") << 200 << QByteArray() << kNone << qint64(63000) << qint64(70000)
                                                    << kStartOver << true << qint64(0) << qint64(0);
    QTest::newRow("200 from byte 0") << 200 << QByteArray() << qint64(6442450944LL) << qint64(0) << qint64(0)
                                     << kContinue << true << qint64(6442450944LL) << qint64(0);
    QTest::newRow("416") << 416 << QByteArray("bytes */70000") << kNone << qint64(63000) << qint64(70000) << kFail
                         << false << qint64(0) << qint64(0);
    QTest::newRow("204") << 204 << QByteArray() << kNone << qint64(63000) << qint64(70000) << kFail << false
                         << qint64(0) << qint64(0);
    // Not an answer to the range: ends as it would without one.
    QTest::newRow("404") << 404 << QByteArray() << kNone << qint64(63000) << qint64(70000) << kContinue << false
                         << qint64(0) << qint64(0);
    QTest::newRow("304") << 304 << QByteArray() << kNone << qint64(63000) << qint64(70000) << kContinue << false
                         << qint64(0) << qint64(0);
    QTest::newRow("416 from byte 0") << 416 << QByteArray() << kNone << qint64(0) << qint64(0) << kContinue << false
                                     << qint64(0) << qint64(0);
    QTest::newRow("204 from byte 0") << 204 << QByteArray() << kNone << qint64(0) << qint64(0) << kContinue << false
                                     << qint64(0) << qint64(0);
}

void TestRangeAnswer::judge()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(qint64, contentLength);
    QFETCH(qint64, from);
    QFETCH(qint64, knownTotal);
    QFETCH(int, outcome);

    const std::optional<qint64> length = contentLength == kNone ? std::nullopt : std::optional<qint64>(contentLength);
    const CRangeAnswer::Verdict verdict = CRangeAnswer::judge(status, contentRange, length, from, knownTotal);
    QCOMPARE(int(verdict.outcome), outcome);
    QTEST(verdict.beginsFile, "beginsFile");
    QTEST(verdict.fileTotal, "fileTotal");
    QTEST(verdict.rangeTotal, "rangeTotal");
    // A failure says why; nothing else does.
    QCOMPARE(verdict.reason.isEmpty(), outcome != kFail);
}

void TestRangeAnswer::validator_data()
{
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<QByteArray>("validator");

    const QByteArray date("Tue, 01 Dec 2026 10:00:00 GMT");
    QTest::newRow("strong tag") << QByteArray(" \"v2\" ") << date << QByteArray("\"v2\"");
    QTest::newRow("weak tag: the date") << QByteArray("W/\"v2\"") << date << date;
    QTest::newRow("no tag: the date") << QByteArray() << date << date;
    QTest::newRow("tag with a line break") << QByteArray("\"v2\"\r\nX: y") << date << date;
    QTest::newRow("tag too long") << QByteArray(201, 'a') << date << date;
    QTest::newRow("tag of 200 bytes") << QByteArray(200, 'a') << date << QByteArray(200, 'a');
    QTest::newRow("neither fit") << QByteArray("W/\"v2\"") << QByteArray("Tue\x7f") << QByteArray();
    QTest::newRow("neither") << QByteArray() << QByteArray() << QByteArray();
}

void TestRangeAnswer::validator()
{
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, lastModified);
    QTEST(CRangeAnswer::validator(etag, lastModified), "validator");
}

QTEST_APPLESS_MAIN(TestRangeAnswer)
#include "tst_rangeanswer.moc"
