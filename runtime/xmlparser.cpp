#include "xmlparser.h"

#include "xmlbytetypes.h"
#include "xmldatabufacc.h"
#include "xmlelement.h"

#include <cstring>
#include <new>

CXML_Parser::CXML_Parser()
    : m_pAllocator(nullptr),
      m_pDataAcc(nullptr),
      m_bOwnedStream(0),
      m_nOffset(0),
      m_bSaveSpaceChars(0),
      m_pBuffer(nullptr),
      m_dwBufferSize(0),
      m_nBufferOffset(0),
      m_dwIndex(0),
      m_bKeepAmpersand(0),
      m_bOutOfMemory(false)
{
}

CXML_Parser::~CXML_Parser()
{
    if (m_bOwnedStream && m_pDataAcc)
        m_pDataAcc->Release();
}

bool CXML_Parser::Init(const uint8_t* pBuffer, size_t size)
{
    if (!pBuffer || size == 0)
        return false;
    auto* pReader = new (std::nothrow) CXML_DataBufAcc(pBuffer, size);
    if (!pReader)
        return false;
    m_pDataAcc = pReader;
    m_bOwnedStream = 1;
    return ReadNextBlock();
}

bool CXML_Parser::Init(IZR_BufferRead* pBuffer)
{
    if (!pBuffer)
        return false;
    m_pDataAcc = pBuffer;
    m_bOwnedStream = 0;
    return ReadNextBlock();
}

bool CXML_Parser::ReadNextBlock()
{
    if (!m_pDataAcc->ReadNextBlock())
        return false;
    const uint8_t* pBlock = m_pDataAcc->GetBlockBuffer();
    const size_t blockSize = m_pDataAcc->GetBlockSize();
    // A block beyond the 32-bit block size cannot be indexed: the input ends before it
    // rather than being read only in part.
    if (!pBlock || blockSize == 0 || static_cast<uint64_t>(blockSize) > 0xFFFFFFFFu)
        return false;
    m_pBuffer = pBlock;
    m_dwBufferSize = static_cast<uint32_t>(blockSize);
    m_nBufferOffset = m_pDataAcc->GetBlockOffset();
    m_dwIndex = 0;
    return true;
}

bool CXML_Parser::HaveAvailData()
{
    if (m_bOutOfMemory || !m_pDataAcc)
        return false;
    if (m_dwIndex < m_dwBufferSize)
        return true;
    UpdateOffset();
    if (m_pDataAcc->IsEOF())
        return false;
    if (!ReadNextBlock())
        return false;
    UpdateOffset();
    return true;
}

bool CXML_Parser::IsEOF()
{
    return !HaveAvailData();
}

void CXML_Parser::SkipWhiteSpaces()
{
    while (HaveAvailData() && g_ZRCRT_XML_IsWhiteSpace(m_pBuffer[m_dwIndex]))
        ++m_dwIndex;
    UpdateOffset();
}

void CXML_Parser::GetName(CZR_ByteString& prefix, CZR_ByteString& name)
{
    prefix.Empty();
    m_NameBuf.Clear();
    while (HaveAvailData()) {
        const uint8_t ch = m_pBuffer[m_dwIndex];
        if (ch == ':') {
            prefix = m_NameBuf.GetByteString();
            m_NameBuf.Clear();
        } else if (g_ZRCRT_XML_IsNameChar(ch)) {
            m_NameBuf.AppendByte(ch);
        } else {
            break;
        }
        ++m_dwIndex;
    }
    name = m_NameBuf.GetByteString();
    UpdateOffset();
}

uint32_t CXML_Parser::GetCharRef()
{
    uint32_t code = 0;
    if (!HaveAvailData())
        return code;
    if (m_pBuffer[m_dwIndex] == '#') {
        ++m_dwIndex;
        if (!HaveAvailData())
            return code;
        const bool bHex = m_pBuffer[m_dwIndex] == 'x';
        if (bHex)
            ++m_dwIndex;
        while (HaveAvailData()) {
            const uint8_t ch = m_pBuffer[m_dwIndex++];
            if (ch == ';')
                break;
            if (bHex) {
                if (g_ZRCRT_XML_IsHexChar(ch))
                    code = code * 16 + static_cast<uint32_t>(g_ZRCRT_XML_HexCharValue(ch));
            } else if (g_ZRCRT_XML_IsDigital(ch)) {
                code = code * 10 + static_cast<uint32_t>(ch - '0');
            }
        }
        UpdateOffset();
        return code;
    }
    // A named reference runs to the next ';'. Only its first bytes are kept: that is
    // enough to tell the five known names, and a stray '&' cannot make the parser copy
    // the rest of the document.
    char nameStart[5];
    size_t nameLength = 0;
    while (HaveAvailData()) {
        const uint8_t ch = m_pBuffer[m_dwIndex++];
        if (ch == ';')
            break;
        if (nameLength < sizeof nameStart)
            nameStart[nameLength] = static_cast<char>(ch);
        ++nameLength;
    }
    UpdateOffset();
    const CZR_ByteStringC refName(nameStart, nameLength <= sizeof nameStart ? static_cast<int32_t>(nameLength) : 0);
    if (refName == "gt")
        code = '>';
    else if (refName == "lt")
        code = '<';
    else if (refName == "amp")
        code = '&';
    else if (refName == "apos")
        code = '\'';
    else if (refName == "quot")
        code = '"';
    return code;
}

void CXML_Parser::GetAttrValue(CZR_WideString& value)
{
    value.Empty();
    if (!HaveAvailData())
        return;
    const uint8_t mark = m_pBuffer[m_dwIndex];
    if (mark != '"' && mark != '\'')
        return;
    ++m_dwIndex;
    CZR_UTF8Decoder decoder;
    while (HaveAvailData()) {
        const uint8_t ch = m_pBuffer[m_dwIndex++];
        if (ch == mark)
            break;
        if (ch == '&') {
            decoder.ClearStatus();
            decoder.AppendChar(GetCharRef());
            continue;
        }
        decoder.Input(ch);
    }
    UpdateOffset();
    value = decoder.GetResult();
}

void CXML_Parser::SkipLiterals(const CZR_ByteStringC& literal)
{
    const int32_t length = literal.GetLength();
    if (length == 0)
        return;
    const char* text = literal.GetPtr();
    int32_t matched = 0;
    while (HaveAvailData()) {
        const char ch = static_cast<char>(m_pBuffer[m_dwIndex++]);
        // On a mismatch fall back to the longest part already matched that is still a
        // start of the literal, so "--->" ends a comment and "]]]>" a CDATA section.
        while (matched > 0 && text[matched] != ch) {
            int32_t shorter = matched - 1;
            while (shorter > 0 && std::memcmp(text, text + matched - shorter, static_cast<size_t>(shorter)) != 0)
                --shorter;
            matched = shorter;
        }
        if (text[matched] == ch)
            ++matched;
        if (matched == length)
            break;
    }
    UpdateOffset();
}

void CXML_Parser::SkipDeclaration()
{
    if (!HaveAvailData())
        return;
    const uint8_t ch = m_pBuffer[m_dwIndex++];
    if (ch == '[') {
        SkipLiterals("]]>");
    } else if (ch == '-') {
        if (HaveAvailData())
            ++m_dwIndex;
        SkipLiterals("-->");
    } else {
        SkipLiterals(">");
    }
}

void CXML_Parser::GetTagName(CZR_ByteString& prefix, CZR_ByteString& name, bool& bEndTag, bool bStartTag)
{
    prefix.Empty();
    name.Empty();
    bEndTag = false;
    int state = bStartTag ? 1 : 0;
    while (HaveAvailData()) {
        const uint8_t ch = m_pBuffer[m_dwIndex];
        if (state == 0) {
            // Everything before a '<' is ignored, a byte-order mark included.
            ++m_dwIndex;
            if (ch == '<')
                state = 1;
            continue;
        }
        if (ch == '?') {
            ++m_dwIndex;
            SkipLiterals("?>");
            state = 0;
        } else if (ch == '!') {
            // Comments, a document type declaration or a stray CDATA section before the
            // root: skipped the way markup inside an element is.
            ++m_dwIndex;
            SkipDeclaration();
            state = 0;
        } else if (ch == '/') {
            ++m_dwIndex;
            GetName(prefix, name);
            bEndTag = true;
            return;
        } else {
            GetName(prefix, name);
            return;
        }
    }
    UpdateOffset();
}

CXML_Element* CXML_Parser::ParseStartTag(CXML_Element* pParent, bool bStartTag, bool& bContent)
{
    bContent = false;
    CZR_ByteString tagPrefix;
    CZR_ByteString tagName;
    bool bEndTag = false;
    GetTagName(tagPrefix, tagName, bEndTag, bStartTag);
    if (tagName.IsEmpty() || bEndTag)
        return nullptr;
    auto* pElement = new (m_pAllocator) CXML_Element(m_pAllocator, pParent);
    if (!pElement || !pElement->SetTag(tagPrefix, tagName)) {
        delete pElement;
        m_bOutOfMemory = true;
        return nullptr;
    }
    CZR_ByteString attrPrefix;
    CZR_ByteString attrName;
    CZR_WideString attrValue;
    do {
        SkipWhiteSpaces();
        if (IsEOF())
            break;
        if (!g_ZRCRT_XML_IsNameIntro(m_pBuffer[m_dwIndex]))
            break;
        GetName(attrPrefix, attrName);
        SkipWhiteSpaces();
        if (IsEOF())
            break;
        if (m_pBuffer[m_dwIndex] != '=')
            break; // a name without '=' is dropped and ends the attribute list
        ++m_dwIndex;
        SkipWhiteSpaces();
        if (IsEOF())
            break;
        GetAttrValue(attrValue);
        if (!pElement->SetAttrValue(attrPrefix, attrName, attrValue))
            m_bOutOfMemory = true;
    } while (HaveAvailData());
    SkipWhiteSpaces();
    if (IsEOF())
        return pElement;
    const uint8_t ch = m_pBuffer[m_dwIndex++];
    UpdateOffset();
    if (ch == '/') {
        SkipLiterals(">");
        return pElement;
    }
    if (ch != '>') {
        delete pElement;
        return nullptr;
    }
    bContent = true;
    return pElement;
}

CXML_Element* CXML_Parser::ParseElement(CXML_Element* pParent, bool bStartTag)
{
    bool bContent = false;
    CXML_Element* pRoot = ParseStartTag(pParent, bStartTag, bContent);
    if (!pRoot || !bContent) {
        UpdateOffset();
        return pRoot;
    }

    // The element whose content is being read; its enclosing elements up to pRoot are
    // waiting for their own content to go on.
    CXML_Element* pCurrent = pRoot;
    CZR_UTF8Decoder decoder;
    if (!m_bSaveSpaceChars)
        SkipWhiteSpaces();
    int state = 0;
    while (HaveAvailData()) {
        const uint8_t ch = m_pBuffer[m_dwIndex];
        if (state == 0) {
            ++m_dwIndex;
            if (ch == '<') {
                state = 1;
            } else if (ch == '&' && !m_bKeepAmpersand) {
                decoder.ClearStatus();
                decoder.AppendChar(GetCharRef());
            } else {
                decoder.Input(ch);
            }
        } else if (state == 1) {
            if (ch == '!') {
                ++m_dwIndex;
                state = 2;
            } else if (ch == '?') {
                ++m_dwIndex;
                SkipLiterals("?>");
                SkipWhiteSpaces();
                state = 0;
            } else if (ch == '/') {
                // The end tag's name is not compared with the start tag.
                ++m_dwIndex;
                CZR_ByteString endPrefix;
                CZR_ByteString endName;
                GetName(endPrefix, endName);
                SkipWhiteSpaces();
                SkipLiterals(">");
                InsertContentSegment(0, decoder.GetResult(), pCurrent);
                decoder.Clear();
                if (pCurrent == pRoot)
                    break;
                pCurrent = pCurrent->GetParent();
                SkipWhiteSpaces();
                state = 0;
            } else {
                // A child element: its name is read from this byte on.
                InsertContentSegment(0, decoder.GetResult(), pCurrent);
                decoder.Clear();
                bool bChildContent = false;
                CXML_Element* pChild = ParseStartTag(pCurrent, true, bChildContent);
                if (pChild) {
                    if (!pCurrent->AddChildElement(pChild)) {
                        delete pChild;
                        m_bOutOfMemory = true;
                        break;
                    }
                    if (bChildContent) {
                        pCurrent = pChild;
                        if (!m_bSaveSpaceChars)
                            SkipWhiteSpaces();
                        state = 0;
                        continue;
                    }
                }
                SkipWhiteSpaces();
                state = 0;
            }
        } else {
            // After "<!": the markup is skipped; the text around it stays one run.
            decoder.ClearStatus();
            SkipDeclaration();
            SkipWhiteSpaces();
            state = 0;
        }
    }
    // At end of input the innermost open element keeps the text read so far; the
    // enclosing ones were complete up to their open child already.
    InsertContentSegment(0, decoder.GetResult(), pCurrent);
    UpdateOffset();
    return pRoot;
}

void CXML_Parser::InsertContentSegment(int bCDATA, const CZR_WideStringC& content, CXML_Element* pElement)
{
    if (content.IsEmpty())
        return;
    CXML_Content* pContent = CXML_Content::Create(content, bCDATA, m_pAllocator);
    if (!pContent) {
        m_bOutOfMemory = true;
        return;
    }
    if (!m_bSaveSpaceChars)
        pContent->m_Content.TrimRight(L" \t\r\n");
    if (pContent->m_Content.IsEmpty() || !pElement->AddChildContent(pContent)) {
        if (!pContent->m_Content.IsEmpty())
            m_bOutOfMemory = true;
        CXML_Content::Destroy(pContent, m_pAllocator);
    }
}
