#include "xmldatabufacc.h"

CXML_DataBufAcc::CXML_DataBufAcc(const uint8_t* pBuffer, size_t size, size_t maxBlockSize)
    : m_pBuffer(pBuffer),
      m_dwSize(pBuffer ? size : 0),
      m_dwCurPos(0),
      m_dwBlockStart(0),
      m_dwMaxBlock(maxBlockSize ? maxBlockSize : 1)
{
}

void CXML_DataBufAcc::Release()
{
    delete this;
}

int CXML_DataBufAcc::ReadNextBlock(int bFromStart)
{
    if (bFromStart)
        m_dwCurPos = 0;
    if (m_dwCurPos >= m_dwSize)
        return 0;
    m_dwBlockStart = m_dwCurPos;
    const size_t left = m_dwSize - m_dwCurPos;
    m_dwCurPos += left < m_dwMaxBlock ? left : m_dwMaxBlock;
    return 1;
}
