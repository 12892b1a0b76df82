#ifndef PACKAGEFORMAT_H
#define PACKAGEFORMAT_H

#include <QtGlobal>

// The layout of an update package, as the updater reads it (CZR_Fzip) and mkpackage
// writes it. All numbers are little-endian.
//
//   offset  size  field
//   0       4     the magic, Magic
//   4       4     not read (mkpackage writes 0)
//   8       4     the CRC (CZR_Crc32, polynomial CrcPolynomial) of everything from
//                 offset HeaderSize to the end of the file
//   12      4     not read (0)
//   16      4     L, the length in bytes of the LZMA part
//   20      8     not read (0)
//   28      L     the LZMA part in the stand-alone format: a LzmaHeaderSize-byte header
//                 (the properties byte, the 32-bit dictionary size, the 64-bit unpacked
//                 size at LzmaUnpackedSizeOffset, all ones when unknown), then the
//                 compressed data
//   28 + L  rest  the file table: a 16-bit count; per entry a name length byte, one
//                 unused byte (0), the name (UTF-8, up to its first zero byte; a
//                 backslash or a slash separates folders, and a folder's entry is its
//                 name ending in a backslash with size 0), the entry's 32-bit size
//
// The unpacked stream is the entries' contents one after another in table order.
namespace PackageFormat {

constexpr quint32 Magic = 0x19780625u;
// The package CRC uses the magic's value as its polynomial.
constexpr quint32 CrcPolynomial = Magic;

constexpr int HeaderSize = 28;
// Where the header's fields start.
constexpr int MagicOffset = 0;
constexpr int CrcOffset = 8;
constexpr int LzmaSizeOffset = 16;

// The header of the LZMA part and where its unpacked size starts.
constexpr int LzmaHeaderSize = 13;
constexpr int LzmaUnpackedSizeOffset = 5;

} // namespace PackageFormat

#endif // PACKAGEFORMAT_H
