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

bool CXML_Parser::MoveToNextBlock()
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

void CXML_Parser::SkipWhiteSpaces()
{
    // A block at a time.
    while (HaveAvailData()) {
        const uint8_t* p = m_pBuffer + m_dwIndex;
        const uint8_t* const pEnd = m_pBuffer + m_dwBufferSize;
        while (p < pEnd && g_ZRCRT_XML_IsWhiteSpace(*p))
            ++p;
        m_dwIndex = static_cast<uint32_t>(p - m_pBuffer);
        if (p < pEnd)
            break;
    }
    UpdateOffset();
}

void CXML_Parser::ReadName(CZR_ByteStringC& prefix, CZR_ByteStringC& name)
{
    prefix = CZR_ByteStringC();
    name = CZR_ByteStringC();
    if (!HaveAvailData()) {
        UpdateOffset();
        return;
    }
    // Within the block. A view is at most INT32_MAX bytes long: a longer name is left to
    // the buffers below, which refuse to grow past that.
    const uint32_t available = m_dwBufferSize - m_dwIndex;
    const uint8_t* const pStart = m_pBuffer + m_dwIndex;
    const uint8_t* const pEnd = pStart + (available < static_cast<uint32_t>(INT32_MAX) ? available : INT32_MAX);
    const uint8_t* pSegment = pStart;
    const uint8_t* pPrefix = nullptr;
    const uint8_t* p = pStart;
    for (; p < pEnd; ++p) {
        if (*p == ':') {
            pPrefix = pSegment;
            pSegment = p + 1;
        } else if (!g_ZRCRT_XML_IsNameChar(*p)) {
            break;
        }
    }
    if (p < pEnd) {
        if (pPrefix)
            prefix = CZR_ByteStringC(reinterpret_cast<const char*>(pPrefix), static_cast<int32_t>(pSegment - 1 - pPrefix));
        name = CZR_ByteStringC(reinterpret_cast<const char*>(pSegment), static_cast<int32_t>(p - pSegment));
        m_dwIndex += static_cast<uint32_t>(p - pStart);
        UpdateOffset();
        return;
    }

    // The name may go on in the next block: gathered a byte at a time.
    m_PrefixBuf.Clear();
    m_NameBuf.Clear();
    while (HaveAvailData()) {
        const uint8_t ch = m_pBuffer[m_dwIndex];
        if (ch == ':') {
            m_PrefixBuf.Clear();
            m_PrefixBuf.AppendBlock(m_NameBuf.GetBuffer(), static_cast<size_t>(m_NameBuf.GetSize()));
            m_NameBuf.Clear();
        } else if (g_ZRCRT_XML_IsNameChar(ch)) {
            m_NameBuf.AppendByte(ch);
        } else {
            break;
        }
        ++m_dwIndex;
    }
    prefix = m_PrefixBuf.GetByteString();
    name = m_NameBuf.GetByteString();
    UpdateOffset();
}

void CXML_Parser::GetName(CZR_ByteString& prefix, CZR_ByteString& name)
{
    CZR_ByteStringC prefixView;
    CZR_ByteStringC nameView;
    ReadName(prefixView, nameView);
    prefix = prefixView;
    name = nameView;
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

void CXML_Parser::ReadAttrValue(CZR_UTF8Decoder& decoder)
{
    if (!HaveAvailData())
        return;
    const uint8_t mark = m_pBuffer[m_dwIndex];
    if (mark != '"' && mark != '\'')
        return;
    ++m_dwIndex;
    while (HaveAvailData()) {
        // The run up to the closing quote or a reference, within this block.
        const uint8_t* const pStart = m_pBuffer + m_dwIndex;
        const uint8_t* const pEnd = m_pBuffer + m_dwBufferSize;
        const uint8_t* const p = decoder.InputUntil(pStart, pEnd, mark, '&');
        if (!p) {
            m_bOutOfMemory = true;
            break;
        }
        m_dwIndex += static_cast<uint32_t>(p - pStart);
        if (p == pEnd)
            continue;
        ++m_dwIndex;
        if (*p == mark)
            break;
        decoder.ClearStatus();
        if (!decoder.AppendChar(GetCharRef()))
            m_bOutOfMemory = true;
    }
    UpdateOffset();
}

void CXML_Parser::GetAttrValue(CZR_WideString& value)
{
    CZR_UTF8Decoder decoder;
    ReadAttrValue(decoder);
    value = decoder.GetResult();
}

void CXML_Parser::ReadTextRun(CZR_UTF8Decoder& decoder)
{
    const uint8_t* const pStart = m_pBuffer + m_dwIndex;
    const uint8_t* const pEnd = m_pBuffer + m_dwBufferSize;
    const uint8_t stop = m_bKeepAmpersand ? '<' : '&';
    const uint8_t* p = decoder.InputUntil(pStart, pEnd, '<', stop);
    if (!p) {
        // Out of memory: the run is passed over all the same, so that parsing ends after it.
        m_bOutOfMemory = true;
        for (p = pStart; p < pEnd && *p != '<' && *p != stop; ++p) {
        }
    }
    m_dwIndex += static_cast<uint32_t>(p - pStart);
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

void CXML_Parser::ReadTagName(CZR_ByteStringC& prefix, CZR_ByteStringC& name, bool& bEndTag, bool bStartTag)
{
    prefix = CZR_ByteStringC();
    name = CZR_ByteStringC();
    bEndTag = false;
    int state = bStartTag ? 1 : 0;
    while (HaveAvailData()) {
        if (state == 0) {
            // Everything before a '<' is ignored, a byte-order mark included.
            const uint8_t* pStart = m_pBuffer + m_dwIndex;
            const size_t left = m_dwBufferSize - m_dwIndex;
            const auto* pOpen = static_cast<const uint8_t*>(std::memchr(pStart, '<', left));
            if (!pOpen) {
                m_dwIndex = m_dwBufferSize;
                continue;
            }
            m_dwIndex += static_cast<uint32_t>(pOpen - pStart) + 1;
            state = 1;
            continue;
        }
        const uint8_t ch = m_pBuffer[m_dwIndex];
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
            ReadName(prefix, name);
            bEndTag = true;
            return;
        } else {
            ReadName(prefix, name);
            return;
        }
    }
    UpdateOffset();
}

void CXML_Parser::GetTagName(CZR_ByteString& prefix, CZR_ByteString& name, bool& bEndTag, bool bStartTag)
{
    CZR_ByteStringC prefixView;
    CZR_ByteStringC nameView;
    ReadTagName(prefixView, nameView, bEndTag, bStartTag);
    prefix = prefixView;
    name = nameView;
}

bool CXML_Parser::AddPendingAttrName(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name, AttrSpan& span)
{
    // The buffer holds at most INT32_MAX bytes, so the offsets fit whenever the appends
    // below succeed.
    if (static_cast<int64_t>(m_AttrNames.GetSize()) + prefix.GetLength() + name.GetLength() > INT32_MAX)
        return false;
    span.prefixOffset = m_AttrNames.GetSize();
    span.prefixLength = prefix.GetLength();
    span.nameOffset = span.prefixOffset + span.prefixLength;
    span.nameLength = name.GetLength();
    span.valueOffset = 0;
    span.valueLength = 0;
    return m_AttrNames.AppendBlock(prefix.GetPtr(), static_cast<size_t>(span.prefixLength))
        && m_AttrNames.AppendBlock(name.GetPtr(), static_cast<size_t>(span.nameLength));
}

CXML_Element* CXML_Parser::CreatePendingElement(CXML_Element* pParent, const AttrSpan& tag)
{
    const int32_t count = m_AttrSpans.GetSize() / static_cast<int32_t>(sizeof(AttrSpan));
    m_AttrViews.Clear();
    if (!m_AttrViews.AppendBlock(nullptr, static_cast<size_t>(count) * sizeof(CXML_Element::AttrView)))
        return nullptr;
    const auto* pSpans = reinterpret_cast<const AttrSpan*>(m_AttrSpans.GetBuffer());
    const char* pNames = reinterpret_cast<const char*>(m_AttrNames.GetBuffer());
    const wchar_t* pValues = m_AttrValues.GetResult().GetPtr();
    auto* pViews = reinterpret_cast<CXML_Element::AttrView*>(m_AttrViews.GetBuffer());
    // A repeated attribute keeps the place and prefix of its first occurrence and takes
    // the last value, as CXML_AttrMap::SetAt stores it.
    int32_t stored = 0;
    for (int32_t i = 0; i < count; ++i) {
        const AttrSpan& span = pSpans[i];
        const CZR_ByteStringC prefix(pNames + span.prefixOffset, span.prefixLength);
        const CZR_ByteStringC name(pNames + span.nameOffset, span.nameLength);
        const CZR_WideStringC value(pValues + span.valueOffset, span.valueLength);
        int32_t j = 0;
        while (j < stored && (pViews[j].name != name || (!prefix.IsEmpty() && pViews[j].prefix != prefix)))
            ++j;
        if (j == stored)
            new (&pViews[stored++]) CXML_Element::AttrView{prefix, name, value};
        else
            pViews[j].value = value;
    }
    return CXML_Element::CreatePacked(m_pAllocator, pParent,
                                      CZR_ByteStringC(pNames + tag.prefixOffset, tag.prefixLength),
                                      CZR_ByteStringC(pNames + tag.nameOffset, tag.nameLength), pViews, stored);
}

CXML_Element* CXML_Parser::ParseStartTag(CXML_Element* pParent, bool bStartTag, bool& bContent)
{
    bContent = false;
    CZR_ByteStringC tagPrefix;
    CZR_ByteStringC tagName;
    bool bEndTag = false;
    ReadTagName(tagPrefix, tagName, bEndTag, bStartTag);
    if (tagName.IsEmpty() || bEndTag)
        return nullptr;
    // The tag and its attributes are gathered first and the element is made once the
    // start tag has ended, with all of them in one allocation at its final size. Names
    // are copied out of the input before it moves on.
    m_AttrSpans.Clear();
    m_AttrNames.Clear();
    m_AttrValues.Clear();
    AttrSpan tag;
    if (!AddPendingAttrName(tagPrefix, tagName, tag)) {
        m_bOutOfMemory = true;
        return nullptr;
    }
    CZR_ByteStringC attrPrefix;
    CZR_ByteStringC attrName;
    AttrSpan span;
    do {
        SkipWhiteSpaces();
        if (IsEOF())
            break;
        if (!g_ZRCRT_XML_IsNameIntro(m_pBuffer[m_dwIndex]))
            break;
        ReadName(attrPrefix, attrName);
        if (!AddPendingAttrName(attrPrefix, attrName, span)) {
            m_bOutOfMemory = true;
            break;
        }
        SkipWhiteSpaces();
        if (IsEOF())
            break;
        if (m_pBuffer[m_dwIndex] != '=')
            break; // a name without '=' is dropped and ends the attribute list
        ++m_dwIndex;
        SkipWhiteSpaces();
        if (IsEOF())
            break;
        m_AttrValues.ClearStatus();
        span.valueOffset = m_AttrValues.GetResult().GetLength();
        ReadAttrValue(m_AttrValues);
        span.valueLength = m_AttrValues.GetResult().GetLength() - span.valueOffset;
        if (!m_AttrSpans.AppendBlock(&span, sizeof span))
            m_bOutOfMemory = true;
    } while (HaveAvailData());
    SkipWhiteSpaces();
    // At end of input the element is kept as it stands; a tag that ends in anything but
    // '/' or '>' gives no element.
    const bool bAtEnd = IsEOF();
    uint8_t ch = 0;
    if (!bAtEnd) {
        ch = m_pBuffer[m_dwIndex++];
        UpdateOffset();
        if (ch != '/' && ch != '>')
            return nullptr;
    }
    CXML_Element* pElement = CreatePendingElement(pParent, tag);
    if (!pElement) {
        m_bOutOfMemory = true;
        return nullptr;
    }
    if (bAtEnd)
        return pElement;
    if (ch == '/') {
        SkipLiterals(">");
        return pElement;
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
            if (ch == '<') {
                ++m_dwIndex;
                state = 1;
            } else if (ch == '&' && !m_bKeepAmpersand) {
                ++m_dwIndex;
                decoder.ClearStatus();
                if (!decoder.AppendChar(GetCharRef()))
                    m_bOutOfMemory = true;
            } else {
                ReadTextRun(decoder);
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
                ++m_dwIndex;
                if (ParseEndTag(decoder, pCurrent, pRoot))
                    break;
                state = 0;
            } else {
                // A child element: its name is read from this byte on.
                if (!ParseChildElement(decoder, pCurrent))
                    break;
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

bool CXML_Parser::ParseEndTag(CZR_UTF8Decoder& decoder, CXML_Element*& pCurrent, CXML_Element* pRoot)
{
    // The end tag's name is not compared with the start tag.
    CZR_ByteStringC endPrefix;
    CZR_ByteStringC endName;
    ReadName(endPrefix, endName);
    SkipWhiteSpaces();
    SkipLiterals(">");
    InsertContentSegment(0, decoder.GetResult(), pCurrent);
    decoder.Clear();
    if (pCurrent == pRoot)
        return true;
    pCurrent = pCurrent->GetParent();
    SkipWhiteSpaces();
    return false;
}

bool CXML_Parser::ParseChildElement(CZR_UTF8Decoder& decoder, CXML_Element*& pCurrent)
{
    InsertContentSegment(0, decoder.GetResult(), pCurrent);
    decoder.Clear();
    bool bChildContent = false;
    CXML_Element* pChild = ParseStartTag(pCurrent, true, bChildContent);
    if (pChild) {
        if (!pCurrent->AddChildElement(pChild)) {
            delete pChild;
            m_bOutOfMemory = true;
            return false;
        }
        if (bChildContent) {
            pCurrent = pChild;
            if (!m_bSaveSpaceChars)
                SkipWhiteSpaces();
            return true;
        }
    }
    SkipWhiteSpaces();
    return true;
}

void CXML_Parser::InsertContentSegment(int bCDATA, const CZR_WideStringC& content, CXML_Element* pElement)
{
    // Trimmed before it is copied, so that the stored text takes no more than it holds.
    const wchar_t* pText = content.GetPtr();
    int32_t length = content.GetLength();
    if (!m_bSaveSpaceChars) {
        while (length > 0) {
            const wchar_t ch = pText[length - 1];
            if (ch != 0 && ch != L' ' && ch != L'\t' && ch != L'\r' && ch != L'\n')
                break;
            --length;
        }
    }
    if (length == 0)
        return;
    CXML_Content* pContent = CXML_Content::Create(CZR_WideStringC(pText, length), bCDATA, m_pAllocator);
    if (!pContent) {
        m_bOutOfMemory = true;
        return;
    }
    if (!pElement->AddChildContent(pContent)) {
        m_bOutOfMemory = true;
        CXML_Content::Destroy(pContent, m_pAllocator);
    }
}
