#ifndef ZRWIDETEXTBUF_H
#define ZRWIDETEXTBUF_H

#include "zrbinarybuf.h"
#include "zrwidestringc.h"

// A growable buffer of wchar_t units, built on the byte buffer.
class CZR_WideTextBuf : public CZR_BinaryBuf {
public:
    explicit CZR_WideTextBuf(_IZR_Allocator* pAllocator = nullptr) : CZR_BinaryBuf(pAllocator) {}

    bool AppendChar(wchar_t ch);
    bool AppendText(const CZR_WideStringC& text);

    int32_t GetLength() const { return GetSize() / static_cast<int32_t>(sizeof(wchar_t)); }
    wchar_t* GetWideBuffer() const { return reinterpret_cast<wchar_t*>(m_pBuffer); }
    CZR_WideStringC GetWideString() const { return CZR_WideStringC(GetWideBuffer(), GetLength()); }
};

#endif // ZRWIDETEXTBUF_H
