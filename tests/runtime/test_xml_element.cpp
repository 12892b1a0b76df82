// Reading a parsed tree: children by index and by name, attributes and their
// conversions, namespaces; the byte classes, the name splitter and the memory reader.
#include "xmlbytetypes.h"
#include "xmldatabufacc.h"
#include "xmltesthelpers.h"

#include <gtest/gtest.h>

#include <clocale>
#include <climits>
#include <functional>
#include <string>

namespace {

const char* const kDoc =
    "<root xmlns='urn:default' xmlns:p='urn:p\xc3\xa9' id='7'>"
    "lead<p:item n='1'/>mid<item n='2'/><p:item n='3'><p:sub/></p:item><q:item n='4'/>"
    "</root>";

} // namespace

TEST(XmlElement, ChildrenByIndex)
{
    ElementPtr root = ParseXml(kDoc);
    ASSERT_TRUE(root);
    ASSERT_EQ(root->CountChildren(), 6);
    EXPECT_EQ(root->GetChildType(0), CXML_Element::Content);
    EXPECT_EQ(root->GetChildType(1), CXML_Element::Element);
    EXPECT_EQ(root->GetChildType(2), CXML_Element::Content);
    EXPECT_EQ(root->GetChildType(-1), CXML_Element::Invalid);
    EXPECT_EQ(root->GetChildType(6), CXML_Element::Invalid);
    EXPECT_EQ(root->GetChildType(INT32_MAX), CXML_Element::Invalid);

    EXPECT_EQ(root->GetElement(0), nullptr); // a text child
    EXPECT_EQ(root->GetElement(-1), nullptr);
    EXPECT_EQ(root->GetElement(6), nullptr);
    ASSERT_NE(root->GetElement(1), nullptr);
    EXPECT_EQ(Str(root->GetElement(1)->GetTagName(1)), "p:item");
    EXPECT_EQ(root->GetElement(1)->GetParent(), root.get());
    EXPECT_EQ(root->GetParent(), nullptr);

    EXPECT_EQ(WStr(root->GetContent(0)), L"lead");
    EXPECT_EQ(WStr(root->GetContent(2)), L"mid");
    EXPECT_TRUE(root->GetContent(1).IsEmpty()); // an element
    EXPECT_TRUE(root->GetContent(-1).IsEmpty());
    EXPECT_TRUE(root->GetContent(99).IsEmpty());
}

TEST(XmlElement, ChildrenByName)
{
    ElementPtr root = ParseXml(kDoc);
    ASSERT_TRUE(root);
    // Without a prefix every prefix matches.
    EXPECT_EQ(root->CountElements("", "item"), 4);
    EXPECT_EQ(root->CountElements("p", "item"), 2);
    EXPECT_EQ(root->CountElements("q", "item"), 1);
    EXPECT_EQ(root->CountElements("z", "item"), 0);
    EXPECT_EQ(root->CountElements("", "sub"), 0); // children only, not grandchildren
    EXPECT_EQ(root->CountElements("", "ite"), 0);

    auto n = [](const CXML_Element* e) {
        CZR_WideString value;
        return e && e->GetAttrValue("n", value) ? WStr(value) : std::wstring(L"-");
    };
    EXPECT_EQ(n(root->GetElement("", "item", 0)), L"1");
    EXPECT_EQ(n(root->GetElement("", "item", 1)), L"2");
    EXPECT_EQ(n(root->GetElement("", "item", 3)), L"4");
    EXPECT_EQ(n(root->GetElement("p", "item", 1)), L"3");
    EXPECT_EQ(root->GetElement("p", "item", 2), nullptr);
    EXPECT_EQ(root->GetElement("", "item", 4), nullptr);
    EXPECT_EQ(root->GetElement("", "item", -1), nullptr);
}

TEST(XmlElement, FindElementGivesTheChildIndex)
{
    ElementPtr root = ParseXml(kDoc);
    ASSERT_TRUE(root);
    const CXML_Element* third = root->GetElement("p", "item", 1);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(root->FindElement(third), 4);
    EXPECT_EQ(root->FindElement(root->GetElement(1)), 1);
    EXPECT_EQ(root->FindElement(third->GetElement(0)), -1); // a grandchild
    EXPECT_EQ(root->FindElement(root.get()), -1);
    EXPECT_EQ(root->FindElement(nullptr), -1);
}

TEST(XmlElement, AttributesByIndex)
{
    ElementPtr root = ParseXml("<e p:a='1' b='two' q:c='&#x20AC;'/>");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->CountAttrs(), 3);
    EXPECT_EQ(root->GetAttrMap().GetSize(), 3);
    CZR_ByteString prefix, name;
    CZR_WideString value;
    root->GetAttrByIndex(0, prefix, name, value);
    EXPECT_EQ(Str(prefix), "p");
    EXPECT_EQ(Str(name), "a");
    EXPECT_EQ(WStr(value), L"1");
    root->GetAttrByIndex(2, prefix, name, value);
    EXPECT_EQ(Str(prefix), "q");
    EXPECT_EQ(Str(name), "c");
    EXPECT_EQ(WStr(value), L"\u20ac");
    root->GetAttrByIndex(1, prefix, name, value);
    EXPECT_TRUE(prefix.IsEmpty());
    EXPECT_EQ(Str(name), "b");

    // Out of range: the outputs stay as they were.
    for (int32_t index : {-1, 3, INT32_MAX}) {
        prefix = "keep";
        name = "keep";
        value = L"keep";
        root->GetAttrByIndex(index, prefix, name, value);
        EXPECT_EQ(Str(prefix), "keep");
        EXPECT_EQ(Str(name), "keep");
        EXPECT_EQ(WStr(value), L"keep");
    }
    EXPECT_EQ(root->GetAttrMap().GetAt(3), nullptr);

    ElementPtr bare = ParseXml("<e/>");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->CountAttrs(), 0);
    EXPECT_EQ(bare->GetAttrMap().GetAt(0), nullptr);
}

TEST(XmlElement, AttributeLookup)
{
    ElementPtr root = ParseXml("<e a:x='1' b:x='2' y='3' empty=''/>");
    ASSERT_TRUE(root);
    CZR_WideString value(L"untouched");
    EXPECT_FALSE(root->GetAttrValue("missing", value));
    EXPECT_EQ(WStr(value), L"untouched");
    EXPECT_FALSE(root->GetAttrValue("c:x", value));
    EXPECT_EQ(WStr(value), L"untouched");

    // Unqualified: the first attribute with that local name, whatever its prefix.
    EXPECT_TRUE(root->GetAttrValue("x", value));
    EXPECT_EQ(WStr(value), L"1");
    EXPECT_TRUE(root->GetAttrValue("b:x", value));
    EXPECT_EQ(WStr(value), L"2");
    EXPECT_TRUE(root->GetAttrValue("b", "x", value));
    EXPECT_EQ(WStr(value), L"2");
    EXPECT_TRUE(root->GetAttrValue("", "y", value));
    EXPECT_EQ(WStr(value), L"3");
    EXPECT_TRUE(root->GetAttrValue("empty", value));
    EXPECT_TRUE(value.IsEmpty());

    EXPECT_TRUE(root->HasAttr("y"));
    EXPECT_TRUE(root->HasAttr("a:x"));
    EXPECT_TRUE(root->HasAttr("empty"));
    EXPECT_FALSE(root->HasAttr("a:y"));
    EXPECT_FALSE(root->HasAttr(""));

    const CZR_WideStringL* ptr = root->GetAttrValuePtr("b:x");
    ASSERT_NE(ptr, nullptr);
    EXPECT_EQ(WStr(*ptr), L"2");
    ASSERT_NE(root->GetAttrValuePtr("empty"), nullptr);
    EXPECT_EQ(root->GetAttrValuePtr("empty")->GetLength(), 0);
    EXPECT_EQ(root->GetAttrValuePtr("nope"), nullptr);
}

TEST(XmlElement, IntegerAttributes)
{
    ElementPtr root = ParseXml("<e a='42' b=' -7px' c='abc' d='99999999999' e='-99999999999' f='+3' g=''"
                               " h='2147483647' i='-2147483648' p:j='5'/>");
    ASSERT_TRUE(root);
    int v = 0;
    auto get = [&](const char* name) {
        v = -12345;
        EXPECT_TRUE(root->GetAttrInteger(name, v)) << name;
        return v;
    };
    EXPECT_EQ(get("a"), 42);
    EXPECT_EQ(get("b"), -7);
    EXPECT_EQ(get("c"), 0);
    EXPECT_EQ(get("d"), INT_MAX);
    EXPECT_EQ(get("e"), INT_MIN);
    EXPECT_EQ(get("f"), 3);
    EXPECT_EQ(get("g"), 0);
    EXPECT_EQ(get("h"), INT_MAX);
    EXPECT_EQ(get("i"), INT_MIN);
    EXPECT_EQ(get("p:j"), 5);
    v = 77;
    EXPECT_TRUE(root->GetAttrInteger("p", "j", v));
    EXPECT_EQ(v, 5);
    v = 77;
    EXPECT_FALSE(root->GetAttrInteger("missing", v));
    EXPECT_FALSE(root->GetAttrInteger("q", "j", v));
    EXPECT_EQ(v, 77);
}

TEST(XmlElement, FloatAttributesIgnoreTheLocaleDecimalPoint)
{
    ElementPtr root = ParseXml("<e a='1.5' b='-2.5e1 units' c='x' d=' .25' p:e='8'/>");
    ASSERT_TRUE(root);
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    // A locale whose decimal point is a comma, when the machine has one.
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
        if (std::setlocale(LC_ALL, name))
            break;
    }
    float f = 0;
    EXPECT_TRUE(root->GetAttrFloat("a", f));
    EXPECT_FLOAT_EQ(f, 1.5f);
    EXPECT_TRUE(root->GetAttrFloat("b", f));
    EXPECT_FLOAT_EQ(f, -25.0f);
    EXPECT_TRUE(root->GetAttrFloat("c", f));
    EXPECT_FLOAT_EQ(f, 0.0f);
    EXPECT_TRUE(root->GetAttrFloat("d", f));
    EXPECT_FLOAT_EQ(f, 0.25f);
    EXPECT_TRUE(root->GetAttrFloat("p", "e", f));
    EXPECT_FLOAT_EQ(f, 8.0f);
    f = 9.0f;
    EXPECT_FALSE(root->GetAttrFloat("missing", f));
    EXPECT_FALSE(root->GetAttrFloat("q", "e", f));
    EXPECT_FLOAT_EQ(f, 9.0f);
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(XmlElement, Namespaces)
{
    ElementPtr root = ParseXml(kDoc);
    ASSERT_TRUE(root);
    EXPECT_EQ(Str(root->GetNamespace(0)), "urn:default");
    EXPECT_TRUE(root->GetNamespace(1).IsEmpty());
    const CXML_Element* pItem = root->GetElement(1);
    ASSERT_NE(pItem, nullptr);
    EXPECT_EQ(Str(pItem->GetNamespace(1)), "p");
    // Bound on the parent; the value comes back as UTF-8.
    EXPECT_EQ(Str(pItem->GetNamespace(0)), "urn:p\xc3\xa9");
    const CXML_Element* pSub = root->GetElement("p", "item", 1)->GetElement(0);
    ASSERT_NE(pSub, nullptr);
    EXPECT_EQ(Str(pSub->GetNamespace(0)), "urn:p\xc3\xa9");
    const CXML_Element* qItem = root->GetElement("q", "item", 0);
    ASSERT_NE(qItem, nullptr);
    EXPECT_TRUE(qItem->GetNamespace(0).IsEmpty()); // q is bound nowhere
    EXPECT_EQ(Str(qItem->GetNamespaceURI("")), "urn:default");

    // The nearest binding wins.
    ElementPtr nested = ParseXml("<a xmlns:p='outer'><p:b xmlns:p='inner'/><p:c/></a>");
    ASSERT_TRUE(nested);
    EXPECT_EQ(Str(nested->GetElement(0)->GetNamespace(0)), "inner");
    EXPECT_EQ(Str(nested->GetElement(1)->GetNamespace(0)), "outer");
}

TEST(XmlElement, DeletingADeepTreeNeedsNoRecursion)
{
    // Built by hand, so this does not depend on the parser.
    CountingAllocator allocator;
    auto* root = new (&allocator) CXML_Element(&allocator);
    ASSERT_NE(root, nullptr);
    ASSERT_TRUE(root->SetTag("", "r"));
    CXML_Element* tip = root;
    for (int i = 0; i < 200000; ++i) {
        auto* child = new (&allocator) CXML_Element(&allocator, tip);
        ASSERT_NE(child, nullptr);
        ASSERT_TRUE(child->SetTag("p", "c"));
        ASSERT_TRUE(child->SetAttrValue("", "i", L"v"));
        ASSERT_TRUE(tip->AddChildContent(L"text", 0));
        ASSERT_TRUE(tip->AddChildElement(child));
        tip = child;
    }
    EXPECT_EQ(tip->GetParent()->FindElement(tip), 1);
    delete root;
    EXPECT_EQ(allocator.Outstanding(), 0);
}

TEST(XmlByteTypes, TableMatchesTheClasses)
{
    auto in = [](int c, int lo, int hi) { return c >= lo && c <= hi; };
    for (int c = 0; c < 256; ++c) {
        const bool upper = in(c, 'A', 'Z');
        const bool lower = in(c, 'a', 'z');
        const bool high = in(c, 0x80, 0xFD);
        const bool digit = in(c, '0', '9');
        const uint8_t ch = static_cast<uint8_t>(c);
        EXPECT_EQ(g_ZRCRT_XML_IsWhiteSpace(ch), c <= 0x20 || c == 0xFE || c == 0xFF) << c;
        EXPECT_EQ(g_ZRCRT_XML_IsLetter(ch), upper || lower || high) << c;
        EXPECT_EQ(g_ZRCRT_XML_IsDigital(ch), digit) << c;
        EXPECT_EQ(g_ZRCRT_XML_IsNameIntro(ch), c == ':' || upper || c == '_' || lower || high) << c;
        EXPECT_EQ(g_ZRCRT_XML_IsNameChar(ch), c == '-' || c == '.' || digit || upper || c == '_' || lower || high) << c;
        EXPECT_EQ(g_ZRCRT_XML_IsHexChar(ch), digit || in(c, 'A', 'F') || in(c, 'a', 'f')) << c;
        EXPECT_EQ((g_ZRCRT_XML_ByteTypes[c] & 0x20) != 0, digit || in(c, 'A', 'F')) << c;
        EXPECT_EQ((g_ZRCRT_XML_ByteTypes[c] & 0x40) != 0, in(c, 'A', 'F') || in(c, 'a', 'f')) << c;
        EXPECT_EQ(g_ZRCRT_XML_ByteTypes[c] & 0x80, 0) << c;
    }
}

TEST(XmlByteTypes, HexDigitValues)
{
    const char* digits = "0123456789abcdef";
    const char* upperDigits = "0123456789ABCDEF";
    for (int v = 0; v < 16; ++v) {
        EXPECT_EQ(g_ZRCRT_XML_HexCharValue(static_cast<uint8_t>(digits[v])), v);
        EXPECT_EQ(g_ZRCRT_XML_HexCharValue(static_cast<uint8_t>(upperDigits[v])), v);
    }
    const int others[] = {'g', 'G', 'x', ' ', '/', ':', '@', '`', 0x80, 0xFF};
    for (int other : others)
        EXPECT_EQ(g_ZRCRT_XML_HexCharValue(static_cast<uint8_t>(other)), -1) << other;
}

TEST(XmlByteTypes, SplitQualifiedName)
{
    CZR_ByteStringC prefix, name;
    ZR_XML_SplitQualifiedName("p:name", prefix, name);
    EXPECT_EQ(Str(prefix), "p");
    EXPECT_EQ(Str(name), "name");
    ZR_XML_SplitQualifiedName("a:b:c", prefix, name); // at the first ':'
    EXPECT_EQ(Str(prefix), "a");
    EXPECT_EQ(Str(name), "b:c");
    ZR_XML_SplitQualifiedName("plain", prefix, name);
    EXPECT_TRUE(prefix.IsEmpty());
    EXPECT_EQ(Str(name), "plain");
    ZR_XML_SplitQualifiedName(":x", prefix, name);
    EXPECT_TRUE(prefix.IsEmpty());
    EXPECT_EQ(Str(name), "x");
    ZR_XML_SplitQualifiedName("", prefix, name);
    EXPECT_TRUE(prefix.IsEmpty());
    EXPECT_TRUE(name.IsEmpty());
}

TEST(XmlDataBufAcc, WholeBufferIsOneBlock)
{
    const uint8_t data[] = {'<', 'a', '/', '>'};
    CXML_DataBufAcc reader(data, sizeof data);
    EXPECT_FALSE(reader.IsEOF());
    ASSERT_TRUE(reader.ReadNextBlock(0));
    EXPECT_EQ(reader.GetBlockBuffer(), data);
    EXPECT_EQ(reader.GetBlockSize(), sizeof data);
    EXPECT_EQ(reader.GetBlockOffset(), 0);
    EXPECT_TRUE(reader.IsEOF());
    EXPECT_EQ(reader.GetPosition(), 4);
    EXPECT_FALSE(reader.ReadNextBlock(0));
    char scratch[4];
    EXPECT_EQ(reader.ReadBlock(scratch, sizeof scratch), 0u);
    ASSERT_TRUE(reader.ReadNextBlock(1)); // from the start again
    EXPECT_EQ(reader.GetBlockSize(), sizeof data);

    CXML_DataBufAcc empty(data, 0);
    EXPECT_TRUE(empty.IsEOF());
    EXPECT_FALSE(empty.ReadNextBlock(0));
}

TEST(XmlDataBufAcc, BlockLimitSplitsTheBuffer)
{
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7};
    CXML_DataBufAcc reader(data, sizeof data, 3);
    std::vector<std::pair<int64_t, size_t>> blocks;
    while (reader.ReadNextBlock(0)) {
        EXPECT_EQ(reader.GetBlockBuffer(), data + reader.GetBlockOffset());
        blocks.emplace_back(reader.GetBlockOffset(), reader.GetBlockSize());
    }
    const std::vector<std::pair<int64_t, size_t>> expected = {{0, 3}, {3, 3}, {6, 1}};
    EXPECT_EQ(blocks, expected);
    EXPECT_TRUE(reader.IsEOF());
}

TEST(XmlElement, EditingAParsedElement)
{
    // A parsed element keeps its tag and attributes in one block with itself; edits
    // replace, add and grow them from the allocator, and deleting the tree releases
    // exactly what was taken.
    const std::string doc = "<p:r a='1' b='two' q:c='3'><k x='y'>t</k></p:r>";
    CountingAllocator allocator;
    CXML_Element* root = CXML_Element::Parse(doc.data(), doc.size(), 0, nullptr, &allocator);
    ASSERT_NE(root, nullptr);
    ASSERT_TRUE(root->SetAttrValue("", "b", L"second"));
    ASSERT_TRUE(root->SetAttrValue("", "b", L"third"));
    ASSERT_TRUE(root->SetAttrValue("q", "c", L""));
    for (int i = 0; i < 9; ++i) { // past the room the parser made
        const std::string name = "n" + std::to_string(i);
        ASSERT_TRUE(root->SetAttrValue("", name.c_str(), L"v"));
    }
    ASSERT_TRUE(root->SetTag("", "renamed"));
    CXML_Element* child = root->GetElement(0);
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(child->SetTag("z", "kk"));
    ASSERT_TRUE(child->SetAttrValue("", "x", L"new"));
    ASSERT_TRUE(child->AddChildContent(L"more", 0));
    EXPECT_EQ(Dump(root), "renamed[a=\"1\" b=\"third\" q:c=\"\" n0=\"v\" n1=\"v\" n2=\"v\" n3=\"v\" n4=\"v\" n5=\"v\" "
                          "n6=\"v\" n7=\"v\" n8=\"v\"]{z:kk[x=\"new\"]{\"t\",\"more\"}}");
    delete root;
    EXPECT_EQ(allocator.Outstanding(), 0);
}

TEST(XmlElement, EachKindOfEditAloneIsReleasedWithTheTree)
{
    // Deleting a parsed element that was never edited releases only its own block; one
    // edit of any kind, on its own, makes it release what the edit took as well.
    const std::string doc = "<p:r a='1' q:b='two'><k x='y'>t</k><e/></p:r>";
    const std::function<bool(CXML_Element*)> edits[] = {
        [](CXML_Element* e) { return e->SetTag("", "renamed"); },
        [](CXML_Element* e) { return e->SetTag("z", "kk"); },
        [](CXML_Element* e) { return e->SetAttrValue("", "a", L"replaced"); },
        [](CXML_Element* e) { return e->SetAttrValue("q", "b", L"2"); },
        [](CXML_Element* e) { return e->SetAttrValue("", "added", L"v"); },
        [](CXML_Element* e) { return e->AddChildContent(L"more", 0); },
    };
    for (size_t edit = 0; edit < sizeof edits / sizeof edits[0]; ++edit) {
        for (int target = 0; target < 3; ++target) {
            CountingAllocator allocator;
            CXML_Element* root = CXML_Element::Parse(doc.data(), doc.size(), 0, nullptr, &allocator);
            ASSERT_NE(root, nullptr);
            CXML_Element* element = target == 0 ? root : root->GetElement(target - 1);
            ASSERT_NE(element, nullptr);
            const long before = allocator.allocations;
            ASSERT_TRUE(edits[edit](element)) << "edit " << edit << ", element " << target;
            EXPECT_GT(allocator.allocations, before) << "edit " << edit << ", element " << target;
            delete root;
            EXPECT_EQ(allocator.Outstanding(), 0) << "edit " << edit << ", element " << target;
        }
    }
}
