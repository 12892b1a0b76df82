#include "zrcrc32.h"

#if defined(__x86_64__) || defined(__i386__)
#define ZR_CRC_X86 1
#include <immintrin.h>
#endif

namespace {

// x^n mod P, for the polynomial P = x^32 + polynomial.
quint32 xPowerModP(unsigned n, quint32 polynomial)
{
    quint64 r = 1;
    const quint64 full = (quint64(1) << 32) | polynomial;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & (quint64(1) << 32))
            r ^= full;
    }
    return quint32(r);
}

// Slicing tables of the package polynomial: t[k][i] is the CRC of byte i
// followed by k zero bytes.
struct SlicingTables
{
    quint32 t[16][256];
    SlicingTables()
    {
        CZR_Crc32::BuildTable(CZR_Crc32::PackagePolynomial, t[0]);
        for (int k = 1; k < 16; ++k)
            for (int i = 0; i < 256; ++i) {
                const quint32 c = t[k - 1][i];
                t[k][i] = (c << 8) ^ t[0][c >> 24];
            }
    }
};

const SlicingTables& slicingTables()
{
    static const SlicingTables tables;
    return tables;
}

#ifdef ZR_CRC_X86

// Folding constants of the package polynomial: a 128-bit block H * x^64 + L moved
// forward by d bits is congruent to H * (x^(d+64) mod P) + L * (x^d mod P).
struct FoldConstants
{
    quint32 k128lo, k128hi, k512lo, k512hi;
    FoldConstants()
        : k128lo(xPowerModP(128, CZR_Crc32::PackagePolynomial)),
          k128hi(xPowerModP(192, CZR_Crc32::PackagePolynomial)),
          k512lo(xPowerModP(512, CZR_Crc32::PackagePolynomial)),
          k512hi(xPowerModP(576, CZR_Crc32::PackagePolynomial))
    {
    }
};

const FoldConstants& foldConstants()
{
    static const FoldConstants constants;
    return constants;
}

#define ZR_CLMUL_TARGET __attribute__((target("pclmul,ssse3")))

ZR_CLMUL_TARGET inline __m128i fold(__m128i a, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11));
}

// Loads 16 bytes as one big-endian 128-bit number (first byte = highest degree).
ZR_CLMUL_TARGET inline __m128i loadBlock(const unsigned char* p, __m128i reverse)
{
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// CRC of `length` bytes (a multiple of 16, at least 64) continuing from `crc`.
// The blocks are folded into one 128-bit remainder congruent to the message; its
// CRC, taken from the table, is the CRC of the whole message.
ZR_CLMUL_TARGET quint32 foldBlocks(quint32 crc, const unsigned char* p, size_t length)
{
    const FoldConstants& c = foldConstants();
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i k128 = _mm_set_epi32(0, int(c.k128hi), 0, int(c.k128lo));
    const __m128i k512 = _mm_set_epi32(0, int(c.k512hi), 0, int(c.k512lo));

    __m128i a0 = _mm_xor_si128(loadBlock(p, reverse), _mm_set_epi32(int(crc), 0, 0, 0));
    __m128i a1 = loadBlock(p + 16, reverse);
    __m128i a2 = loadBlock(p + 32, reverse);
    __m128i a3 = loadBlock(p + 48, reverse);
    p += 64;
    length -= 64;
    while (length >= 64) {
        a0 = _mm_xor_si128(fold(a0, k512), loadBlock(p, reverse));
        a1 = _mm_xor_si128(fold(a1, k512), loadBlock(p + 16, reverse));
        a2 = _mm_xor_si128(fold(a2, k512), loadBlock(p + 32, reverse));
        a3 = _mm_xor_si128(fold(a3, k512), loadBlock(p + 48, reverse));
        p += 64;
        length -= 64;
    }
    a1 = _mm_xor_si128(a1, fold(a0, k128));
    a2 = _mm_xor_si128(a2, fold(a1, k128));
    a3 = _mm_xor_si128(a3, fold(a2, k128));
    while (length >= 16) {
        a3 = _mm_xor_si128(fold(a3, k128), loadBlock(p, reverse));
        p += 16;
        length -= 16;
    }
    unsigned char rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), _mm_shuffle_epi8(a3, reverse));
    return CZR_Crc32::UpdateSlicing16(0, rest, sizeof rest);
}

#endif // ZR_CRC_X86

} // namespace

void CZR_Crc32::BuildTable(quint32 polynomial, quint32* table)
{
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = 0;
        quint32 v = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            if ((c ^ v) & 0x80000000u)
                c = (c << 1) ^ polynomial;
            else
                c <<= 1;
            v <<= 1;
        }
        table[i] = c;
    }
}

quint32 CZR_Crc32::UpdateBytewise(quint32 crc, const unsigned char* data, size_t length, quint32 polynomial)
{
    if (polynomial == PackagePolynomial) {
        const quint32* t = slicingTables().t[0];
        for (size_t i = 0; i < length; ++i)
            crc = (crc << 8) ^ t[(crc >> 24) ^ data[i]];
        return crc;
    }
    quint32 table[256];
    BuildTable(polynomial, table);
    for (size_t i = 0; i < length; ++i)
        crc = (crc << 8) ^ table[(crc >> 24) ^ data[i]];
    return crc;
}

quint32 CZR_Crc32::UpdateSlicing16(quint32 crc, const unsigned char* p, size_t length)
{
    const SlicingTables& s = slicingTables();
    while (length >= 16) {
        const quint32 x = crc ^ (quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3]);
        crc = s.t[15][x >> 24] ^ s.t[14][(x >> 16) & 0xff] ^ s.t[13][(x >> 8) & 0xff] ^ s.t[12][x & 0xff]
            ^ s.t[11][p[4]] ^ s.t[10][p[5]] ^ s.t[9][p[6]] ^ s.t[8][p[7]]
            ^ s.t[7][p[8]] ^ s.t[6][p[9]] ^ s.t[5][p[10]] ^ s.t[4][p[11]]
            ^ s.t[3][p[12]] ^ s.t[2][p[13]] ^ s.t[1][p[14]] ^ s.t[0][p[15]];
        p += 16;
        length -= 16;
    }
    while (length--)
        crc = (crc << 8) ^ s.t[0][(crc >> 24) ^ *p++];
    return crc;
}

bool CZR_Crc32::HasCarrylessMultiply()
{
#ifdef ZR_CRC_X86
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return has;
#else
    return false;
#endif
}

quint32 CZR_Crc32::UpdateCarryless(quint32 crc, const unsigned char* data, size_t length)
{
#ifdef ZR_CRC_X86
    if (length >= 64 && HasCarrylessMultiply()) {
        const size_t blocks = length & ~size_t(15);
        crc = foldBlocks(crc, data, blocks);
        data += blocks;
        length -= blocks;
    }
#endif
    return UpdateSlicing16(crc, data, length);
}

quint32 CZR_Crc32::Update(quint32 crc, const unsigned char* data, size_t length, quint32 polynomial)
{
    if (polynomial == PackagePolynomial)
        return UpdateCarryless(crc, data, length);
    return UpdateBytewise(crc, data, length, polynomial);
}
