#ifndef XMLPARSER_H
#define XMLPARSER_H

#include "izrallocator.h"
#include "izrbufferread.h"
#include "zrbinarybuf.h"
#include "zrbytestring.h"
#include "zrbytestringc.h"
#include "zrutf8decoder.h"
#include "zrwidestring.h"
#include "zrwidestringc.h"

#include <cstddef>
#include <cstdint>

class CXML_Element;

// The state of one CXML_Element::Parse call: the block reader that supplies the input,
// the position reached and the parse options. Every step reads only through
// HaveAvailData, which moves to the reader's next block when the current one is used up,
// so no step ever reads outside a block, and the state of a step (a name, a text run, a
// reference) carries over a block boundary.
//
// The bulk of a document (names, attribute values, text) is scanned a run at a time
// within the current block rather than byte by byte: names are taken as views of the
// block where they lie wholly inside it, and runs of text are decoded in one go into a
// buffer that is reused from element to element. The tree's strings are then allocated
// once each, at their final size, and an element's attribute storage once, for exactly
// the attributes its start tag holds.
//
// Elements are parsed without recursion: the open elements are kept through their parent
// links, so the depth of a document is limited only by memory.
class CXML_Parser {
public:
    CXML_Parser();
    ~CXML_Parser();
    CXML_Parser(const CXML_Parser&) = delete;
    CXML_Parser& operator=(const CXML_Parser&) = delete;

    // Reads a buffer in memory through a reader of the parser's own; false when the buffer
    // is empty (or null).
    bool Init(const uint8_t* pBuffer, size_t size);
    // Reads through the caller's reader, which the parser does not release; false when the
    // reader has no data.
    bool Init(IZR_BufferRead* pBuffer);

    // Takes the reader's next block; false when there is none (or it is empty, or larger
    // than 0xFFFFFFFF bytes).
    bool ReadNextBlock();
    // True at end of input (or after a failed allocation, which ends parsing).
    bool IsEOF() { return !HaveAvailData(); }
    // True when a byte is available at m_dwIndex, taking the next block if needed.
    bool HaveAvailData()
    {
        if (m_dwIndex < m_dwBufferSize && !m_bOutOfMemory)
            return true;
        return MoveToNextBlock();
    }
    void SkipWhiteSpaces();
    // Reads a name: name characters and ':'; each ':' ends a prefix, so "a:b:c" gives the
    // prefix "b" and the name "c". The byte that stops the name is not consumed.
    void GetName(CZR_ByteString& prefix, CZR_ByteString& name);
    // Reads a quoted attribute value with references decoded. A value that does not start
    // with a quote is empty and nothing is consumed.
    void GetAttrValue(CZR_WideString& value);
    // Reads a reference after its '&' up to and including ';': the character's code, or 0
    // for an unknown name.
    uint32_t GetCharRef();
    // Finds the next tag, skipping anything before it (bStartTag: the '<' has been
    // consumed already). Leaves `name` empty at end of input.
    void GetTagName(CZR_ByteString& prefix, CZR_ByteString& name, bool& bEndTag, bool bStartTag);
    // Consumes bytes up to and including the first occurrence of `literal`, or to the end.
    void SkipLiterals(const CZR_ByteStringC& literal);
    // Consumes markup after "<!": a comment, a CDATA section or a declaration.
    void SkipDeclaration();
    // Parses one element with all its content; null when no element starts here.
    CXML_Element* ParseElement(CXML_Element* pParent, bool bStartTag);
    // Appends `content` to the element as a text child, trimmed at its end unless spaces
    // are kept; nothing when the text is (or becomes) empty.
    void InsertContentSegment(int bCDATA, const CZR_WideStringC& content, CXML_Element* pElement);

    _IZR_Allocator* m_pAllocator;
    IZR_BufferRead* m_pDataAcc;
    int m_bOwnedStream;
    int64_t m_nOffset;
    int m_bSaveSpaceChars;
    const uint8_t* m_pBuffer;
    uint32_t m_dwBufferSize;
    int64_t m_nBufferOffset;
    uint32_t m_dwIndex;
    int m_bKeepAmpersand;

private:
    // One attribute of the start tag being read: its prefix and name in m_AttrNames, its
    // value in m_AttrValues (offsets and lengths in bytes and in units).
    struct AttrSpan {
        int32_t prefixOffset;
        int32_t prefixLength;
        int32_t nameOffset;
        int32_t nameLength;
        int32_t valueOffset;
        int32_t valueLength;
    };

    // The part of HaveAvailData past the current block.
    bool MoveToNextBlock();
    // GetName with views: of the block when the name lies wholly in it, otherwise of the
    // parser's name buffers. Valid until the next step reads the input.
    void ReadName(CZR_ByteStringC& prefix, CZR_ByteStringC& name);
    // GetTagName with views, valid as ReadName's.
    void ReadTagName(CZR_ByteStringC& prefix, CZR_ByteStringC& name, bool& bEndTag, bool bStartTag);
    // GetAttrValue, appending the value to `decoder`'s text.
    void ReadAttrValue(CZR_UTF8Decoder& decoder);
    // Decodes the text from m_dwIndex up to the first '<' (or '&' when ampersands are
    // decoded) or the end of the block into `decoder`.
    void ReadTextRun(CZR_UTF8Decoder& decoder);
    // Steps 1 to 4 of an element: the start tag and its attributes. `bContent` tells
    // whether content follows (the tag ended with '>').
    CXML_Element* ParseStartTag(CXML_Element* pParent, bool bStartTag, bool& bContent);
    // Copies an attribute's prefix and name out of the input into m_AttrNames and sets
    // their place in `span`; false when memory runs out.
    bool AddPendingAttrName(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name, AttrSpan& span);
    // Makes the element of the start tag read (`tag`: its prefix and name) with its
    // attributes; null when memory runs out.
    CXML_Element* CreatePendingElement(CXML_Element* pParent, const AttrSpan& tag);
    // The two kinds of markup within ParseElement's content, each after its '<' (and the
    // end tag's '/'), the text read so far (`decoder`) going to the current element first.
    // Reads an end tag and closes pCurrent; true when that was pRoot.
    bool ParseEndTag(CZR_UTF8Decoder& decoder, CXML_Element*& pCurrent, CXML_Element* pRoot);
    // Reads a child element's start tag and adds the child to pCurrent, which becomes the
    // child when content follows; false when memory runs out.
    bool ParseChildElement(CZR_UTF8Decoder& decoder, CXML_Element*& pCurrent);
    void UpdateOffset() { m_nOffset = m_nBufferOffset + m_dwIndex; }

    bool m_bOutOfMemory;
    // A name that crosses a block boundary is gathered here.
    CZR_BinaryBuf m_NameBuf;
    CZR_BinaryBuf m_PrefixBuf;
    // The attributes of the start tag being read (AttrSpan records, their names, their
    // values); kept between tags so that their memory is reused.
    CZR_BinaryBuf m_AttrSpans;
    CZR_BinaryBuf m_AttrNames;
    CZR_UTF8Decoder m_AttrValues;
    // The attributes as they are stored, repeated ones merged (CXML_Element::AttrView).
    CZR_BinaryBuf m_AttrViews;
};

#endif // XMLPARSER_H
