// Parsing documents into element trees: the forgiving rules for tags, attributes, text,
// references and skipped markup, the parsed-end position, block boundaries, deep
// documents and the allocator.
#include "xmldatabufacc.h"
#include "xmlparser.h"
#include "xmltesthelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

TEST(XmlParse, NoRootGivesNull)
{
    EXPECT_EQ(DumpXml(""), "(null)");
    EXPECT_EQ(DumpXml(" \t\r\n "), "(null)");
    EXPECT_EQ(DumpXml("just text"), "(null)");
    EXPECT_EQ(DumpXml("</a><b/>"), "(null)");      // first tag is an end tag
    EXPECT_EQ(DumpXml("< a/>"), "(null)");         // empty name
    EXPECT_EQ(DumpXml("<a:/>"), "(null)");         // a prefix but no name
    EXPECT_EQ(DumpXml("<a b c='1'>"), "(null)");   // not an attribute before '>'
    EXPECT_EQ(DumpXml("<a 1='x'/>"), "(null)");
    EXPECT_EQ(DumpXml("<?xml version='1.0'?>"), "(null)");
    EXPECT_EQ(CXML_Element::Parse(static_cast<const void*>(nullptr), 10), nullptr);
}

TEST(XmlParse, EndTagsAreNotCompared)
{
    EXPECT_EQ(DumpXml("<a>x</b>"), "a{\"x\"}");
    // The </a> closes b; a then ends with the input.
    EXPECT_EQ(DumpXml("<a><b>t</a>"), "a{b{\"t\"}}");
    EXPECT_EQ(DumpXml("<a><b>t</a>after</x>"), "a{b{\"t\"},\"after\"}");
    EXPECT_EQ(DumpXml("<a>x</>y"), "a{\"x\"}");
}

TEST(XmlParse, AttributeListEndsAtANameWithoutValue)
{
    EXPECT_EQ(DumpXml("<a b>z</a>"), "a{\"z\"}");
    EXPECT_EQ(DumpXml("<a x='1' b>z</a>"), "a[x=\"1\"]{\"z\"}");
    // An unquoted value is empty and nothing of it is consumed: the rest reads as a
    // name without '='.
    EXPECT_EQ(DumpXml("<a b=c>t</a>"), "a[b=\"\"]{\"t\"}");
    EXPECT_EQ(DumpXml("<a  b = \"1\"\n\tc='2' />"), "a[b=\"1\" c=\"2\"]");
    // Nothing between '/' and '>' is checked.
    EXPECT_EQ(DumpXml("<a/ junk >tail"), "a");
}

TEST(XmlParse, AttributeValues)
{
    EXPECT_EQ(DumpXml("<a v='say \"hi\"'/>"), "a[v=\"say \\u{22}hi\\u{22}\"]");
    EXPECT_EQ(DumpXml("<a v=\"it's\"/>"), "a[v=\"it's\"]");
    // Whitespace, line ends and '<' are kept as they are.
    EXPECT_EQ(DumpXml("<a v=' x\n<y '/>"), "a[v=\" x\\u{a}<y \"]");
    EXPECT_EQ(DumpXml("<a v='\xc3\xa9\xe2\x82\xac'/>"), "a[v=\"\\u{e9}\\u{20ac}\"]");
    // A missing closing quote takes the value to the end of the input.
    EXPECT_EQ(DumpXml("<a v='open to the end/>"), "a[v=\"open to the end/>\"]");
}

TEST(XmlParse, ReferencesInsideAttributeValues)
{
    EXPECT_EQ(DumpXml("<a v='&lt;&gt;&amp;&apos;&quot;'/>"), "a[v=\"<>&'\\u{22}\"]");
    EXPECT_EQ(DumpXml("<a v='&#65;&#x42;&#x6a;'/>"), "a[v=\"ABj\"]");
    // A stray '&' swallows everything up to the next ';', closing quote included.
    EXPECT_EQ(DumpXml("<a v='a & b' w='1;' x='2'/>"), "a[v=\"a \\u{0}\" x=\"2\"]");
    // Unknown names give a character 0.
    EXPECT_EQ(DumpXml("<a v='x&nbsp;y'/>"), "a[v=\"x\\u{0}y\"]");
    // Even with bKeepAmpersand, attribute values are decoded.
    EXPECT_EQ(DumpXml("<a v='&amp;'>&amp;</a>", 0, 1), "a[v=\"&\"]{\"&amp;\"}");
}

TEST(XmlParse, RepeatedAttributeKeepsFirstPlaceAndLastValue)
{
    EXPECT_EQ(DumpXml("<e a='1' b='x' a='2'/>"), "e[a=\"2\" b=\"x\"]");
    // An unprefixed repeat matches the prefixed item and keeps its prefix.
    EXPECT_EQ(DumpXml("<e p:a='1' a='2'/>"), "e[p:a=\"2\"]");
    // A prefixed repeat only matches that prefix.
    EXPECT_EQ(DumpXml("<e a='1' p:a='2'/>"), "e[a=\"1\" p:a=\"2\"]");
}

TEST(XmlParse, PrefixesOfTagsAndAttributes)
{
    ElementPtr root = ParseXml("<p:x q:y='1'/>");
    ASSERT_TRUE(root);
    EXPECT_EQ(Str(root->GetNamespace(1)), "p");
    EXPECT_EQ(Str(root->GetTagName(0)), "x");
    EXPECT_EQ(Str(root->GetTagName(1)), "p:x");
    CZR_WideString value;
    EXPECT_TRUE(root->GetAttrValue("y", value));
    EXPECT_EQ(WStr(value), L"1");
    value.Empty();
    EXPECT_TRUE(root->GetAttrValue("q:y", value));
    EXPECT_EQ(WStr(value), L"1");
    EXPECT_FALSE(root->GetAttrValue("p:y", value));

    // Every ':' ends a prefix: the last part before the name wins.
    EXPECT_EQ(DumpXml("<a:b:c d:e:f='1'/>"), "b:c[e:f=\"1\"]");
    EXPECT_EQ(DumpXml("<:r/>"), "r");
    EXPECT_EQ(DumpXml("<r-1.x_y\xc3\xa9/>"), "r-1.x_y\xc3\xa9");
}

TEST(XmlParse, ProcessingInstructionsCommentsAndDeclarations)
{
    EXPECT_EQ(DumpXml("<?xml version='1.0'?><!-- c --><r/>"), "r");
    EXPECT_EQ(DumpXml("\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r/>"), "r");
    EXPECT_EQ(DumpXml("<a><![CDATA[x]]></a>"), "a");
    EXPECT_EQ(DumpXml("<a>x <?pi stuff?> y</a>"), "a{\"x y\"}");
    EXPECT_EQ(DumpXml("<a><!ELEMENT a ANY> <b/></a>"), "a{b}");
    EXPECT_EQ(DumpXml("<a>t<!-- never closed"), "a{\"t\"}");
}

TEST(XmlParse, DocumentTypeDeclarationBeforeTheRoot)
{
    EXPECT_EQ(DumpXml("<!DOCTYPE r><r/>"), "r");
    EXPECT_EQ(DumpXml("<!DOCTYPE r SYSTEM \"r.dtd\">\n<!-- c -->\n<r a='1'/>"), "r[a=\"1\"]");
    EXPECT_EQ(DumpXml("<!DOCTYPE r [\n<!ELEMENT r ANY>\n<!-- a > in a comment -->\n]>\n<r/>"), "r");
}

TEST(XmlParse, TextAroundSkippedMarkupStaysOneRun)
{
    EXPECT_EQ(DumpXml("<a>one<!-- c -->two</a>"), "a{\"onetwo\"}");
    EXPECT_EQ(DumpXml("<a>one <!-- c --> two</a>"), "a{\"one two\"}");
    EXPECT_EQ(DumpXml("<a>x<![CDATA[dropped]]>y</a>"), "a{\"xy\"}");
}

TEST(XmlParse, LiteralEndsAreFoundAfterPartialMatches)
{
    EXPECT_EQ(DumpXml("<!-- x ---><r/>"), "r");
    EXPECT_EQ(DumpXml("<r>a<!---->b</r>"), "r{\"ab\"}");
    EXPECT_EQ(DumpXml("<r><![CDATA[x]]]></r><z/>"), "r");
    EXPECT_EQ(DumpXml("<r>a<![CDATA[]]]]]>b</r>"), "r{\"ab\"}");
    EXPECT_EQ(DumpXml("<?pi ?" "?><r/>"), "r");
}

TEST(XmlParse, WhitespaceTrimmingAndKeeping)
{
    EXPECT_EQ(DumpXml("<a>  x  <b/>  y  </a>"), "a{\"x\",b,\"y\"}");
    // Spaces after a child element are skipped even when spaces are kept.
    EXPECT_EQ(DumpXml("<a>  x  <b/>  y  </a>", 1), "a{\"  x  \",b,\"y  \"}");
    EXPECT_EQ(DumpXml("<a>\n  <b/>\n  <c/>\n</a>"), "a{b,c}");
    EXPECT_EQ(DumpXml("<a>\n  <b/>\n  <c/>\n</a>", 1), "a{\"\\u{a}  \",b,c}");
    EXPECT_EQ(DumpXml("<a>line one\r\n\tline two \r\n</a>"), "a{\"line one\\u{d}\\u{a}\\u{9}line two\"}");
    EXPECT_EQ(DumpXml("<a>   </a>"), "a");
    EXPECT_EQ(DumpXml("<a>   </a>", 1), "a{\"   \"}");
}

TEST(XmlParse, TextRunsAndChildrenInterleave)
{
    EXPECT_EQ(DumpXml("<p>Hello <b>bold</b> and <i>it</i>!</p>"), "p{\"Hello\",b{\"bold\"},\"and\",i{\"it\"},\"!\"}");
    EXPECT_EQ(DumpXml("<a>1 &lt; 2 &amp;&amp; 3 &gt; 2</a>"), "a{\"1 < 2 && 3 > 2\"}");
    EXPECT_EQ(DumpXml("<a>a > b</a>"), "a{\"a > b\"}");
}

TEST(XmlParse, CharacterReferencesInText)
{
    EXPECT_EQ(DumpXml("<a>&lt;&#65;&#x41;&#X41;&unknown;x</a>"), "a{\"<AA)\\u{0}x\"}");
    // The trailing character 0 is trimmed unless spaces are kept.
    EXPECT_EQ(DumpXml("<a>&lt;&#65;&#x41;&#X41;&unknown;</a>"), "a{\"<AA)\"}");
    EXPECT_EQ(DumpXml("<a>&lt;&#65;&#x41;&#X41;&unknown;</a>", 1), "a{\"<AA)\\u{0}\"}");
    EXPECT_EQ(DumpXml("<a>&#x1F600;&#233;&#xE9;</a>"), "a{\"\\u{1f600}\\u{e9}\\u{e9}\"}");
    // Non-digits inside a numeric reference are skipped; the code wraps at 32 bits.
    EXPECT_EQ(DumpXml("<a>&#6z5;&#4294967361;&#x1_0000_0041;</a>"), "a{\"AAA\"}");
    EXPECT_EQ(DumpXml("<a>x&#;y</a>", 1), "a{\"x\\u{0}y\"}");
    // A reference without ';' runs to the end of the input.
    EXPECT_EQ(DumpXml("<a>x&amp</a>"), "a{\"x\"}");
    // With bKeepAmpersand references in text stay as they are.
    EXPECT_EQ(DumpXml("<a>&amp;&#65;</a>", 0, 1), "a{\"&amp;&#65;\"}");
}

TEST(XmlParse, Utf8InText)
{
    EXPECT_EQ(DumpXml("<a>\xc3\xa9</a>"), "a{\"\\u{e9}\"}");
    EXPECT_EQ(DumpXml("<a>x\xa9y</a>"), "a{\"xy\"}");
    // A reference drops a half-decoded sequence.
    EXPECT_EQ(DumpXml("<a>\xc3&amp;\xa9</a>"), "a{\"&\"}");
}

TEST(XmlParse, MalformedChildLosesOnlyThatChild)
{
    // The byte that gave b up is consumed; the </b> then closes a.
    EXPECT_EQ(DumpXml("<a><b c d='1'>x</b><e/></a>"), "a{\"='1'>x\"}");
    EXPECT_EQ(DumpXml("<a><b/><c 1/><d/></a>"), "a{b,\"/>\",d}");
    EXPECT_EQ(DumpXml("<a>< b>t</a>"), "a{\"b>t\"}");
}

TEST(XmlParse, TruncatedDocumentKeepsWhatWasRead)
{
    EXPECT_EQ(DumpXml("<a><b>text"), "a{b{\"text\"}}");
    EXPECT_EQ(DumpXml("<a x='1'><b y='2'"), "a[x=\"1\"]{b[y=\"2\"]}");
    EXPECT_EQ(DumpXml("<a><b>t</b>u<"), "a{b{\"t\"},\"u\"}");
    EXPECT_EQ(DumpXml("<a"), "a");
    EXPECT_EQ(DumpXml("<a b"), "a");
    EXPECT_EQ(DumpXml("<a b="), "a");
}

TEST(XmlParse, ParsedEndStopsAfterTheRoot)
{
    int64_t end = -1;
    ElementPtr root = ParseXml("<a/><b/>", 0, 0, &end);
    EXPECT_EQ(Dump(root.get()), "a");
    EXPECT_EQ(end, 4);

    const std::string doc = "<?xml?>\n<a>x</a >  <b/>";
    root = ParseXml(doc, 0, 0, &end);
    EXPECT_EQ(Dump(root.get()), "a{\"x\"}");
    EXPECT_EQ(end, static_cast<int64_t>(doc.find("  <b/>")));

    root = ParseXml("<a><b>", 0, 0, &end);
    EXPECT_EQ(end, 6);
    root = ParseXml("   ", 0, 0, &end);
    EXPECT_FALSE(root);
    EXPECT_EQ(end, 3);
    root = ParseXml("", 0, 0, &end);
    EXPECT_EQ(end, 0);
    root = ParseXml("<a b c>", 0, 0, &end);
    EXPECT_FALSE(root);
    EXPECT_EQ(end, 6); // the byte that made the tag malformed was consumed
}

TEST(XmlParse, DeepNestingNeedsNoRecursion)
{
    const int depth = 100000;
    std::string doc;
    doc.reserve(depth * 3 + 16);
    for (int i = 0; i < depth; ++i)
        doc += "<a>";
    doc += "core";
    ElementPtr root = ParseXml(doc);
    ASSERT_TRUE(root);
    int levels = 0;
    const CXML_Element* innermost = nullptr;
    for (const CXML_Element* e = root.get(); e; e = e->GetElement(0)) {
        innermost = e;
        ++levels;
    }
    EXPECT_EQ(levels, depth);
    ASSERT_NE(innermost, nullptr);
    EXPECT_EQ(WStr(innermost->GetContent(0)), L"core");
    EXPECT_EQ(innermost->GetNamespaceURI("p").GetLength(), 0);

    // Closing every level gives the same depth, and the trailing sibling is not read.
    for (int i = 0; i < depth; ++i)
        doc += "</a>";
    doc += "<never/>";
    int64_t end = 0;
    root = ParseXml(doc, 0, 0, &end);
    ASSERT_TRUE(root);
    EXPECT_EQ(end, static_cast<int64_t>(doc.size() - 8));
    EXPECT_EQ(root->CountChildren(), 1);
}

TEST(XmlParse, BlockBoundariesDoNotChangeTheTree)
{
    const std::vector<std::string> docs = {
        "\xef\xbb\xbf<?xml version='1.0'?><!DOCTYPE r><!-- c --><p:r xmlns:p='urn:x' a='&lt;&#x42;\xc3\xa9'>"
        "one <![CDATA[skip]]]> two &amp; \xe2\x82\xac <c/>  <d e=\"f\">g</d><?pi?>tail&#233;</p:r><z/>",
        "<a><b c d='1'>x</b><e/>< f>&unknown;</a>",
        "<a v='unterminated &amp",
    };
    for (const std::string& doc : docs) {
        for (int keep = 0; keep < 4; ++keep) {
            int64_t wholeEnd = 0;
            const std::string expected = Dump(ParseXml(doc, keep & 1, keep >> 1, &wholeEnd).get());
            for (size_t block = 1; block <= 8; ++block) {
                CXML_DataBufAcc reader(reinterpret_cast<const uint8_t*>(doc.data()), doc.size(), block);
                int64_t end = 0;
                ElementPtr root(CXML_Element::Parse(&reader, keep & 1, &end, nullptr, keep >> 1));
                EXPECT_EQ(Dump(root.get()), expected) << "block size " << block << ", doc " << doc;
                EXPECT_EQ(end, wholeEnd) << "block size " << block;
            }
        }
    }
}

TEST(XmlParse, EveryAllocationGoesThroughTheAllocator)
{
    const std::string doc = "<r a='1' b='2'><c>text<d/></c>tail<e f='g'/></r>";
    CountingAllocator allocator;
    CXML_Element* root = CXML_Element::Parse(doc.data(), doc.size(), 0, nullptr, &allocator);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->GetAllocator(), &allocator);
    EXPECT_EQ(root->GetElement(0)->GetAllocator(), &allocator);
    EXPECT_EQ(Dump(root), "r[a=\"1\" b=\"2\"]{c{\"text\",d},\"tail\",e[f=\"g\"]}");
    // At least one for each element and each text child.
    EXPECT_GE(allocator.allocations, 6);
    delete root;
    EXPECT_EQ(allocator.Outstanding(), 0);
}

namespace {

// Parses doc once with every allocation in turn failing (and once with none failing):
// the first failing gives no tree, a parse without failures gives the whole document,
// whatever tree comes back passes checkRoot and nothing stays allocated. Returns the
// number of allocations a whole parse makes.
long ParseFailingEachAllocation(const std::string& doc, const std::function<void(CXML_Element*)>& checkRoot)
{
    CountingAllocator probe;
    delete CXML_Element::Parse(doc.data(), doc.size(), 0, nullptr, &probe);
    const std::string complete = DumpXml(doc);
    for (long failAt = 1; failAt <= probe.allocations + 1; ++failAt) {
        CountingAllocator allocator;
        allocator.failAt = failAt;
        CXML_Element* root = CXML_Element::Parse(doc.data(), doc.size(), 0, nullptr, &allocator);
        if (failAt == 1) {
            EXPECT_EQ(root, nullptr);
        }
        if (failAt > probe.allocations) {
            EXPECT_EQ(Dump(root), complete);
        }
        if (root)
            checkRoot(root);
        delete root;
        EXPECT_EQ(allocator.Outstanding(), 0) << "failing from allocation " << failAt;
    }
    return probe.allocations;
}

} // namespace

TEST(XmlParse, AllocationFailureAnywhereEndsParsingCleanly)
{
    // The root's children outgrow the pair held in the element and then its first storage.
    const std::string doc = "<r a='1' b='2'><c>text<d/></c>tail<e f='g'>" + std::string(300, 'x')
        + "</e><f/><g h='i'/></r>";
    const long allocations =
        ParseFailingEachAllocation(doc, [](CXML_Element* root) { EXPECT_EQ(Str(root->GetTagName()), "r"); });
    EXPECT_GT(allocations, 10);
}

namespace {

// A parser over a document, ready to run single steps.
struct StepParser {
    explicit StepParser(const std::string& text) : doc(text) { parser.Init(Data(), doc.size()); }
    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(doc.data()); }
    std::string Rest() const { return doc.substr(parser.m_dwIndex); }
    std::string doc;
    CXML_Parser parser;
};

} // namespace

TEST(XmlParserSteps, GetNameStopsBeforeTheFirstOtherByte)
{
    StepParser p("a:b:c=rest");
    CZR_ByteString prefix, name;
    p.parser.GetName(prefix, name);
    EXPECT_EQ(Str(prefix), "b");
    EXPECT_EQ(Str(name), "c");
    EXPECT_EQ(p.Rest(), "=rest");

    StepParser q(" x");
    q.parser.GetName(prefix, name);
    EXPECT_TRUE(prefix.IsEmpty());
    EXPECT_TRUE(name.IsEmpty());
    EXPECT_EQ(q.Rest(), " x");
}

TEST(XmlParserSteps, SkipLiteralsConsumesThroughTheLiteralOrToTheEnd)
{
    StepParser p("ab-->cd-->ef");
    p.parser.SkipLiterals("-->");
    EXPECT_EQ(p.Rest(), "cd-->ef");
    StepParser q("--->x");
    q.parser.SkipLiterals("-->");
    EXPECT_EQ(q.Rest(), "x");
    StepParser r("abab-abac!");
    r.parser.SkipLiterals("abac");
    EXPECT_EQ(r.Rest(), "!");
    StepParser s("no end here");
    s.parser.SkipLiterals("?>");
    EXPECT_EQ(s.Rest(), "");
    EXPECT_TRUE(s.parser.IsEOF());
}

TEST(XmlParserSteps, GetCharRefReadsThroughTheSemicolon)
{
    StepParser p("#x4A;rest");
    EXPECT_EQ(p.parser.GetCharRef(), 0x4Au);
    EXPECT_EQ(p.Rest(), "rest");
    StepParser q("quot;x");
    EXPECT_EQ(q.parser.GetCharRef(), static_cast<uint32_t>('"'));
    EXPECT_EQ(q.Rest(), "x");
    StepParser r("amplifier;x");
    EXPECT_EQ(r.parser.GetCharRef(), 0u);
    EXPECT_EQ(r.Rest(), "x");
    StepParser s("#xffffffff;");
    EXPECT_EQ(s.parser.GetCharRef(), 0xFFFFFFFFu);
}

TEST(XmlParserSteps, GetAttrValueNeedsAQuote)
{
    StepParser p("bare rest");
    CZR_WideString value(L"old");
    p.parser.GetAttrValue(value);
    EXPECT_TRUE(value.IsEmpty());
    EXPECT_EQ(p.Rest(), "bare rest");
    StepParser q("\"a'b\" rest");
    q.parser.GetAttrValue(value);
    EXPECT_EQ(WStr(value), L"a'b");
    EXPECT_EQ(q.Rest(), " rest");
}

namespace {

// UTF-8 of a code point (up to U+10FFFF).
std::string Utf8(uint32_t code)
{
    std::string out;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
    return out;
}

// A long text of mixed characters, as the document must hold it (UTF-8, with the
// characters that need it written as references of each kind) and as the parser must
// give it back.
struct LongText {
    std::string xml;
    std::wstring text;
};

LongText MakeLongText(size_t characters, unsigned seed)
{
    static const uint32_t kCodes[] = {'a', 'Z', ' ', '7', 0xE9, 0x20AC, 0x1F600, 0x4E2D, '&', '<', '>', '"', 0x3A9};
    LongText out;
    unsigned x = seed;
    for (size_t i = 0; i < characters; ++i) {
        x = x * 1103515245u + 12345u;
        // Mostly ASCII runs, as real documents are, with the rest mixed in.
        const uint32_t code = (x >> 16) % 4 ? static_cast<uint32_t>('a' + (x >> 20) % 26)
                                            : kCodes[(x >> 16) % (sizeof kCodes / sizeof kCodes[0])];
        out.text += static_cast<wchar_t>(code);
        switch (code) {
        case '&': out.xml += "&amp;"; break;
        case '<': out.xml += (x & 0x100) ? "&lt;" : "&#60;"; break;
        case '>': out.xml += "&gt;"; break;
        case '"': out.xml += "&quot;"; break;
        case 0x3A9: out.xml += "&#x3a9;"; break;
        default: out.xml += Utf8(code);
        }
    }
    return out;
}

// A block reader that, as a reader of a stream would, hands out every block in the same
// buffer: moving on overwrites the previous block (first with filler), so whatever the
// parser still held of it is lost.
class ReusingReader : public IZR_BufferRead {
public:
    ReusingReader(const std::string& doc, size_t blockSize)
        : m_Doc(doc), m_BlockSize(blockSize), m_Block(blockSize), m_Offset(0), m_Size(0)
    {
    }
    void Release() override {}
    int IsEOF() override { return m_Offset + m_Size >= m_Doc.size(); }
    int64_t GetPosition() override { return static_cast<int64_t>(m_Offset + m_Size); }
    size_t ReadBlock(void*, size_t) override { return 0; }
    int ReadNextBlock(int bFromStart = 0) override
    {
        const size_t next = bFromStart ? 0 : m_Offset + m_Size;
        if (next >= m_Doc.size())
            return 0;
        std::fill(m_Block.begin(), m_Block.end(), 'Z');
        m_Offset = next;
        m_Size = std::min(m_BlockSize, m_Doc.size() - next);
        std::copy(m_Doc.begin() + static_cast<std::ptrdiff_t>(next),
                  m_Doc.begin() + static_cast<std::ptrdiff_t>(next + m_Size), m_Block.begin());
        return 1;
    }
    const uint8_t* GetBlockBuffer() override { return m_Block.data(); }
    size_t GetBlockSize() override { return m_Size; }
    int64_t GetBlockOffset() override { return static_cast<int64_t>(m_Offset); }

private:
    const std::string m_Doc;
    const size_t m_BlockSize;
    std::vector<uint8_t> m_Block;
    size_t m_Offset;
    size_t m_Size;
};

// Parses `doc` whole and through block readers of many sizes, over the document and over
// a buffer reused from block to block; every parse must give `expected` and the same
// parsed end.
void ExpectSameTreeInBlocks(const std::string& doc, const std::string& expected, int bKeepSpaces = 0,
                            int bKeepAmpersand = 0)
{
    int64_t wholeEnd = -1;
    EXPECT_EQ(Dump(ParseXml(doc, bKeepSpaces, bKeepAmpersand, &wholeEnd).get()), expected);
    for (size_t block : {1, 2, 3, 4, 5, 7, 16, 63, 64, 65, 1000, 4096}) {
        CXML_DataBufAcc reader(reinterpret_cast<const uint8_t*>(doc.data()), doc.size(), block);
        int64_t end = -1;
        ElementPtr root(CXML_Element::Parse(&reader, bKeepSpaces, &end, nullptr, bKeepAmpersand));
        EXPECT_EQ(Dump(root.get()), expected) << "block size " << block;
        EXPECT_EQ(end, wholeEnd) << "block size " << block;
        ReusingReader reusing(doc, block);
        end = -1;
        root.reset(CXML_Element::Parse(&reusing, bKeepSpaces, &end, nullptr, bKeepAmpersand));
        EXPECT_EQ(Dump(root.get()), expected) << "block size " << block << ", buffer reused";
        EXPECT_EQ(end, wholeEnd) << "block size " << block << ", buffer reused";
    }
}

} // namespace

TEST(XmlParse, LongValuesAndTextCrossBlockBoundaries)
{
    const LongText value = MakeLongText(3000, 1);
    const LongText text = MakeLongText(5000, 2);
    const LongText second = MakeLongText(700, 3);
    const std::string doc = "<r v=\"" + value.xml + "\" w='" + second.xml + "'>" + text.xml + "<c/>" + second.xml
        + "</r>";
    // Leading spaces of a text segment are skipped after a tag, trailing ones trimmed.
    auto trimmed = [](std::wstring s) {
        while (!s.empty() && s.back() == L' ')
            s.pop_back();
        while (!s.empty() && s.front() == L' ')
            s.erase(0, 1);
        return s;
    };
    const std::string expected = "r[v=\"" + Escape(value.text) + "\" w=\"" + Escape(second.text) + "\"]{\""
        + Escape(trimmed(text.text)) + "\",c,\"" + Escape(trimmed(second.text)) + "\"}";
    ExpectSameTreeInBlocks(doc, expected);

    // With ampersands kept, the text keeps its references as written.
    ElementPtr root = ParseXml(doc, 1, 1);
    ASSERT_TRUE(root);
    ASSERT_EQ(root->CountChildren(), 3);
    EXPECT_NE(WStr(root->GetContent(0)).find(L"&amp;"), std::wstring::npos);
    CZR_WideString attr;
    ASSERT_TRUE(root->GetAttrValue("v", attr));
    EXPECT_EQ(WStr(attr), value.text); // attribute values are decoded all the same
}

TEST(XmlParse, MultibyteCharactersSplitAnywhere)
{
    // Every split of these sequences across blocks, in text and in attribute values,
    // before and after references and markup.
    const std::string chars = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf8\x88\x80\x80\x80";
    const std::wstring wide = std::wstring(L"\u00e9\u20ac\U0001F600") + static_cast<wchar_t>(0x200000);
    const std::string doc = "<a v='" + chars + "&#233;" + chars + "'>" + chars + "<!--c-->" + chars + "&gt;"
        + chars + "<?p?>" + chars + "</a>";
    const std::string expected = "a[v=\"" + Escape(wide + L"\u00e9" + wide) + "\"]{\""
        + Escape(wide + wide + L">" + wide + wide) + "\"}";
    ExpectSameTreeInBlocks(doc, expected);
    ExpectSameTreeInBlocks(doc, expected, 1, 0);
    // A sequence cut by a reference or skipped markup is dropped, wherever the block ends.
    // The bytes that would have completed it are then dropped too.
    ExpectSameTreeInBlocks("<a v='x\xe2\x82&amp;\xacy'>p\xf0\x9f<!--c-->\x98\x80q\xc3&lt;\xa9r</a>",
                           "a[v=\"x&y\"]{\"pq<r\"}");
}

TEST(XmlParse, RunsEndingAtEveryOffsetInEveryBlockSize)
{
    // Values and text of every length across two 16-byte stretches, with a reference or a
    // multibyte character at every position, and a reference right at the end of the run.
    for (size_t length = 1; length <= 34; length += 3) {
        for (size_t pos = 0; pos <= length; pos += 2) {
            std::string ascii;
            for (size_t i = 0; i < length; ++i)
                ascii += static_cast<char>('a' + i % 26);
            const std::string value = ascii.substr(0, pos) + "&amp;" + ascii.substr(pos) + "&#233;";
            const std::string text = ascii.substr(0, pos) + "\xc3\xa9" + ascii.substr(pos) + "&lt;";
            const std::wstring wideAscii(ascii.begin(), ascii.end());
            const std::wstring wideValue = wideAscii.substr(0, pos) + L"&" + wideAscii.substr(pos) + L"\u00e9";
            const std::wstring wideText = wideAscii.substr(0, pos) + L"\u00e9" + wideAscii.substr(pos) + L"<";
            const std::string doc = "<r v=\"" + value + "\" w='" + text.substr(0, pos) + "'>" + text + "</r>";
            const std::wstring wideW(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(pos));
            const std::string expected = "r[v=\"" + Escape(wideValue) + "\" w=\"" + Escape(wideW) + "\"]{\""
                + Escape(wideText) + "\"}";
            SCOPED_TRACE(doc);
            ExpectSameTreeInBlocks(doc, expected);
        }
    }
}

TEST(XmlParse, NamesOfAStartTagSurviveEveryBlockEnd)
{
    // Tags and attributes with and without prefixes, every block end falling somewhere in
    // a start tag, also where a repeated attribute must be recognised after it.
    const std::string doc = "<p:root a='1' q:bb=\"2\" ccc = '3'\n dd:e='4' a='5'>"
                            "<x:item first='one' second:s='two' third=\"three\"/><item2 k='v' k='w'>t</item2>"
                            "</p:root>";
    ExpectSameTreeInBlocks(doc, "p:root[a=\"5\" q:bb=\"2\" ccc=\"3\" dd:e=\"4\"]{x:item[first=\"one\" "
                                "second:s=\"two\" third=\"three\"],item2[k=\"w\"]{\"t\"}}");
    for (size_t block = 1; block <= 70; ++block) {
        ReusingReader reusing(doc, block);
        ElementPtr root(CXML_Element::Parse(&reusing));
        EXPECT_EQ(Dump(root.get()), DumpXml(doc)) << "block size " << block;
    }
}

TEST(XmlParse, NamesLongerThanABlock)
{
    const std::string prefix(300, 'p');
    const std::string name = std::string(500, 'n') + "-._9";
    const std::string attr(400, 'q');
    const std::string doc = "<" + prefix + ":" + name + " " + prefix + ":" + attr + "='1' x:y:" + attr
        + "=\"2\"><" + name + "/></" + prefix + ":" + name + ">";
    const std::string expected = prefix + ":" + name + "[" + prefix + ":" + attr + "=\"1\" y:" + attr + "=\"2\"]{"
        + name + "}";
    ExpectSameTreeInBlocks(doc, expected);
}

TEST(XmlParse, ParsedAttributesMatchAttributesStoredOneByOne)
{
    // Repeated names, with and without prefixes, merge exactly as SetAttrValue merges
    // them: first place and prefix, last value; an unprefixed name matches any prefix.
    const std::vector<std::vector<std::string>> lists = {
        {"p", "a", "1", "", "a", "2", "q", "a", "3", "", "b", "4", "p", "b", "5", "", "b", "6"},
        {"", "x", "1", "", "x", "", "", "x", "3"},
        {"n", "k", "1", "m", "k", "2", "n", "k", "3", "", "k", "4"},
    };
    for (const auto& list : lists) {
        std::string doc = "<e";
        CXML_Element reference;
        ASSERT_TRUE(reference.SetTag("", "e"));
        for (size_t i = 0; i < list.size(); i += 3) {
            doc += " " + (list[i].empty() ? "" : list[i] + ":") + list[i + 1] + "='" + list[i + 2] + "'";
            std::wstring value(list[i + 2].begin(), list[i + 2].end());
            ASSERT_TRUE(reference.SetAttrValue(list[i].c_str(), list[i + 1].c_str(),
                                               CZR_WideStringC(value.c_str(), static_cast<int32_t>(value.size()))));
        }
        doc += "/>";
        ExpectSameTreeInBlocks(doc, Dump(&reference));
    }
    EXPECT_EQ(DumpXml("<e p:a='1' a='2' q:a='3' b='4' p:b='5' b='6'/>"), "e[p:a=\"2\" q:a=\"3\" b=\"6\" p:b=\"5\"]");
}

TEST(XmlParse, AllocationFailureWithManyAttributesAndLongText)
{
    const LongText text = MakeLongText(400, 4);
    const std::string doc = "<p:r xmlns:p='urn:x' a='1' a='2' p:b='" + text.xml + "'>" + text.xml
        + "<c d='1' e='2' f='3' g='4' h='5'>x</c><c/>" + text.xml + "</p:r>";
    const long allocations = ParseFailingEachAllocation(doc, [](CXML_Element* root) {
        // The root is always complete in itself: its tag and attributes come with it.
        EXPECT_EQ(Str(root->GetTagName(1)), "p:r");
        EXPECT_EQ(root->CountAttrs(), 3);
    });
    EXPECT_GT(allocations, 4);
}
