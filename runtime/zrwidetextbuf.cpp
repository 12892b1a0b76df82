#include "zrwidetextbuf.h"

bool CZR_WideTextBuf::AppendChar(wchar_t ch)
{
    return AppendBlock(&ch, sizeof(wchar_t));
}

bool CZR_WideTextBuf::AppendText(const CZR_WideStringC& text)
{
    return AppendBlock(text.GetPtr(), static_cast<size_t>(text.GetLength()) * sizeof(wchar_t));
}
