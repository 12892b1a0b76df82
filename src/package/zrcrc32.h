#ifndef ZRCRC32_H
#define ZRCRC32_H

#include "packageformat.h"

#include <QtGlobal>
#include <cstddef>

// The package CRC: 32 bits, most significant bit first, initial value 0, no
// reflection and no final XOR. The polynomial is an argument; packages use
// CZR_Crc32::PackagePolynomial (PackageFormat::CrcPolynomial, the same value as the
// package magic).
//
// Because there is no final XOR, a CRC can be continued: feeding the result of
// one call as `crc` to the next gives the CRC of the concatenated input.
//
// Update() picks the fastest path for the package polynomial: carry-less
// multiplication folding where the processor has it, slicing-by-16 otherwise.
// Any other polynomial goes through the byte-at-a-time table.
class CZR_Crc32
{
public:
    static const quint32 PackagePolynomial = PackageFormat::CrcPolynomial;

    // CRC of `length` bytes, continuing from `crc` (0 to start).
    static quint32 Update(quint32 crc, const unsigned char* data, size_t length, quint32 polynomial);

    // The 256-entry byte table: entry i is the CRC of the single byte i.
    static void BuildTable(quint32 polynomial, quint32* table);

    // The individual paths, exposed so that they can be compared with each other.
    static quint32 UpdateBytewise(quint32 crc, const unsigned char* data, size_t length, quint32 polynomial);
    static quint32 UpdateSlicing16(quint32 crc, const unsigned char* data, size_t length); // package polynomial
    static bool HasCarrylessMultiply();
    // Package polynomial; falls back to slicing-by-16 when the processor lacks the instructions.
    static quint32 UpdateCarryless(quint32 crc, const unsigned char* data, size_t length);
};

#endif // ZRCRC32_H
