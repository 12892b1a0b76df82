#ifndef ZRBYTESTRINGC_H
#define ZRBYTESTRINGC_H

#include <cstdint>
#include <cstring>

// A non-owning view of 8-bit text: a pointer and a length in bytes. The text is owned
// elsewhere and must outlive the view; it need not be zero-terminated.
class CZR_ByteStringC {
public:
    CZR_ByteStringC() : m_Ptr(nullptr), m_Length(0) {}
    // Views a zero-terminated text; a null pointer gives the empty view.
    CZR_ByteStringC(const char* ptr);
    // Views `length` bytes; a negative length means up to the first zero byte.
    CZR_ByteStringC(const char* ptr, int32_t length)
        : m_Ptr(ptr), m_Length(length < 0 ? LengthOf(ptr) : (ptr ? length : 0))
    {
    }

    const char* GetPtr() const { return m_Ptr; }
    int32_t GetLength() const { return m_Length; }
    bool IsEmpty() const { return m_Length == 0; }
    // The byte at `index` as an unsigned value; 0 outside the view.
    uint8_t GetAt(int32_t index) const;

    // Equal lengths and identical bytes. Inline, with the first bytes compared before the
    // rest, since names are compared in bulk (attribute lookups, repeated attributes).
    bool operator==(const CZR_ByteStringC& other) const
    {
        if (m_Length != other.m_Length)
            return false;
        if (m_Length == 0)
            return true;
        return m_Ptr[0] == other.m_Ptr[0] && std::memcmp(m_Ptr, other.m_Ptr, static_cast<size_t>(m_Length)) == 0;
    }
    bool operator!=(const CZR_ByteStringC& other) const { return !(*this == other); }

protected:
    // The length of a zero-terminated text, at most INT32_MAX; 0 for null.
    static int32_t LengthOf(const char* ptr);

    const char* m_Ptr;
    int32_t m_Length;
};

#endif // ZRBYTESTRINGC_H
