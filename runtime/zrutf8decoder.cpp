#include "zrutf8decoder.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// How many of the 16 bytes at `p` are plain ASCII other than the stop bytes (given in
// every lane); all 16 are widened into `pOut` whatever the count, so `pOut` needs room
// for 16 units.
inline unsigned WidenPlain16(const uint8_t* p, wchar_t* pOut, __m128i stopA, __m128i stopB)
{
    static_assert(sizeof(wchar_t) == 4, "wide units are 32 bits wide");
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i special = _mm_or_si128(bytes, _mm_or_si128(_mm_cmpeq_epi8(bytes, stopA), _mm_cmpeq_epi8(bytes, stopB)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(bytes, zero);
    const __m128i high = _mm_unpackhi_epi8(bytes, zero);
    auto* pWords = reinterpret_cast<__m128i*>(pOut);
    _mm_storeu_si128(pWords, _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(pWords + 1, _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(pWords + 2, _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(pWords + 3, _mm_unpackhi_epi16(high, zero));
    return mask == 0 ? 16u : static_cast<unsigned>(__builtin_ctz(mask));
}
#endif

} // namespace

const uint8_t* CZR_UTF8Decoder::InputUntil(const uint8_t* p, const uint8_t* pEnd, uint8_t stopA, uint8_t stopB)
{
    // Room is made a chunk at a time, since the stop byte may lie far away or not at all.
    const size_t kChunk = 4096;
    const int32_t lengthBefore = m_Buffer.GetLength();
    const int32_t pendingBytes = m_PendingBytes;
    const uint32_t pendingChar = m_PendingChar;
#if defined(__SSE2__)
    const __m128i laneA = _mm_set1_epi8(static_cast<char>(stopA));
    const __m128i laneB = _mm_set1_epi8(static_cast<char>(stopB));
#endif
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
#if defined(__SSE2__)
            // Plain ASCII sixteen bytes at a time, widened in one go.
            if (m_PendingBytes == 0) {
                while (pChunkEnd - p >= 16) {
                    const unsigned plain = WidenPlain16(p, pOut, laneA, laneB);
                    p += plain;
                    pOut += plain;
                    if (plain < 16)
                        break;
                }
                if (p == pChunkEnd)
                    break;
            }
#endif
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
