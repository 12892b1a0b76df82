#ifndef XMLPACKEDRANGE_H
#define XMLPACKEDRANGE_H

#include "izrallocator.h"
#include "zrbytestringl.h"
#include "zrwidestringl.h"

#include <cstddef>
#include <cstdint>

// Memory that a tree node shares with several of its strings and records: allocated
// together with the node and released only with it. What lies inside the range is never
// freed on its own; the Release and Free functions free only what lies outside it (the
// strings and records that edits made later, from the node's allocator).
class CXML_PackedRange {
public:
    CXML_PackedRange() : m_Begin(0), m_End(0) {}
    CXML_PackedRange(const void* pBegin, size_t size)
        : m_Begin(reinterpret_cast<uintptr_t>(pBegin)), m_End(reinterpret_cast<uintptr_t>(pBegin) + size)
    {
    }

    bool Holds(const void* p) const
    {
        const auto address = reinterpret_cast<uintptr_t>(p);
        return address >= m_Begin && address < m_End;
    }
    // Frees `p` through the allocator unless it lies inside the range.
    void Free(_IZR_Allocator* pAllocator, void* p) const;
    // Empties the string: its buffer is freed unless it lies inside the range.
    void Release(CZR_ByteStringL& text, _IZR_Allocator* pAllocator) const
    {
        if (Holds(text.GetPtr()))
            text.Detach();
        else
            text.Empty(pAllocator);
    }
    void Release(CZR_WideStringL& text, _IZR_Allocator* pAllocator) const
    {
        if (Holds(text.GetPtr()))
            text.Detach();
        else
            text.Empty(pAllocator);
    }

private:
    uintptr_t m_Begin;
    uintptr_t m_End;
};

#endif // XMLPACKEDRANGE_H
