#include "zrutf8decoder.h"

#include <cstring>

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

inline wchar_t* CZR_UTF8Decoder::Step(uint8_t byte, wchar_t* pOut)
{
    if (byte < 0x80) {
        m_PendingBytes = 0;
        *pOut++ = static_cast<wchar_t>(byte);
    } else if (byte < 0xC0) {
        if (m_PendingBytes == 0)
            return pOut;
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
    return pOut;
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
        pOut = Step(*p++, pOut);
    }
    m_Buffer.CommitUnits(static_cast<size_t>(pOut - pStart));
    return true;
}

namespace {

const uint64_t kOnes = 0x0101010101010101u;
const uint64_t kHighBits = 0x8080808080808080u;

// True when one of the eight bytes of `word` is 0x80 or above, or equals `stopA` or
// `stopB` (given repeated in every byte).
bool NeedsAttention(uint64_t word, uint64_t stopA, uint64_t stopB)
{
    const uint64_t a = word ^ stopA;
    const uint64_t b = word ^ stopB;
    // (v - 1) & ~v has the high bit set in some byte exactly when v has a zero byte.
    return ((word | ((a - kOnes) & ~a) | ((b - kOnes) & ~b)) & kHighBits) != 0;
}

} // namespace

const uint8_t* CZR_UTF8Decoder::InputUntil(const uint8_t* p, const uint8_t* pEnd, uint8_t stopA, uint8_t stopB)
{
    // Room is made a chunk at a time, since the stop byte may lie far away or not at all.
    const size_t kChunk = 4096;
    const int32_t lengthBefore = m_Buffer.GetLength();
    const int32_t pendingBytes = m_PendingBytes;
    const uint32_t pendingChar = m_PendingChar;
    const uint64_t wordA = kOnes * stopA;
    const uint64_t wordB = kOnes * stopB;
    while (p < pEnd) {
        const size_t chunk = static_cast<size_t>(pEnd - p) < kChunk ? static_cast<size_t>(pEnd - p) : kChunk;
        wchar_t* const pStart = m_Buffer.GetRoomFor(chunk);
        if (!pStart) {
            m_Buffer.Truncate(static_cast<size_t>(lengthBefore) * sizeof(wchar_t));
            m_PendingBytes = pendingBytes;
            m_PendingChar = pendingChar;
            return nullptr;
        }
        wchar_t* pOut = pStart;
        const uint8_t* const pChunkEnd = p + chunk;
        bool bStopped = false;
        while (p < pChunkEnd) {
            // Eight plain ASCII bytes at a time, widened in one go.
            if (m_PendingBytes == 0) {
                while (pChunkEnd - p >= 8) {
                    uint64_t word;
                    std::memcpy(&word, p, sizeof word);
                    if (NeedsAttention(word, wordA, wordB))
                        break;
                    for (int i = 0; i < 8; ++i)
                        pOut[i] = static_cast<wchar_t>(p[i]);
                    pOut += 8;
                    p += 8;
                }
                if (p == pChunkEnd)
                    break;
            }
            const uint8_t byte = *p;
            if (byte == stopA || byte == stopB) {
                bStopped = true;
                break;
            }
            ++p;
            pOut = Step(byte, pOut);
        }
        m_Buffer.CommitUnits(static_cast<size_t>(pOut - pStart));
        if (bStopped)
            break;
    }
    return p;
}
