#include "xmlelement.h"

#include "xmlbytetypes.h"
#include "xmlparser.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <new>

namespace {

// Element memory starts with the allocator it came from, so that delete can return it
// there. The header keeps the element at the platform's strictest alignment.
struct alignas(alignof(std::max_align_t)) AllocHeader {
    _IZR_Allocator* pAllocator;
};

void* WordOf(CXML_Element::ChildType type)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(type));
}

bool IsSpaceUnit(wchar_t ch)
{
    return ch == L' ' || ch == L'\t' || ch == L'\r' || ch == L'\n' || ch == L'\f' || ch == L'\v';
}

// The leading decimal integer of a value, held within the range of int.
int LeadingInteger(const CZR_WideStringC& text)
{
    const wchar_t* p = text.GetPtr();
    const wchar_t* end = p + text.GetLength();
    while (p < end && IsSpaceUnit(*p))
        ++p;
    bool negative = false;
    if (p < end && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        ++p;
    }
    int64_t magnitude = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    for (; p < end && *p >= L'0' && *p <= L'9'; ++p) {
        magnitude = magnitude * 10 + (*p - L'0');
        if (magnitude >= limit) {
            magnitude = limit;
            break;
        }
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

// The leading decimal number of a value, read in the "C" locale whatever the process's
// locale says about the decimal point.
float LeadingFloat(const CZR_WideStringC& text)
{
    // Only ASCII can belong to a number: the value is narrowed up to its first other unit.
    CZR_ByteString ascii;
    const int32_t length = text.GetLength();
    char* out = length > 0 ? ascii.GetBuffer(length) : nullptr;
    if (!out)
        return 0.0f;
    int32_t used = 0;
    for (int32_t i = 0; i < length; ++i) {
        const wchar_t ch = text.GetAt(i);
        if (ch <= 0 || ch >= 0x80)
            break;
        out[used++] = static_cast<char>(ch);
    }
    out[used] = 0;
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (cLocale == static_cast<locale_t>(0))
        return std::strtof(out, nullptr);
    return strtof_l(out, nullptr, cLocale);
}

} // namespace

CXML_Element* CXML_Element::Parse(const void* pBuffer, size_t size, int bKeepSpaces,
                                  int64_t* pParsedEnd, _IZR_Allocator* pAllocator, int bKeepAmpersand)
{
    if (pParsedEnd)
        *pParsedEnd = 0;
    CXML_Parser parser;
    if (!parser.Init(static_cast<const uint8_t*>(pBuffer), size))
        return nullptr;
    parser.m_pAllocator = pAllocator;
    parser.m_bSaveSpaceChars = bKeepSpaces;
    parser.m_bKeepAmpersand = bKeepAmpersand;
    CXML_Element* pRoot = parser.ParseElement(nullptr, false);
    if (pParsedEnd)
        *pParsedEnd = parser.m_nOffset;
    return pRoot;
}

CXML_Element* CXML_Element::Parse(IZR_BufferRead* pBuffer, int bKeepSpaces, int64_t* pParsedEnd,
                                  _IZR_Allocator* pAllocator, int bKeepAmpersand)
{
    if (pParsedEnd)
        *pParsedEnd = 0;
    CXML_Parser parser;
    if (!parser.Init(pBuffer))
        return nullptr;
    parser.m_pAllocator = pAllocator;
    parser.m_bSaveSpaceChars = bKeepSpaces;
    parser.m_bKeepAmpersand = bKeepAmpersand;
    CXML_Element* pRoot = parser.ParseElement(nullptr, false);
    if (pParsedEnd)
        *pParsedEnd = parser.m_nOffset;
    return pRoot;
}

CXML_Element* CXML_Element::CreatePacked(_IZR_Allocator* pAllocator, CXML_Element* pParent,
                                         const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                                         const AttrView* pAttrs, int32_t attrCount)
{
    // The storage holds the attribute records, then the wide strings, then the 8-bit
    // strings, each zero-terminated; empty strings take nothing.
    auto units = [](int32_t length) { return length > 0 ? static_cast<uint64_t>(length) + 1 : 0; };
    if (attrCount < 0)
        return nullptr;
    uint64_t records = static_cast<uint64_t>(attrCount) * sizeof(CXML_AttrItem);
    uint64_t wideUnits = 0;
    uint64_t bytes = units(prefix.GetLength()) + units(name.GetLength());
    for (int32_t i = 0; i < attrCount; ++i) {
        wideUnits += units(pAttrs[i].value.GetLength());
        bytes += units(pAttrs[i].prefix.GetLength()) + units(pAttrs[i].name.GetLength());
    }
    const uint64_t extra = records + wideUnits * sizeof(wchar_t) + bytes;
    if (extra > static_cast<uint64_t>(SIZE_MAX / 2))
        return nullptr;
    auto* pElement = new (pAllocator, static_cast<size_t>(extra)) CXML_Element(pAllocator, pParent);
    if (!pElement)
        return nullptr;
    auto* pStorage = reinterpret_cast<uint8_t*>(pElement + 1);
    pElement->m_Packed = CXML_PackedRange(pStorage, static_cast<size_t>(extra));
    auto* pItems = reinterpret_cast<CXML_AttrItem*>(pStorage);
    auto* pWide = reinterpret_cast<wchar_t*>(pStorage + records);
    auto* pBytes = reinterpret_cast<char*>(pStorage + records + wideUnits * sizeof(wchar_t));
    auto copyBytes = [&pBytes](CZR_ByteStringL& target, const CZR_ByteStringC& text) {
        const int32_t length = text.GetLength();
        if (length <= 0)
            return;
        std::memcpy(pBytes, text.GetPtr(), static_cast<size_t>(length));
        pBytes[length] = 0;
        target.Attach(pBytes, length);
        pBytes += length + 1;
    };
    copyBytes(pElement->m_QSpaceName, prefix);
    copyBytes(pElement->m_TagName, name);
    for (int32_t i = 0; i < attrCount; ++i) {
        CXML_AttrItem* pItem = new (&pItems[i]) CXML_AttrItem();
        copyBytes(pItem->m_QSpaceName, pAttrs[i].prefix);
        copyBytes(pItem->m_AttrName, pAttrs[i].name);
        const int32_t length = pAttrs[i].value.GetLength();
        if (length > 0) {
            std::memcpy(pWide, pAttrs[i].value.GetPtr(), static_cast<size_t>(length) * sizeof(wchar_t));
            pWide[length] = 0;
            pItem->m_Value.Attach(pWide, length);
            pWide += length + 1;
        }
    }
    if (attrCount > 0)
        pElement->m_AttrMap.AttachPacked(pItems, attrCount);
    pElement->m_bPristine = true;
    return pElement;
}

void* CXML_Element::operator new(size_t size, _IZR_Allocator* pAllocator) noexcept
{
    return operator new(size, pAllocator, 0);
}

void* CXML_Element::operator new(size_t size, _IZR_Allocator* pAllocator, size_t extra) noexcept
{
    if (size > SIZE_MAX - sizeof(AllocHeader) || extra > SIZE_MAX - sizeof(AllocHeader) - size)
        return nullptr;
    void* pMemory = ZR_Alloc(pAllocator, sizeof(AllocHeader) + size + extra);
    if (!pMemory)
        return nullptr;
    auto* pHeader = new (pMemory) AllocHeader{pAllocator};
    return pHeader + 1;
}

void* CXML_Element::operator new(size_t size) noexcept
{
    return operator new(size, static_cast<_IZR_Allocator*>(nullptr));
}

void CXML_Element::operator delete(void* p, _IZR_Allocator*) noexcept
{
    operator delete(p);
}

void CXML_Element::operator delete(void* p, _IZR_Allocator*, size_t) noexcept
{
    operator delete(p);
}

void CXML_Element::operator delete(void* p) noexcept
{
    if (!p)
        return;
    AllocHeader* pHeader = static_cast<AllocHeader*>(p) - 1;
    ZR_Free(pHeader->pAllocator, pHeader);
}

CXML_Element::CXML_Element(_IZR_Allocator* pAllocator, CXML_Element* pParent)
    : m_Children(pAllocator), m_pParent(pParent), m_bPristine(false)
{
}

CXML_Element::~CXML_Element()
{
    // The subtree goes without recursion: walk down through the last child element until
    // an element has no children left, delete it (its destructor then has nothing to
    // walk) and go back up to its parent.
    CXML_Element* pNode = this;
    for (;;) {
        CZR_PtrArray& children = pNode->m_Children;
        const int32_t words = children.GetSize();
        if (words < 2) {
            if (pNode == this)
                break;
            CXML_Element* pUp = pNode->m_pParent;
            delete pNode;
            pNode = pUp;
            continue;
        }
        const auto type = static_cast<ChildType>(reinterpret_cast<uintptr_t>(children.GetAt(words - 2)));
        void* pChild = children.GetAt(words - 1);
        children.RemoveLast(2);
        if (type == Content) {
            CXML_Content::Destroy(static_cast<CXML_Content*>(pChild), children.GetAllocator());
        } else if (type == Element) {
            auto* pElement = static_cast<CXML_Element*>(pChild);
            pElement->m_pParent = pNode;
            pNode = pElement;
        }
    }
    if (m_bPristine)
        return;
    _IZR_Allocator* pAllocator = GetAllocator();
    m_AttrMap.RemoveAll(pAllocator, m_Packed);
    m_Packed.Release(m_TagName, pAllocator);
    m_Packed.Release(m_QSpaceName, pAllocator);
}

CZR_ByteString CXML_Element::GetTagName(int bWithPrefix) const
{
    if (!bWithPrefix || m_QSpaceName.IsEmpty())
        return CZR_ByteString(m_TagName);
    const int32_t prefixLength = m_QSpaceName.GetLength();
    const int32_t nameLength = m_TagName.GetLength();
    if (nameLength > INT32_MAX - 16 - prefixLength)
        return CZR_ByteString(m_TagName);
    CZR_ByteString result;
    char* out = result.GetBuffer(prefixLength + 1 + nameLength);
    if (!out)
        return result;
    std::memcpy(out, m_QSpaceName.GetPtr(), static_cast<size_t>(prefixLength));
    out[prefixLength] = ':';
    if (nameLength)
        std::memcpy(out + prefixLength + 1, m_TagName.GetPtr(), static_cast<size_t>(nameLength));
    result.ReleaseBuffer(prefixLength + 1 + nameLength);
    return result;
}

CZR_ByteString CXML_Element::GetNamespace(int bWithPrefix) const
{
    if (bWithPrefix)
        return CZR_ByteString(m_QSpaceName);
    return GetNamespaceURI(m_QSpaceName);
}

CZR_ByteString CXML_Element::GetNamespaceURI(const CZR_ByteStringC& prefix) const
{
    for (const CXML_Element* pElement = this; pElement; pElement = pElement->m_pParent) {
        const CZR_WideStringL* pURI = prefix.IsEmpty()
            ? pElement->m_AttrMap.Lookup(CZR_ByteStringC(), "xmlns")
            : pElement->m_AttrMap.Lookup("xmlns", prefix);
        if (pURI)
            return CZR_WideString(*pURI).UTF8Encode();
    }
    return CZR_ByteString();
}

void CXML_Element::GetAttrByIndex(int32_t index, CZR_ByteString& prefix, CZR_ByteString& name,
                                  CZR_WideString& value) const
{
    const CXML_AttrItem* pItem = m_AttrMap.GetAt(index);
    if (!pItem)
        return;
    prefix = pItem->m_QSpaceName;
    name = pItem->m_AttrName;
    value = pItem->m_Value;
}

bool CXML_Element::GetAttrValue(const CZR_ByteStringC& name, CZR_WideString& value) const
{
    const CZR_WideStringL* pValue = GetAttrValuePtr(name);
    if (!pValue)
        return false;
    value = *pValue;
    return true;
}

bool CXML_Element::GetAttrValue(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                                CZR_WideString& value) const
{
    const CZR_WideStringL* pValue = m_AttrMap.Lookup(prefix, name);
    if (!pValue)
        return false;
    value = *pValue;
    return true;
}

bool CXML_Element::GetAttrInteger(const CZR_ByteStringC& name, int& value) const
{
    const CZR_WideStringL* pValue = GetAttrValuePtr(name);
    if (!pValue)
        return false;
    value = LeadingInteger(*pValue);
    return true;
}

bool CXML_Element::GetAttrInteger(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                                  int& value) const
{
    const CZR_WideStringL* pValue = m_AttrMap.Lookup(prefix, name);
    if (!pValue)
        return false;
    value = LeadingInteger(*pValue);
    return true;
}

bool CXML_Element::GetAttrFloat(const CZR_ByteStringC& name, float& value) const
{
    const CZR_WideStringL* pValue = GetAttrValuePtr(name);
    if (!pValue)
        return false;
    value = LeadingFloat(*pValue);
    return true;
}

bool CXML_Element::GetAttrFloat(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                                float& value) const
{
    const CZR_WideStringL* pValue = m_AttrMap.Lookup(prefix, name);
    if (!pValue)
        return false;
    value = LeadingFloat(*pValue);
    return true;
}

bool CXML_Element::HasAttr(const CZR_ByteStringC& name) const
{
    return GetAttrValuePtr(name) != nullptr;
}

const CZR_WideStringL* CXML_Element::GetAttrValuePtr(const CZR_ByteStringC& name) const
{
    CZR_ByteStringC prefix;
    CZR_ByteStringC localName;
    ZR_XML_SplitQualifiedName(name, prefix, localName);
    return m_AttrMap.Lookup(prefix, localName);
}

CZR_WideString CXML_Element::GetContent(int32_t index) const
{
    if (GetChildType(index) != Content)
        return CZR_WideString();
    const auto* pContent = static_cast<const CXML_Content*>(m_Children.GetAt(index * 2 + 1));
    return CZR_WideString(pContent->m_Content);
}

int32_t CXML_Element::CountElements(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name) const
{
    int32_t count = 0;
    const int32_t children = CountChildren();
    for (int32_t i = 0; i < children; ++i) {
        const CXML_Element* pChild = GetElement(i);
        if (pChild && pChild->m_TagName == name && (prefix.IsEmpty() || pChild->m_QSpaceName == prefix))
            ++count;
    }
    return count;
}

CXML_Element* CXML_Element::GetElement(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                                       int32_t index) const
{
    if (index < 0)
        return nullptr;
    const int32_t children = CountChildren();
    for (int32_t i = 0; i < children; ++i) {
        CXML_Element* pChild = GetElement(i);
        if (!pChild || pChild->m_TagName != name || (!prefix.IsEmpty() && pChild->m_QSpaceName != prefix))
            continue;
        if (index-- == 0)
            return pChild;
    }
    return nullptr;
}

int32_t CXML_Element::FindElement(const CXML_Element* pChild) const
{
    if (!pChild)
        return -1;
    const int32_t children = CountChildren();
    for (int32_t i = 0; i < children; ++i) {
        if (GetElement(i) == pChild)
            return i;
    }
    return -1;
}

bool CXML_Element::SetTag(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name)
{
    m_bPristine = false;
    _IZR_Allocator* pAllocator = GetAllocator();
    CZR_ByteStringL newPrefix;
    CZR_ByteStringL newName;
    if (!newPrefix.Set(prefix, pAllocator) || !newName.Set(name, pAllocator)) {
        newPrefix.Empty(pAllocator);
        newName.Empty(pAllocator);
        return false;
    }
    m_Packed.Release(m_QSpaceName, pAllocator);
    m_Packed.Release(m_TagName, pAllocator);
    m_QSpaceName = newPrefix;
    m_TagName = newName;
    return true;
}

bool CXML_Element::SetAttrValue(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                                const CZR_WideStringC& value)
{
    m_bPristine = false;
    return m_AttrMap.SetAt(prefix, name, value, GetAllocator(), m_Packed);
}

bool CXML_Element::AddChildElement(CXML_Element* pChild)
{
    if (!pChild || !m_Children.AddPair(WordOf(Element), pChild))
        return false;
    pChild->m_pParent = this;
    return true;
}

bool CXML_Element::AddChildContent(const CZR_WideStringC& text, int32_t bCDATA)
{
    CXML_Content* pContent = CXML_Content::Create(text, bCDATA, GetAllocator());
    if (!pContent)
        return false;
    if (!AddChildContent(pContent)) {
        CXML_Content::Destroy(pContent, GetAllocator());
        return false;
    }
    return true;
}

bool CXML_Element::AddChildContent(CXML_Content* pContent)
{
    return pContent && m_Children.AddPair(WordOf(Content), pContent);
}
