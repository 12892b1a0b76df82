#ifndef ZRWIDETEXTBUF_H
#define ZRWIDETEXTBUF_H

#include "zrbinarybuf.h"
#include "zrwidestringc.h"

// A growable buffer of wchar_t units, built on the byte buffer.
class CZR_WideTextBuf : public CZR_BinaryBuf {
public:
    explicit CZR_WideTextBuf(_IZR_Allocator* pAllocator = nullptr) : CZR_BinaryBuf(pAllocator) {}

    bool AppendChar(wchar_t ch)
    {
        if (m_AllocSize - m_DataSize >= sizeof(wchar_t)) {
            *reinterpret_cast<wchar_t*>(m_pBuffer + m_DataSize) = ch;
            m_DataSize += sizeof(wchar_t);
            return true;
        }
        return AppendBlock(&ch, sizeof(wchar_t));
    }
    bool AppendText(const CZR_WideStringC& text);
    // Makes room for `units` more units and returns where they go, or null when memory
    // runs out (the contents stay as they are). Units written there become part of the
    // text only through CommitUnits.
    wchar_t* GetRoomFor(size_t units);
    // Adds `units` units written at GetRoomFor's pointer (at most as many as it made room
    // for) to the text.
    void CommitUnits(size_t units) { m_DataSize += units * sizeof(wchar_t); }

    int32_t GetLength() const { return GetSize() / static_cast<int32_t>(sizeof(wchar_t)); }
    wchar_t* GetWideBuffer() const { return reinterpret_cast<wchar_t*>(m_pBuffer); }
    CZR_WideStringC GetWideString() const { return CZR_WideStringC(GetWideBuffer(), GetLength()); }
};

#endif // ZRWIDETEXTBUF_H
