#ifndef ZRWIDESTRINGC_H
#define ZRWIDESTRINGC_H

#include <cstdint>

// A non-owning view of wide text: a pointer and a length in wchar_t units (one Unicode
// code point each). The text is owned elsewhere and must outlive the view.
class CZR_WideStringC {
public:
    CZR_WideStringC() : m_Ptr(nullptr), m_Length(0) {}
    // Views a zero-terminated text; a null pointer gives the empty view.
    CZR_WideStringC(const wchar_t* ptr);
    // Views `length` units; a negative length means up to the first zero unit.
    CZR_WideStringC(const wchar_t* ptr, int32_t length)
        : m_Ptr(ptr), m_Length(length < 0 ? LengthOf(ptr) : (ptr ? length : 0))
    {
    }

    const wchar_t* GetPtr() const { return m_Ptr; }
    int32_t GetLength() const { return m_Length; }
    bool IsEmpty() const { return m_Length == 0; }
    // The unit at `index`; 0 outside the view.
    wchar_t GetAt(int32_t index) const;

    bool operator==(const CZR_WideStringC& other) const;
    bool operator!=(const CZR_WideStringC& other) const { return !(*this == other); }

protected:
    // The length of a zero-terminated text, at most INT32_MAX; 0 for null.
    static int32_t LengthOf(const wchar_t* ptr);

    const wchar_t* m_Ptr;
    int32_t m_Length;
};

#endif // ZRWIDESTRINGC_H
