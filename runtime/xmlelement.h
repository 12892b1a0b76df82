#ifndef XMLELEMENT_H
#define XMLELEMENT_H

#include "izrallocator.h"
#include "izrbufferread.h"
#include "xmlattrmap.h"
#include "xmlcontent.h"
#include "xmlpackedrange.h"
#include "zrbytestring.h"
#include "zrbytestringl.h"
#include "zrptrarray.h"
#include "zrwidestring.h"

#include <cstddef>
#include <cstdint>

// One element of a parsed XML document. Names and prefixes are kept as the bytes stand
// in the document; attribute values and text are decoded from UTF-8 into wide strings.
// The children (elements and text segments, in document order) are kept as pairs of
// words: the ChildType, then the child record.
//
// Every node and string of a tree comes from the allocator given to Parse (null: the
// default heap). The root is freed with plain `delete`, whatever the allocator: each
// element remembers where its memory came from. Deleting an element deletes its subtree
// without recursion, so arbitrarily deep trees are safe.
class CXML_Element {
public:
    enum ChildType { Invalid = 0, Element = 1, Content = 2 };

    // Parses a UTF-8 document held in memory and returns its root element, or null when
    // the document holds no usable root (empty input, no '<', a first tag that is an end
    // tag or has no name, a malformed root start tag). The parser is forgiving: it skips
    // processing instructions, comments, declarations and CDATA sections, does not
    // compare end tags with start tags, and returns the tree read so far when the input
    // ends early. Bytes after the root element's end are not read.
    //   bKeepSpaces     non-zero: text is kept with its leading and trailing whitespace
    //   pParsedEnd      receives the position just past the last byte consumed
    //   pAllocator      source of every node and string of the tree (null: default heap)
    //   bKeepAmpersand  non-zero: '&' in text is kept as it is (attribute values are
    //                   always decoded)
    // The buffer is read during the call only. The caller owns the tree.
    static CXML_Element* Parse(const void* pBuffer, size_t size, int bKeepSpaces = 0,
                               int64_t* pParsedEnd = nullptr, _IZR_Allocator* pAllocator = nullptr,
                               int bKeepAmpersand = 0);
    // The same over a caller's block reader, which stays the caller's (it is not released).
    static CXML_Element* Parse(IZR_BufferRead* pBuffer, int bKeepSpaces = 0,
                               int64_t* pParsedEnd = nullptr, _IZR_Allocator* pAllocator = nullptr,
                               int bKeepAmpersand = 0);

    // An element without name, attributes or children whose memory and strings come from
    // `pAllocator`. Create it with `new (pAllocator) CXML_Element(pAllocator, ...)` (or plain
    // `new` for the default heap).
    explicit CXML_Element(_IZR_Allocator* pAllocator = nullptr, CXML_Element* pParent = nullptr);
    ~CXML_Element();
    CXML_Element(const CXML_Element&) = delete;
    CXML_Element& operator=(const CXML_Element&) = delete;

    // One attribute for CreatePacked.
    struct AttrView {
        CZR_ByteStringC prefix;
        CZR_ByteStringC name;
        CZR_WideStringC value;
    };
    // An element with its tag and attributes (in that order, none repeated) whose
    // attribute records and strings are stored in one allocation together with the
    // element: what the parser makes. Null when memory runs out. The element behaves as
    // any other; later edits allocate as usual.
    static CXML_Element* CreatePacked(_IZR_Allocator* pAllocator, CXML_Element* pParent,
                                      const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                                      const AttrView* pAttrs, int32_t attrCount);

    // Element memory comes from an allocator and is returned to it by delete.
    static void* operator new(size_t size, _IZR_Allocator* pAllocator) noexcept;
    // The same with `extra` bytes of storage right after the element.
    static void* operator new(size_t size, _IZR_Allocator* pAllocator, size_t extra) noexcept;
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* p, _IZR_Allocator* pAllocator) noexcept;
    static void operator delete(void* p, _IZR_Allocator* pAllocator, size_t extra) noexcept;
    static void operator delete(void* p) noexcept;

    _IZR_Allocator* GetAllocator() const { return m_Children.GetAllocator(); }
    CXML_Element* GetParent() const { return m_pParent; }

    // The local name; with bWithPrefix non-zero and a prefix present, "prefix:name".
    CZR_ByteString GetTagName(int bWithPrefix = 0) const;
    // With bWithPrefix non-zero the prefix; otherwise the namespace URI bound to it.
    CZR_ByteString GetNamespace(int bWithPrefix = 0) const;
    // The namespace URI bound to `prefix` here or in the nearest enclosing element ("xmlns"
    // for the empty prefix, "xmlns:prefix" otherwise), as UTF-8; empty when unbound.
    CZR_ByteString GetNamespaceURI(const CZR_ByteStringC& prefix) const;

    // Attributes.
    int32_t CountAttrs() const { return m_AttrMap.GetSize(); }
    const CXML_AttrMap& GetAttrMap() const { return m_AttrMap; }
    // Copies the attribute's parts; leaves the outputs untouched when `index` is out of range.
    void GetAttrByIndex(int32_t index, CZR_ByteString& prefix, CZR_ByteString& name,
                        CZR_WideString& value) const;
    // `name` may be qualified ("p:n"); without a prefix any attribute of that local name
    // matches. True and the value when found; false and `value` untouched otherwise.
    bool GetAttrValue(const CZR_ByteStringC& name, CZR_WideString& value) const;
    bool GetAttrValue(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                      CZR_WideString& value) const;
    // The value's leading decimal integer (optional whitespace and sign; 0 when there is
    // none; held within the range of int). False and `value` untouched when not found.
    bool GetAttrInteger(const CZR_ByteStringC& name, int& value) const;
    bool GetAttrInteger(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name, int& value) const;
    // The value's leading decimal number, with '.' as the decimal point whatever the
    // locale (0 when there is none). False and `value` untouched when not found.
    bool GetAttrFloat(const CZR_ByteStringC& name, float& value) const;
    bool GetAttrFloat(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name, float& value) const;
    bool HasAttr(const CZR_ByteStringC& name) const;
    // The stored value, or null when not found. Valid while the element lives.
    const CZR_WideStringL* GetAttrValuePtr(const CZR_ByteStringC& name) const;

    // Children (elements and text segments together; indexes are 0-based).
    int32_t CountChildren() const { return m_Children.GetSize() / 2; }
    ChildType GetChildType(int32_t index) const
    {
        if (index < 0 || index >= CountChildren())
            return Invalid;
        return static_cast<ChildType>(reinterpret_cast<uintptr_t>(m_Children.GetAt(index * 2)));
    }
    // The child element at that child index; null when out of range or a text child.
    CXML_Element* GetElement(int32_t index) const
    {
        if (GetChildType(index) != Element)
            return nullptr;
        return static_cast<CXML_Element*>(m_Children.GetAt(index * 2 + 1));
    }
    // The text of that child; empty when out of range or an element.
    CZR_WideString GetContent(int32_t index) const;
    // Child elements whose local name equals `name` and, when `prefix` is not empty, whose
    // prefix equals `prefix`: how many, and the index-th of them (null when out of range).
    int32_t CountElements(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name) const;
    CXML_Element* GetElement(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                             int32_t index) const;
    // The child index of that child element, or -1.
    int32_t FindElement(const CXML_Element* pChild) const;

    // Building (used by the parser). Each returns false when memory runs out and then
    // leaves the element as it was.
    bool SetTag(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name);
    bool SetAttrValue(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                      const CZR_WideStringC& value);
    // Takes ownership of `pChild` (made with this element's allocator) and sets its parent.
    bool AddChildElement(CXML_Element* pChild);
    // Appends a text child with a copy of `text`.
    bool AddChildContent(const CZR_WideStringC& text, int32_t bCDATA);
    // Appends a text child; takes ownership of `pContent` only on success.
    bool AddChildContent(CXML_Content* pContent);

private:
    // What walking and deleting a tree reads comes first, close together.
    CZR_PtrArray m_Children;
    CXML_Element* m_pParent;
    // Made by CreatePacked and not edited since: every string and record of the element
    // lies in m_Packed, so deleting it releases nothing but its own memory.
    bool m_bPristine;
    CXML_AttrMap m_AttrMap;
    CZR_ByteStringL m_QSpaceName;
    CZR_ByteStringL m_TagName;
    // The storage made with the element by CreatePacked (empty otherwise).
    CXML_PackedRange m_Packed;
};

#endif // XMLELEMENT_H
