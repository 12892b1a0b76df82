#ifndef ZRWIDESTRING_H
#define ZRWIDESTRING_H

#include "zrwidestringc.h"

#include <cstdint>

class CZR_ByteString;

// The runtime library's wide string: wchar_t units (32 bits, one Unicode code point each),
// reference-counted and copy-on-write like CZR_ByteString. Every empty string holds no
// block. The counts are plain integers: a string and its copies stay on one thread.
class CZR_WideString {
public:
    CZR_WideString() : m_pData(nullptr) {}
    CZR_WideString(const CZR_WideString& other);
    CZR_WideString(CZR_WideString&& other) noexcept;
    // Copies `length` units; a negative length means up to the first zero unit.
    CZR_WideString(const wchar_t* text, int32_t length = -1);
    CZR_WideString(const CZR_WideStringC& view);
    ~CZR_WideString();

    // As the constructor: copies `length` units (negative: up to the zero unit); a null
    // text with a negative length, or a length of 0, empties the string.
    void InitStr(const wchar_t* text, int32_t length);

    CZR_WideString& operator=(const wchar_t* text);
    CZR_WideString& operator=(const CZR_WideStringC& view);
    CZR_WideString& operator=(const CZR_WideString& other);
    CZR_WideString& operator=(CZR_WideString&& other) noexcept;

    int32_t GetLength() const { return m_pData ? m_pData->m_nDataLength : 0; }
    bool IsEmpty() const { return GetLength() == 0; }
    // The zero-terminated text; L"" for the empty string. Valid until the next change.
    const wchar_t* c_str() const { return m_pData ? m_pData->Text() : L""; }
    operator CZR_WideStringC() const { return CZR_WideStringC(c_str(), GetLength()); }
    // The unit at `index`; 0 outside the string.
    wchar_t GetAt(int32_t index) const;

    // As CZR_ByteString::GetBuffer and ReleaseBuffer, in units.
    wchar_t* GetBuffer(int32_t minLength);
    void ReleaseBuffer(int32_t newLength = -1);

    // Case-insensitive comparison in which only 'A' to 'Z' fold to 'a' to 'z', unit by
    // unit up to the terminating zeros: 0 when equal, otherwise the difference of the first
    // differing folded units (held within the range of int). The empty string gives 0
    // against a null or empty text and -1 otherwise.
    int CompareNoCase(const wchar_t* text) const;

    // Releases the block.
    void Empty();

    // The text encoded as UTF-8 (code points above U+10FFFF in the long forms, up to
    // 0x7FFFFFFF; units with the top bit set are left out).
    CZR_ByteString UTF8Encode() const;

private:
    struct StringData {
        int32_t m_nRefs;
        int32_t m_nDataLength;
        int32_t m_nAllocLength;
        wchar_t* Text() { return reinterpret_cast<wchar_t*>(this + 1); }
    };

    static StringData* AllocData(int32_t allocLength);
    static void ReleaseData(StringData* pData);
    void AssignCopy(const wchar_t* text, int32_t length);
    void CopyBeforeWrite();

    StringData* m_pData;
};

// Equal length and identical units; the empty string equals a null or empty text.
bool operator==(const CZR_WideString& str, const wchar_t* text);
bool operator!=(const CZR_WideString& str, const wchar_t* text);
bool operator==(const CZR_WideString& a, const CZR_WideString& b);
bool operator!=(const CZR_WideString& a, const CZR_WideString& b);

#endif // ZRWIDESTRING_H
