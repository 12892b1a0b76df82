// The package CRC: check values, the tables, and agreement of the fast paths with
// a bit-at-a-time reference over many lengths, alignments and starting values.
#include "testutil.h"
#include "zrcrc32.h"
#include "zrfzip.h"

#include <QByteArray>
#include <QtTest>

using TestUtil::randomBytes;

namespace {

const quint32 Package = 0x19780625u;

// Reference: the message divided bit by bit, most significant bit first.
quint32 bitwiseCrc(quint32 crc, const unsigned char* data, size_t length, quint32 polynomial)
{
    for (size_t i = 0; i < length; ++i)
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 31) ^ (data[i] >> bit)) & 1;
            crc <<= 1;
            if (top)
                crc ^= polynomial;
        }
    return crc;
}

const unsigned char* bytes(const QByteArray& a)
{
    return reinterpret_cast<const unsigned char*>(a.constData());
}

} // namespace

class CrcTest : public QObject
{
    Q_OBJECT

private slots:
    void checkValues_data();
    void checkValues();
    void otherPolynomials_data();
    void otherPolynomials();
    void tablesMatchBitwiseDivision();
    void pathsAgreeOverLengthsAndAlignments();
    void continuationFromAnyValue();
    void largeAndPatternedBuffers();
};

void CrcTest::checkValues_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("empty") << QByteArray() << 0u;
    QTest::newRow("abc") << QByteArray("abc") << 0xF4AE1735u;
    QTest::newRow("123456789") << QByteArray("123456789") << 0x2C46E376u;
}

void CrcTest::checkValues()
{
    QFETCH(QByteArray, input);
    QFETCH(quint32, expected);
    const quint32 n = quint32(input.size());
    QCOMPARE(CZR_Fzip::RunCRC32(bytes(input), n, Package), expected);
    QCOMPARE(CZR_Crc32::UpdateBytewise(0, bytes(input), n, Package), expected);
    QCOMPARE(CZR_Crc32::UpdateSlicing16(0, bytes(input), n), expected);
    QCOMPARE(CZR_Crc32::UpdateCarryless(0, bytes(input), n), expected);
    QCOMPARE(bitwiseCrc(0, bytes(input), n, Package), expected);
}

void CrcTest::otherPolynomials_data()
{
    QTest::addColumn<quint32>("polynomial");
    QTest::addColumn<quint32>("expected");
    // Published check values of CRCs with init 0, no reflection and no final XOR
    // (the POSIX one with its final complement undone).
    QTest::newRow("CRC-32Q") << 0x814141ABu << 0x3010BF7Fu;
    QTest::newRow("CRC-32/XFER") << 0x000000AFu << 0xBD0BE338u;
    QTest::newRow("CRC-32/POSIX without final XOR") << 0x04C11DB7u << (0x765E7680u ^ 0xFFFFFFFFu);
}

void CrcTest::otherPolynomials()
{
    QFETCH(quint32, polynomial);
    QFETCH(quint32, expected);
    const QByteArray digits("123456789");
    QCOMPARE(CZR_Fzip::RunCRC32(bytes(digits), 9, polynomial), expected);

    // Long inputs too: a polynomial other than the package's must not take a fast path.
    const QByteArray data = randomBytes(5000, polynomial);
    for (int len : {0, 1, 63, 64, 65, 1000, 4999})
        QCOMPARE(CZR_Fzip::RunCRC32(bytes(data), quint32(len), polynomial),
                 bitwiseCrc(0, bytes(data), size_t(len), polynomial));
}

void CrcTest::tablesMatchBitwiseDivision()
{
    for (quint32 polynomial : {Package, 0x04C11DB7u, 0x814141ABu, 0xFFFFFFFFu, 0x1u}) {
        quint32 t32[256];
        quint64 t64[256];
        CZR_Fzip::BuildTable32(polynomial, t32);
        CZR_Fzip::BuildTable64(polynomial, t64);
        for (int i = 0; i < 256; ++i) {
            const unsigned char b = static_cast<unsigned char>(i);
            const quint32 expected = bitwiseCrc(0, &b, 1, polynomial);
            QCOMPARE(t32[i], expected);
            QCOMPARE(t64[i], quint64(expected));
        }
    }
}

void CrcTest::pathsAgreeOverLengthsAndAlignments()
{
    if (!CZR_Crc32::HasCarrylessMultiply())
        qInfo("no carry-less multiplication on this processor: its path falls back to slicing");
    const QByteArray data = randomBytes(1200 + 16, 7);
    for (int offset = 0; offset < 16; ++offset) {
        const unsigned char* p = bytes(data) + offset;
        // every length up to 300, then a spread of longer ones around the block sizes
        for (int len = 0; len <= 1200; len += (len < 300 ? 1 : 7)) {
            const quint32 expected = bitwiseCrc(0, p, size_t(len), Package);
            QCOMPARE(CZR_Crc32::UpdateBytewise(0, p, size_t(len), Package), expected);
            QCOMPARE(CZR_Crc32::UpdateSlicing16(0, p, size_t(len)), expected);
            QCOMPARE(CZR_Crc32::UpdateCarryless(0, p, size_t(len)), expected);
            QCOMPARE(CZR_Fzip::RunCRC32(p, quint32(len), Package), expected);
        }
    }
}

void CrcTest::continuationFromAnyValue()
{
    // A CRC fed back in continues it: the starting value takes part in the folding.
    const QByteArray data = randomBytes(3000, 11);
    QRandomGenerator rng(12);
    for (int round = 0; round < 200; ++round) {
        const int split = int(rng.bounded(3000));
        const int len = int(rng.bounded(3000 - split + 1));
        const quint32 start = rng.generate();
        const quint32 expected = bitwiseCrc(start, bytes(data) + split, size_t(len), Package);
        QCOMPARE(CZR_Crc32::UpdateCarryless(start, bytes(data) + split, size_t(len)), expected);
        QCOMPARE(CZR_Crc32::UpdateSlicing16(start, bytes(data) + split, size_t(len)), expected);
        QCOMPARE(CZR_Crc32::Update(start, bytes(data) + split, size_t(len), Package), expected);

        const quint32 whole = CZR_Fzip::RunCRC32(bytes(data), quint32(split + len), Package);
        const quint32 first = CZR_Crc32::Update(0, bytes(data), size_t(split), Package);
        QCOMPARE(CZR_Crc32::Update(first, bytes(data) + split, size_t(len), Package), whole);
    }
}

void CrcTest::largeAndPatternedBuffers()
{
    const int size = (3 << 20) + 13;
    QByteArray zeros(size, '\0');
    QByteArray ones(size, '\xff');
    QByteArray random = randomBytes(size, 3);
    for (const QByteArray* buffer : {&zeros, &ones, &random}) {
        const quint32 expected = CZR_Crc32::UpdateBytewise(0, bytes(*buffer), size_t(size), Package);
        QCOMPARE(CZR_Crc32::UpdateSlicing16(0, bytes(*buffer), size_t(size)), expected);
        QCOMPARE(CZR_Crc32::UpdateCarryless(0, bytes(*buffer), size_t(size)), expected);
    }
    // All zeros leave the CRC at 0 (initial value 0, no final XOR); all ones do not.
    QCOMPARE(CZR_Fzip::RunCRC32(bytes(zeros), quint32(size), Package), 0u);
    QVERIFY(CZR_Fzip::RunCRC32(bytes(ones), quint32(size), Package) != 0u);
}

QTEST_APPLESS_MAIN(CrcTest)
#include "crc_test.moc"
