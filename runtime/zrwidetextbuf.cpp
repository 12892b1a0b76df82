#include "zrwidetextbuf.h"

wchar_t* CZR_WideTextBuf::GetRoomFor(size_t units)
{
    if (units > static_cast<size_t>(INT32_MAX) / sizeof(wchar_t) || !ExpandBuf(units * sizeof(wchar_t)))
        return nullptr;
    return reinterpret_cast<wchar_t*>(m_pBuffer + m_DataSize);
}

bool CZR_WideTextBuf::AppendText(const CZR_WideStringC& text)
{
    return AppendBlock(text.GetPtr(), static_cast<size_t>(text.GetLength()) * sizeof(wchar_t));
}
