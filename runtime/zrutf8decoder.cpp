#include "zrutf8decoder.h"

void CZR_UTF8Decoder::Clear()
{
    ClearStatus();
    m_Buffer.Clear();
}

void CZR_UTF8Decoder::AppendChar(uint32_t ch)
{
    m_Buffer.AppendChar(static_cast<wchar_t>(ch));
}

void CZR_UTF8Decoder::Input(uint8_t byte)
{
    if (byte < 0x80) {
        m_PendingBytes = 0;
        AppendChar(byte);
    } else if (byte < 0xC0) {
        if (m_PendingBytes == 0)
            return;
        --m_PendingBytes;
        m_PendingChar |= static_cast<uint32_t>(byte & 0x3F) << (m_PendingBytes * 6);
        if (m_PendingBytes == 0)
            AppendChar(m_PendingChar != 0 ? m_PendingChar : 0xFFFD);
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
