#ifndef XMLDATABUFACC_H
#define XMLDATABUFACC_H

#include "izrbufferread.h"

// The block reader over a buffer in memory. The buffer is not copied and must outlive
// the reader. The whole buffer is one block, except that a block never exceeds
// `maxBlockSize` bytes (by default 0xFFFFFFFF, the most the parser's 32-bit block size
// holds), so a larger buffer is handed out in consecutive blocks.
class CXML_DataBufAcc : public IZR_BufferRead {
public:
    CXML_DataBufAcc(const uint8_t* pBuffer, size_t size, size_t maxBlockSize = 0xFFFFFFFFu);
    ~CXML_DataBufAcc() override {}

    // Deletes the reader: only for readers created with new.
    void Release() override;
    int IsEOF() override { return m_dwCurPos >= m_dwSize; }
    int64_t GetPosition() override { return static_cast<int64_t>(m_dwCurPos); }
    size_t ReadBlock(void*, size_t) override { return 0; }
    int ReadNextBlock(int bFromStart = 0) override;
    const uint8_t* GetBlockBuffer() override { return m_pBuffer + m_dwBlockStart; }
    size_t GetBlockSize() override { return m_dwCurPos - m_dwBlockStart; }
    int64_t GetBlockOffset() override { return static_cast<int64_t>(m_dwBlockStart); }

private:
    const uint8_t* m_pBuffer;
    size_t m_dwSize;
    size_t m_dwCurPos;
    size_t m_dwBlockStart;
    size_t m_dwMaxBlock;
};

#endif // XMLDATABUFACC_H
