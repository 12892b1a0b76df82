#include "zrbytestringl.h"

#include <cstring>

bool CZR_ByteStringL::Set(const CZR_ByteStringC& view, _IZR_Allocator* pAllocator)
{
    // The new buffer is filled before the old one goes, so a view of this string's own
    // text stays readable while it is copied.
    char* pNew = nullptr;
    const int32_t length = view.GetLength();
    bool ok = true;
    if (length > 0) {
        pNew = static_cast<char*>(ZR_Alloc(pAllocator, static_cast<size_t>(length) + 1));
        if (pNew) {
            std::memcpy(pNew, view.GetPtr(), static_cast<size_t>(length));
            pNew[length] = 0;
        } else {
            ok = false;
        }
    }
    Empty(pAllocator);
    if (pNew) {
        m_Ptr = pNew;
        m_Length = length;
    }
    return ok;
}

void CZR_ByteStringL::Empty(_IZR_Allocator* pAllocator)
{
    ZR_Free(pAllocator, const_cast<char*>(m_Ptr));
    m_Ptr = nullptr;
    m_Length = 0;
}
