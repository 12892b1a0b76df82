#ifndef ZRUTF8DECODER_H
#define ZRUTF8DECODER_H

#include "zrwidestringc.h"
#include "zrwidetextbuf.h"

#include <cstddef>
#include <cstdint>

// Decodes UTF-8 one byte at a time into wide text. It is forgiving: a continuation byte
// with no sequence pending is dropped, a new lead byte or an ASCII byte abandons a
// sequence in progress, 0xFE and 0xFF are dropped, and the long forms (up to six bytes)
// are decoded without checks for overlong forms or the Unicode range.
class CZR_UTF8Decoder {
public:
    CZR_UTF8Decoder() : m_PendingBytes(0), m_PendingChar(0) {}

    void Input(uint8_t byte);
    // Decodes `count` bytes, exactly as that many single-byte Inputs would; false (and
    // nothing of these bytes in the text) when memory runs out.
    bool Input(const uint8_t* pBytes, size_t count);
    // Decodes the bytes from `p` up to the first byte that equals `stopA` or `stopB` (both
    // below 0x80) or up to `pEnd`, exactly as Input over those bytes would, and returns
    // where it stopped. Null when memory runs out: the text and the decoding state are
    // then as they were before the call.
    const uint8_t* InputUntil(const uint8_t* p, const uint8_t* pEnd, uint8_t stopA, uint8_t stopB);
    // Appends a character as it is, outside the UTF-8 decoding; false when memory runs out.
    bool AppendChar(uint32_t ch);
    // Drops a half-decoded sequence; the text decoded so far stays.
    void ClearStatus() { m_PendingBytes = 0; m_PendingChar = 0; }
    // Drops the text and any half-decoded sequence.
    void Clear();

    // The text decoded so far. Valid until the next Input, AppendChar or Clear.
    CZR_WideStringC GetResult() const { return m_Buffer.GetWideString(); }

private:
    // Decodes one byte into `pOut` (which has room for a unit) and returns the next place.
    wchar_t* Step(uint8_t byte, wchar_t* pOut);

    int32_t m_PendingBytes;
    uint32_t m_PendingChar;
    CZR_WideTextBuf m_Buffer;
};

#endif // ZRUTF8DECODER_H
