#ifndef ZRBYTESTRING_H
#define ZRBYTESTRING_H

#include "zrbytestringc.h"

#include <cstdint>

class CZR_WideString;

// The runtime library's 8-bit string: a reference-counted, copy-on-write value. A copy
// shares the data block; a change first gives the string a block of its own. Every empty
// string holds no block at all. The counts are plain integers: a string and its copies
// stay on one thread.
class CZR_ByteString {
public:
    CZR_ByteString() : m_pData(nullptr) {}
    CZR_ByteString(const CZR_ByteString& other);
    CZR_ByteString(CZR_ByteString&& other) noexcept;
    // Copies `length` bytes; a negative length means up to the first zero byte. A null
    // text with a negative length, or a length of 0, gives the empty string.
    CZR_ByteString(const char* text, int32_t length = -1);
    CZR_ByteString(const CZR_ByteStringC& view);
    ~CZR_ByteString();

    // A null or empty text empties the string; otherwise the text up to its zero byte.
    CZR_ByteString& operator=(const char* text);
    CZR_ByteString& operator=(const CZR_ByteStringC& view);
    CZR_ByteString& operator=(const CZR_ByteString& other);
    CZR_ByteString& operator=(CZR_ByteString&& other) noexcept;

    int32_t GetLength() const { return m_pData ? m_pData->m_nDataLength : 0; }
    bool IsEmpty() const { return GetLength() == 0; }
    // The zero-terminated text; "" for the empty string. Valid until the next change.
    const char* c_str() const { return m_pData ? m_pData->Text() : ""; }
    operator CZR_ByteStringC() const { return CZR_ByteStringC(c_str(), GetLength()); }
    // The byte at `index`; 0 outside the string.
    char GetAt(int32_t index) const;

    // A writable, zero-terminated buffer holding the current contents with room for at
    // least `minLength` bytes: the string's own block when it is unshared and large
    // enough, otherwise a new block of max(minLength, length). An empty string gets a new
    // block of `minLength` with length 0, or null when `minLength` is 0. Null also when
    // memory runs out (the string is then unchanged).
    char* GetBuffer(int32_t minLength);
    // Ends a GetBuffer edit: sets the length to `newLength` (negative: up to the first zero
    // byte, within the allocated room) and zero-terminates. Length 0 releases the block.
    void ReleaseBuffer(int32_t newLength = -1);

    // Equal lengths and identical bytes; the empty string equals an empty view.
    bool Equal(const CZR_ByteStringC& view) const;
    // Unsigned byte order over the common length, then the shorter is less: -1, 0 or 1.
    int Compare(const CZR_ByteStringC& view) const;
    bool operator==(const CZR_ByteStringC& view) const { return Equal(view); }
    bool operator!=(const CZR_ByteStringC& view) const { return !Equal(view); }

    // Releases the block.
    void Empty();

    // Converts through the process's current locale (the C library's wcstombs). Text the
    // locale cannot encode gives the empty string.
    static CZR_ByteString FromUnicode(const CZR_WideString& text);

private:
    // The shared block: the counts, then the bytes and a terminating zero byte.
    struct StringData {
        int32_t m_nRefs;
        int32_t m_nDataLength;
        int32_t m_nAllocLength;
        char* Text() { return reinterpret_cast<char*>(this + 1); }
    };

    static StringData* AllocData(int32_t allocLength);
    static void ReleaseData(StringData* pData);
    void AssignCopy(const char* text, int32_t length);
    void CopyBeforeWrite();

    StringData* m_pData;
};

#endif // ZRBYTESTRING_H
