#ifndef DELTAFORMAT_H
#define DELTAFORMAT_H

#include <QtGlobal>

// The files of deltas: a delta between two releases of a package, and a kept base (the
// content of a release rebuilt from a delta, kept to be the base of the next one). All
// numbers are little-endian. Both rest on the canonical file table (CFileTable) and the
// content digest (CContentDigest) of src/package/.
//
// A delta turns a base, the content of one release (digest B), into the content of the
// next (digest R):
//
//   offset  size  field
//   0       8     Magic, "MRVDELTA"
//   8       4     Version, 1
//   12      32    B, the content digest of the base it applies to
//   44      32    R, the content digest of what it produces
//   76      4     T, the length of the file table
//   80      T     the new release's file table, canonical (CFileTable), N entries
//   80 + T        N records, one per entry of the table, in table order:
//                   0   1   the method (Method below)
//                   1   1   0
//                   2   2   the base entry (its index in the base's table) a copy or a
//                           patch reads; NoBaseEntry for the other methods
//                   4   8   D, the length of the data that follows
//                   12  32  the SHA-256 of the entry's bytes as produced
//                   44  D   the data
//
// The file ends with the last record's data. The methods:
//
//   Empty  a folder, or a file of 0 bytes; no data
//   Copy   the base entry's bytes as they are (the entry's size is the base entry's);
//          no data
//   Patch  one zstd frame, decoded with the base entry's bytes as its prefix (zstd's
//          patch-from: ZSTD_DCtx_refPrefix); the frame states the entry's size as its
//          content size, and its window is at most 2^(highbit(size) + 1) bytes
//   Whole  the entry's bytes, LZMA-compressed in the stand-alone format (13-byte header
//          giving the entry's size as the unpacked size), where that is smaller than a
//          patch or there is nothing to patch from
//
// A kept base holds the content of a release compressed with zstd, so that it decodes
// fast when the next delta arrives:
//
//   offset  size  field
//   0       8     BaseMagic, "MRVBASE1"
//   8       4     Version, 1
//   12      32    the content digest it holds (as written; checked whenever it is used)
//   44      4     T, the length of the file table
//   48      T     the file table, canonical
//   48 + T        one zstd frame to the end of the file: the unpacked stream (the
//                 table's total; its window at most 2^BaseWindowLogMax bytes)
//
// A package file serves as a base as it is (after a full download the updater keeps the
// package itself).
namespace DeltaFormat {

constexpr char Magic[8] = {'M', 'R', 'V', 'D', 'E', 'L', 'T', 'A'};
constexpr char BaseMagic[8] = {'M', 'R', 'V', 'B', 'A', 'S', 'E', '1'};
constexpr quint32 Version = 1;

constexpr int DigestSize = 32;
constexpr int HeaderSize = 80;
constexpr int VersionOffset = 8;
constexpr int BaseDigestOffset = 12;
constexpr int ResultDigestOffset = 44;
constexpr int TableSizeOffset = 76;

constexpr int RecordHeaderSize = 44;

enum Method : quint8 { Empty = 0, Copy = 1, Patch = 2, Whole = 3 };
constexpr quint16 NoBaseEntry = 0xFFFF;

constexpr int BaseHeaderSize = 48;
constexpr int BaseDigestOffsetInBase = 12;
constexpr int BaseTableSizeOffset = 44;
// A kept base is written at this zstd level (a window of 2 MiB) and may ask for a window
// of at most 2^BaseWindowLogMax bytes.
constexpr int BaseLevel = 3;
constexpr int BaseWindowLogMax = 24;

} // namespace DeltaFormat

#endif // DELTAFORMAT_H
