#ifndef XMLBYTETYPES_H
#define XMLBYTETYPES_H

#include "zrbytestringc.h"

#include <cstdint>

// Classes of the bytes of an XML document, one bit per class:
//   bit 0 whitespace (0x00 to 0x20, 0xFE, 0xFF)      bit 4 name character ('-', '.', digits,
//   bit 1 letter (ASCII letters, 0x80 to 0xFD)              ASCII letters, '_', 0x80 to 0xFD)
//   bit 2 decimal digit                              bit 5 digit or 'A' to 'F'
//   bit 3 name introducer (':', ASCII letters,       bit 6 'A' to 'F' or 'a' to 'f'
//         '_', 0x80 to 0xFD)                         bit 7 unused
// Bits 5 and 6 together also give a hex digit's value (see g_ZRCRT_XML_HexCharValue).
extern const uint8_t g_ZRCRT_XML_ByteTypes[256];

inline bool g_ZRCRT_XML_IsWhiteSpace(uint8_t ch) { return (g_ZRCRT_XML_ByteTypes[ch] & 0x01) != 0; }
inline bool g_ZRCRT_XML_IsLetter(uint8_t ch) { return (g_ZRCRT_XML_ByteTypes[ch] & 0x02) != 0; }
inline bool g_ZRCRT_XML_IsDigital(uint8_t ch) { return (g_ZRCRT_XML_ByteTypes[ch] & 0x04) != 0; }
inline bool g_ZRCRT_XML_IsNameIntro(uint8_t ch) { return (g_ZRCRT_XML_ByteTypes[ch] & 0x08) != 0; }
inline bool g_ZRCRT_XML_IsNameChar(uint8_t ch) { return (g_ZRCRT_XML_ByteTypes[ch] & 0x10) != 0; }
inline bool g_ZRCRT_XML_IsHexChar(uint8_t ch) { return (g_ZRCRT_XML_ByteTypes[ch] & 0x60) != 0; }

// The value of a hex digit (0 to 15), or -1 for any other byte: only bit 5 marks a
// decimal digit, only bit 6 a lower-case letter, both an upper-case letter.
int g_ZRCRT_XML_HexCharValue(uint8_t ch);

// Splits a qualified name at its first ':' into prefix and local name; without a ':' the
// prefix is empty and the whole text is the name. The views point into `fullName`.
void ZR_XML_SplitQualifiedName(const CZR_ByteStringC& fullName, CZR_ByteStringC& prefix,
                               CZR_ByteStringC& name);

#endif // XMLBYTETYPES_H
