#include "zrutf8decoder.h"

void CZR_UTF8Decoder::Clear()
{
    ClearStatus();
    m_Buffer.Clear();
}

bool CZR_UTF8Decoder::AppendChar(uint32_t ch)
{
    return m_Buffer.AppendChar(static_cast<wchar_t>(ch));
}

void CZR_UTF8Decoder::Input(uint8_t byte)
{
    Input(&byte, 1);
}

bool CZR_UTF8Decoder::Input(const uint8_t* pBytes, size_t count)
{
    if (count == 0)
        return true;
    // Every byte gives at most one unit, so the room is made once for the whole run.
    wchar_t* const pStart = m_Buffer.GetRoomFor(count);
    if (!pStart)
        return false;
    wchar_t* pOut = pStart;
    const uint8_t* p = pBytes;
    const uint8_t* const pEnd = pBytes + count;
    while (p < pEnd) {
        if (m_PendingBytes == 0) {
            // The common case: a stretch of ASCII with no sequence pending.
            while (p < pEnd && *p < 0x80)
                *pOut++ = static_cast<wchar_t>(*p++);
            if (p == pEnd)
                break;
        }
        const uint8_t byte = *p++;
        if (byte < 0x80) {
            m_PendingBytes = 0;
            *pOut++ = static_cast<wchar_t>(byte);
        } else if (byte < 0xC0) {
            if (m_PendingBytes == 0)
                continue;
            --m_PendingBytes;
            m_PendingChar |= static_cast<uint32_t>(byte & 0x3F) << (m_PendingBytes * 6);
            if (m_PendingBytes == 0)
                *pOut++ = static_cast<wchar_t>(m_PendingChar != 0 ? m_PendingChar : 0xFFFD);
        } else if (byte < 0xE0) {
            m_PendingBytes = 1;
            m_PendingChar = static_cast<uint32_t>(byte & 0x1F) << 6;
        } else if (byte < 0xF0) {
            m_PendingBytes = 2;
            m_PendingChar = static_cast<uint32_t>(byte & 0x0F) << 12;
        } else if (byte < 0xF8) {
            m_PendingBytes = 3;
            m_PendingChar = static_cast<uint32_t>(byte & 0x07) << 18;
        } else if (byte < 0xFC) {
            m_PendingBytes = 4;
            m_PendingChar = static_cast<uint32_t>(byte & 0x03) << 24;
        } else if (byte < 0xFE) {
            m_PendingBytes = 5;
            m_PendingChar = static_cast<uint32_t>(byte & 0x01) << 30;
        }
    }
    m_Buffer.CommitUnits(static_cast<size_t>(pOut - pStart));
    return true;
}
