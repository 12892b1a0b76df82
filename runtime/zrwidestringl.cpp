#include "zrwidestringl.h"

#include <cstring>
#include <cwchar>

bool CZR_WideStringL::Set(const CZR_WideStringC& view, _IZR_Allocator* pAllocator)
{
    wchar_t* pNew = nullptr;
    const int32_t length = view.GetLength();
    bool ok = true;
    if (length > 0) {
        // Lengths come from 32-bit views, so this only fails where size_t is 32 bits wide.
        if (static_cast<size_t>(length) < SIZE_MAX / sizeof(wchar_t) - 1)
            pNew = static_cast<wchar_t*>(
                ZR_Alloc(pAllocator, (static_cast<size_t>(length) + 1) * sizeof(wchar_t)));
        if (pNew) {
            std::memcpy(pNew, view.GetPtr(), static_cast<size_t>(length) * sizeof(wchar_t));
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

void CZR_WideStringL::Empty(_IZR_Allocator* pAllocator)
{
    ZR_Free(pAllocator, const_cast<wchar_t*>(m_Ptr));
    m_Ptr = nullptr;
    m_Length = 0;
}

void CZR_WideStringL::TrimRight(const wchar_t* set)
{
    if (!m_Ptr || !set || !*set)
        return;
    int32_t length = m_Length;
    while (length > 0) {
        const wchar_t ch = m_Ptr[length - 1];
        if (ch != 0 && !std::wcschr(set, ch))
            break;
        --length;
    }
    if (length == m_Length)
        return;
    const_cast<wchar_t*>(m_Ptr)[length] = 0;
    m_Length = length;
}
