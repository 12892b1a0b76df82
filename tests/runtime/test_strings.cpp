// The runtime library's strings: reference-counted byte and wide strings, their views and
// plain allocator forms, and the growable buffers and UTF-8 decoder the XML reader uses.
#include "xmltesthelpers.h"
#include "zrbinarybuf.h"
#include "zrbytestring.h"
#include "zrbytestringl.h"
#include "zrptrarray.h"
#include "zrutf8decoder.h"
#include "zrwidestring.h"
#include "zrwidestringl.h"
#include "zrwidetextbuf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

TEST(ByteString, EmptyConstructionsHoldNoBlock)
{
    CZR_ByteString zeroLength("abc", 0);
    CZR_ByteString nullText(nullptr, -1);
    CZR_ByteString nullWithLength(nullptr, 5);
    CZR_ByteString fromEmptyView{CZR_ByteStringC()};
    for (const CZR_ByteString* s : {&zeroLength, &nullText, &nullWithLength, &fromEmptyView}) {
        EXPECT_EQ(s->GetLength(), 0);
        EXPECT_TRUE(s->IsEmpty());
        EXPECT_STREQ(s->c_str(), "");
    }
    // Every empty string is the null block: a copy of an empty string shares nothing
    // and GetBuffer(0) has nothing to hand out.
    EXPECT_EQ(zeroLength.GetBuffer(0), nullptr);
}

TEST(ByteString, ConstructionCopiesTheGivenBytes)
{
    EXPECT_EQ(Str(CZR_ByteString("abc")), "abc");
    EXPECT_EQ(Str(CZR_ByteString("abcdef", 3)), "abc");
    const CZR_ByteString withZero("a\0b", 3);
    EXPECT_EQ(withZero.GetLength(), 3);
    EXPECT_EQ(withZero.GetAt(2), 'b');
    EXPECT_EQ(withZero.GetAt(3), 0);
    EXPECT_EQ(withZero.GetAt(-1), 0);

    char source[] = "xyz";
    CZR_ByteString copy(source);
    source[0] = 'Q';
    EXPECT_EQ(Str(copy), "xyz");
}

TEST(ByteString, AssignmentFromText)
{
    CZR_ByteString s("old");
    s = "new text";
    EXPECT_EQ(Str(s), "new text");
    s = static_cast<const char*>(nullptr);
    EXPECT_TRUE(s.IsEmpty());
    s = "again";
    s = "";
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.GetBuffer(0), nullptr);
}

TEST(ByteString, AssignmentFromItsOwnText)
{
    CZR_ByteString s("hello world");
    s = CZR_ByteStringC(s.c_str() + 6, 5);
    EXPECT_EQ(Str(s), "world");
    s = s.c_str() + 1;
    EXPECT_EQ(Str(s), "orld");
}

TEST(ByteString, CopiesShareUntilOneWrites)
{
    CZR_ByteString a("shared");
    CZR_ByteString b(a);
    CZR_ByteString c;
    c = a;
    EXPECT_EQ(a.c_str(), b.c_str());
    EXPECT_EQ(a.c_str(), c.c_str());

    char* buffer = b.GetBuffer(20);
    ASSERT_NE(buffer, nullptr);
    EXPECT_NE(buffer, a.c_str());
    EXPECT_STREQ(buffer, "shared");
    std::strcpy(buffer, "changed text");
    b.ReleaseBuffer();
    EXPECT_EQ(Str(b), "changed text");
    EXPECT_EQ(Str(a), "shared");
    EXPECT_EQ(Str(c), "shared");
    EXPECT_EQ(a.c_str(), c.c_str());
}

TEST(ByteString, GetBufferOnASharedBlockCopiesEvenWhenLargeEnough)
{
    CZR_ByteString a("abcdef");
    CZR_ByteString b(a);
    char* buffer = b.GetBuffer(2);
    ASSERT_NE(buffer, nullptr);
    buffer[0] = 'X';
    EXPECT_EQ(Str(a), "abcdef");
    EXPECT_EQ(Str(b), "Xbcdef");
}

TEST(ByteString, GetBufferKeepsAnUnsharedBlockThatIsLargeEnough)
{
    CZR_ByteString s("abcdef");
    const char* before = s.c_str();
    EXPECT_EQ(s.GetBuffer(3), before);
    EXPECT_EQ(s.GetBuffer(6), before);
    EXPECT_EQ(s.GetLength(), 6);
    char* grown = s.GetBuffer(100);
    ASSERT_NE(grown, nullptr);
    EXPECT_STREQ(grown, "abcdef");
    EXPECT_EQ(s.GetLength(), 6);
}

TEST(ByteString, GetBufferOnTheEmptyStringAndReleaseBuffer)
{
    CZR_ByteString s;
    char* buffer = s.GetBuffer(8);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_EQ(buffer[0], 0);
    std::memcpy(buffer, "12345678", 8);
    s.ReleaseBuffer(5);
    EXPECT_EQ(Str(s), "12345");
    s.ReleaseBuffer(100); // clamped to the room the block has
    EXPECT_EQ(s.GetLength(), 8);
    s.ReleaseBuffer(0);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.GetBuffer(0), nullptr);
}

TEST(ByteString, EqualAndOperators)
{
    EXPECT_TRUE(CZR_ByteString().Equal(CZR_ByteStringC()));
    EXPECT_TRUE(CZR_ByteString().Equal(""));
    EXPECT_FALSE(CZR_ByteString().Equal("a"));
    EXPECT_TRUE(CZR_ByteString("abc").Equal("abc"));
    EXPECT_FALSE(CZR_ByteString("abc").Equal("abcd"));
    EXPECT_FALSE(CZR_ByteString("abc").Equal("abd"));
    EXPECT_TRUE(CZR_ByteString("a\0b", 3).Equal(CZR_ByteStringC("a\0b", 3)));
    EXPECT_FALSE(CZR_ByteString("a\0b", 3).Equal(CZR_ByteStringC("a\0c", 3)));
    EXPECT_TRUE(CZR_ByteString("x") == "x");
    EXPECT_TRUE(CZR_ByteString("x") != "y");
    EXPECT_TRUE(CZR_ByteString("same") == CZR_ByteString("same"));
}

TEST(ByteString, CompareOrdersBytesUnsignedThenByLength)
{
    EXPECT_EQ(CZR_ByteString("ab").Compare("abc"), -1);
    EXPECT_EQ(CZR_ByteString("abc").Compare("ab"), 1);
    EXPECT_EQ(CZR_ByteString("b").Compare("abc"), 1);
    EXPECT_EQ(CZR_ByteString("abc").Compare("abd"), -1);
    EXPECT_EQ(CZR_ByteString("abc").Compare("abc"), 0);
    EXPECT_EQ(CZR_ByteString().Compare(CZR_ByteStringC()), 0);
    EXPECT_EQ(CZR_ByteString().Compare("a"), -1);
    EXPECT_EQ(CZR_ByteString("a").Compare(""), 1);
    // 0x80 sorts after 'a' as an unsigned byte.
    EXPECT_EQ(CZR_ByteString("\x80").Compare("a"), 1);
    EXPECT_EQ(CZR_ByteString("a").Compare("\xff"), -1);
}

class LocaleGuard {
public:
    LocaleGuard() : m_saved(std::setlocale(LC_ALL, nullptr)) {}
    ~LocaleGuard() { std::setlocale(LC_ALL, m_saved.c_str()); }

private:
    std::string m_saved;
};

TEST(ByteString, FromUnicodeFollowsTheCurrentLocale)
{
    LocaleGuard guard;
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    EXPECT_EQ(Str(CZR_ByteString::FromUnicode(CZR_WideString(L"plain ASCII"))), "plain ASCII");
    EXPECT_TRUE(CZR_ByteString::FromUnicode(CZR_WideString()).IsEmpty());
    // The C locale cannot encode U+00E9: the whole conversion fails.
    EXPECT_TRUE(CZR_ByteString::FromUnicode(CZR_WideString(L"caf\u00e9")).IsEmpty());

    if (!std::setlocale(LC_ALL, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale on this machine";
    EXPECT_EQ(Str(CZR_ByteString::FromUnicode(CZR_WideString(L"caf\u00e9 \U0001F600"))),
              "caf\xc3\xa9 \xf0\x9f\x98\x80");
    // Not even UTF-8 can encode a lone surrogate.
    EXPECT_TRUE(CZR_ByteString::FromUnicode(CZR_WideString(L"a\xD800")).IsEmpty());
}

TEST(WideString, InitStrAndConstruction)
{
    CZR_WideString s;
    s.InitStr(L"abcdef", 3);
    EXPECT_EQ(WStr(s), L"abc");
    s.InitStr(L"whole", -1);
    EXPECT_EQ(WStr(s), L"whole");
    s.InitStr(nullptr, -1);
    EXPECT_TRUE(s.IsEmpty());
    s.InitStr(L"abc", 0);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.GetBuffer(0), nullptr);
    const CZR_WideString withZero(L"a\0b", 3);
    EXPECT_EQ(withZero.GetLength(), 3);
    EXPECT_EQ(withZero.GetAt(2), L'b');
}

TEST(WideString, AssignmentSharesAndCopiesOnWrite)
{
    CZR_WideString a(L"wide");
    CZR_WideString b;
    b = a;
    EXPECT_EQ(a.c_str(), b.c_str());
    wchar_t* buffer = b.GetBuffer(10);
    ASSERT_NE(buffer, nullptr);
    EXPECT_NE(buffer, a.c_str());
    buffer[0] = L'W';
    b.ReleaseBuffer();
    EXPECT_EQ(WStr(a), L"wide");
    EXPECT_EQ(WStr(b), L"Wide");

    b = static_cast<const wchar_t*>(nullptr);
    EXPECT_TRUE(b.IsEmpty());
    b = L"";
    EXPECT_TRUE(b.IsEmpty());
    a = CZR_WideStringC(a.c_str() + 1, 2);
    EXPECT_EQ(WStr(a), L"id");
}

TEST(WideString, EqualityWithText)
{
    EXPECT_TRUE(CZR_WideString() == static_cast<const wchar_t*>(nullptr));
    EXPECT_TRUE(CZR_WideString() == L"");
    EXPECT_FALSE(CZR_WideString() == L"a");
    EXPECT_TRUE(CZR_WideString(L"abc") == L"abc");
    EXPECT_FALSE(CZR_WideString(L"abc") == L"abC");
    EXPECT_FALSE(CZR_WideString(L"abc") == L"ab");
    EXPECT_FALSE(CZR_WideString(L"ab\0c", 4) == L"ab");
    EXPECT_TRUE(CZR_WideString(L"abc") != L"abd");
}

TEST(WideString, CompareNoCaseFoldsOnlyAsciiLetters)
{
    EXPECT_EQ(CZR_WideString(L"TRUE").CompareNoCase(L"true"), 0);
    EXPECT_EQ(CZR_WideString(L"MiXeD 1").CompareNoCase(L"mIxEd 1"), 0);
    EXPECT_NE(CZR_WideString(L"\u00c4B").CompareNoCase(L"\u00e4b"), 0);
    EXPECT_EQ(CZR_WideString(L"abc").CompareNoCase(L"abd"), -1);
    EXPECT_EQ(CZR_WideString(L"abd").CompareNoCase(L"ABC"), 1);
    // The shorter text ends with its zero unit: the difference is the other unit.
    EXPECT_EQ(CZR_WideString(L"a").CompareNoCase(L"ab"), -'b');
    EXPECT_EQ(CZR_WideString(L"AB").CompareNoCase(L"a"), 'b');
    // '[' sits between 'Z' and 'a': only A to Z fold.
    EXPECT_LT(CZR_WideString(L"[").CompareNoCase(L"a"), 0);
    EXPECT_EQ(CZR_WideString().CompareNoCase(nullptr), 0);
    EXPECT_EQ(CZR_WideString().CompareNoCase(L""), 0);
    EXPECT_EQ(CZR_WideString().CompareNoCase(L"x"), -1);
    EXPECT_EQ(CZR_WideString(L"x").CompareNoCase(nullptr), 'x');
    // Extreme units do not overflow the result.
    EXPECT_GT(CZR_WideString(L"\x7fffffff").CompareNoCase(L"\x1"), 0);
}

TEST(WideString, UTF8Encode)
{
    EXPECT_EQ(Str(CZR_WideString(L"A\u00e9\u20ac\U0001F600").UTF8Encode()),
              "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    EXPECT_TRUE(CZR_WideString().UTF8Encode().IsEmpty());
}

TEST(ByteStringView, LengthsAndEquality)
{
    EXPECT_EQ(CZR_ByteStringC(static_cast<const char*>(nullptr)).GetLength(), 0);
    EXPECT_EQ(CZR_ByteStringC("four").GetLength(), 4);
    EXPECT_EQ(CZR_ByteStringC("four", -1).GetLength(), 4);
    EXPECT_EQ(CZR_ByteStringC(nullptr, 5).GetLength(), 0);
    EXPECT_TRUE(CZR_ByteStringC("ab", 2) == CZR_ByteStringC("abc", 2));
    EXPECT_FALSE(CZR_ByteStringC("ab") == CZR_ByteStringC("abc"));
    EXPECT_TRUE(CZR_ByteStringC() == CZR_ByteStringC(""));
    EXPECT_EQ(CZR_ByteStringC("\xfe").GetAt(0), 0xFE);
    EXPECT_EQ(CZR_WideStringC(L"wide").GetLength(), 4);
    EXPECT_EQ(CZR_WideStringC(static_cast<const wchar_t*>(nullptr)).GetLength(), 0);
}

TEST(PlainStrings, SetAndEmptyGoThroughTheAllocator)
{
    CountingAllocator allocator;
    CZR_ByteStringL s;
    EXPECT_TRUE(s.Set("abc", &allocator));
    EXPECT_EQ(allocator.allocations, 1);
    EXPECT_EQ(Str(s), "abc");
    EXPECT_EQ(s.GetPtr()[3], 0);
    EXPECT_TRUE(s.Set(CZR_ByteStringC(), &allocator));
    EXPECT_EQ(s.GetPtr(), nullptr);
    EXPECT_EQ(allocator.Outstanding(), 0);
    EXPECT_EQ(allocator.allocations, 1);

    CZR_WideStringL w;
    EXPECT_TRUE(w.Set(L"wide text", &allocator));
    EXPECT_EQ(WStr(w), L"wide text");
    EXPECT_EQ(w.GetPtr()[9], 0);
    // A view of its own text.
    EXPECT_TRUE(w.Set(CZR_WideStringC(w.GetPtr() + 5, 4), &allocator));
    EXPECT_EQ(WStr(w), L"text");
    w.Empty(&allocator);
    EXPECT_EQ(w.GetPtr(), nullptr);
    EXPECT_EQ(w.GetLength(), 0);
    EXPECT_EQ(allocator.Outstanding(), 0);

    // The default heap when no allocator is given.
    EXPECT_TRUE(s.Set("heap", nullptr));
    EXPECT_EQ(Str(s), "heap");
    s.Empty(nullptr);
}

TEST(PlainStrings, AllocationFailureLeavesTheStringEmpty)
{
    CountingAllocator allocator;
    CZR_ByteStringL s;
    ASSERT_TRUE(s.Set("before", &allocator));
    allocator.failAt = 1;
    EXPECT_FALSE(s.Set("after", &allocator));
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_EQ(s.GetPtr(), nullptr);
    EXPECT_EQ(allocator.Outstanding(), 0);

    CZR_WideStringL w;
    EXPECT_FALSE(w.Set(L"x", &allocator));
    EXPECT_EQ(w.GetLength(), 0);
}

TEST(PlainStrings, TrimRight)
{
    const wchar_t* spaces = L" \t\r\n";
    CZR_WideStringL w;
    ASSERT_TRUE(w.Set(L"x \t", nullptr));
    const wchar_t* buffer = w.GetPtr();
    w.TrimRight(spaces);
    EXPECT_EQ(WStr(w), L"x");
    EXPECT_EQ(w.GetPtr(), buffer);
    EXPECT_EQ(w.GetPtr()[1], 0);

    ASSERT_TRUE(w.Set(L" \r\n\t ", nullptr));
    w.TrimRight(spaces);
    EXPECT_EQ(w.GetLength(), 0);

    ASSERT_TRUE(w.Set(CZR_WideStringC(L"a b\0 \0", 6), nullptr));
    w.TrimRight(spaces);
    EXPECT_EQ(WStr(w), L"a b");

    ASSERT_TRUE(w.Set(L"keep  ", nullptr));
    w.TrimRight(nullptr);
    EXPECT_EQ(WStr(w), L"keep  ");
    w.TrimRight(L"");
    EXPECT_EQ(WStr(w), L"keep  ");
    w.TrimRight(L"p ");
    EXPECT_EQ(WStr(w), L"kee");
    w.Empty(nullptr);
    w.TrimRight(spaces); // nothing to trim on the empty string
    EXPECT_EQ(w.GetLength(), 0);
}

TEST(Buffers, GrowingKeepsTheContents)
{
    CZR_BinaryBuf buf;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(buf.AppendByte(static_cast<uint8_t>('a' + i % 26)));
        expected += static_cast<char>('a' + i % 26);
    }
    ASSERT_TRUE(buf.AppendBlock("tail", 4));
    expected += "tail";
    EXPECT_EQ(Str(buf.GetByteString()), expected);
    const uint8_t* memory = buf.GetBuffer();
    buf.Clear();
    EXPECT_EQ(buf.GetSize(), 0);
    ASSERT_TRUE(buf.AppendByte('z'));
    EXPECT_EQ(buf.GetBuffer(), memory);
    EXPECT_EQ(Str(buf.GetByteString()), "z");

    CZR_WideTextBuf wide;
    std::wstring wexpected;
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(wide.AppendChar(static_cast<wchar_t>(0x1F600 + i)));
        wexpected += static_cast<wchar_t>(0x1F600 + i);
    }
    ASSERT_TRUE(wide.AppendText(L"end"));
    wexpected += L"end";
    EXPECT_EQ(wide.GetLength(), 303);
    EXPECT_EQ(WStr(wide.GetWideString()), wexpected);
}

TEST(Buffers, AllocationFailureRefusesTheAppend)
{
    CountingAllocator allocator;
    CZR_BinaryBuf buf(&allocator);
    ASSERT_TRUE(buf.AppendBlock("first", 5));
    allocator.failAt = 1;
    std::string big(1000, 'x');
    EXPECT_FALSE(buf.AppendBlock(big.data(), big.size()));
    EXPECT_EQ(Str(buf.GetByteString()), "first");
    buf.DeleteBuf();
    EXPECT_EQ(allocator.Outstanding(), 0);
}

TEST(PtrArray, AddGetAndRemove)
{
    CountingAllocator allocator;
    {
        CZR_PtrArray array(&allocator);
        EXPECT_EQ(array.GetAllocator(), &allocator);
        int values[100];
        for (int& v : values)
            ASSERT_TRUE(array.Add(&v));
        ASSERT_TRUE(array.AddPair(&values[1], &values[2]));
        EXPECT_EQ(array.GetSize(), 102);
        EXPECT_EQ(array.GetAt(57), &values[57]);
        EXPECT_EQ(array.GetAt(101), &values[2]);
        EXPECT_EQ(array.GetAt(102), nullptr);
        EXPECT_EQ(array.GetAt(-1), nullptr);
        array.RemoveLast(2);
        EXPECT_EQ(array.GetSize(), 100);
        array.RemoveLast(1000);
        EXPECT_EQ(array.GetSize(), 0);
        EXPECT_GT(allocator.allocations, 0);
    }
    EXPECT_EQ(allocator.Outstanding(), 0);
}

TEST(PtrArray, OnePairNeedsNoStorageAndGrowingKeepsTheWords)
{
    CountingAllocator allocator;
    int values[40];
    {
        CZR_PtrArray array(&allocator);
        ASSERT_TRUE(array.AddPair(&values[0], &values[1]));
        EXPECT_EQ(allocator.allocations, 0);
        // Growing out of the pair held in the array fails cleanly, then succeeds.
        allocator.failAt = 1;
        EXPECT_FALSE(array.Add(&values[2]));
        EXPECT_FALSE(array.AddPair(&values[2], &values[3]));
        EXPECT_EQ(array.GetSize(), 2);
        EXPECT_EQ(array.GetAt(0), &values[0]);
        EXPECT_EQ(array.GetAt(1), &values[1]);
        EXPECT_EQ(array.GetAt(2), nullptr);
        allocator.failAt = 0;
        for (int i = 2; i < 40; ++i)
            ASSERT_TRUE(array.Add(&values[i]));
        for (int i = 0; i < 40; ++i)
            ASSERT_EQ(array.GetAt(i), &values[i]) << i;
        // Emptied, the array holds its first pair inside itself again.
        array.RemoveAll();
        EXPECT_EQ(allocator.Outstanding(), 0);
        const long before = allocator.allocations;
        ASSERT_TRUE(array.Add(&values[5]));
        ASSERT_TRUE(array.Add(&values[6]));
        EXPECT_EQ(allocator.allocations, before);
        EXPECT_EQ(array.GetAt(1), &values[6]);
        ASSERT_TRUE(array.Add(&values[7]));
        EXPECT_EQ(array.GetAt(0), &values[5]);
        EXPECT_EQ(array.GetAt(2), &values[7]);
    }
    EXPECT_EQ(allocator.Outstanding(), 0);
}

namespace {

std::wstring Decode(const std::string& bytes)
{
    CZR_UTF8Decoder decoder;
    for (char ch : bytes)
        decoder.Input(static_cast<uint8_t>(ch));
    return WStr(decoder.GetResult());
}

} // namespace

namespace {

// InputUntil over `bytes` from a fresh decoder (after `before` was input byte by byte):
// the text and the number of bytes consumed.
std::pair<std::wstring, size_t> DecodeUntil(const std::string& bytes, uint8_t stopA, uint8_t stopB,
                                            const std::string& before = std::string())
{
    CZR_UTF8Decoder decoder;
    for (char ch : before)
        decoder.Input(static_cast<uint8_t>(ch));
    const auto* pBegin = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint8_t* pStop = decoder.InputUntil(pBegin, pBegin + bytes.size(), stopA, stopB);
    if (!pStop)
        return {L"<out of memory>", 0};
    return {WStr(decoder.GetResult()), static_cast<size_t>(pStop - pBegin)};
}

// What InputUntil must give: the bytes up to the first stop byte, decoded one at a time.
std::pair<std::wstring, size_t> ExpectedUntil(const std::string& bytes, uint8_t stopA, uint8_t stopB,
                                              const std::string& before = std::string())
{
    size_t stop = 0;
    while (stop < bytes.size() && static_cast<uint8_t>(bytes[stop]) != stopA
           && static_cast<uint8_t>(bytes[stop]) != stopB)
        ++stop;
    return {Decode(before + bytes.substr(0, stop)), stop};
}

} // namespace

TEST(UTF8Decoder, InputUntilStopsWhereverTheStopByteOrOtherByteLies)
{
    // Runs of every length up to past two 16-byte stretches, with one special byte (a
    // stop byte, the other stop byte, a multibyte sequence, a stray continuation byte, a
    // dropped 0xFF) at every position, and runs that end without any.
    const std::string specials[] = {"\"", "&", "\xc3\xa9", "\xe2\x82\xac", "\x80", "\xff", "\x7f"};
    for (size_t length = 0; length <= 40; ++length) {
        std::string ascii;
        for (size_t i = 0; i < length; ++i)
            ascii += static_cast<char>('a' + i % 26);
        EXPECT_EQ(DecodeUntil(ascii, '"', '&'), ExpectedUntil(ascii, '"', '&')) << length;
        for (size_t pos = 0; pos <= length; ++pos) {
            for (const std::string& special : specials) {
                const std::string bytes = ascii.substr(0, pos) + special + ascii.substr(pos) + "\"tail";
                EXPECT_EQ(DecodeUntil(bytes, '"', '&'), ExpectedUntil(bytes, '"', '&'))
                    << "length " << length << ", at " << pos << ", special " << Escape(Decode(special));
                // The same stop given twice (text whose ampersands are kept).
                EXPECT_EQ(DecodeUntil(bytes, '<', '<'), ExpectedUntil(bytes, '<', '<'));
            }
        }
    }
}

TEST(UTF8Decoder, InputUntilCarriesSequencesAndLongRuns)
{
    // A sequence begun before the call is finished, or abandoned, by its first bytes.
    const std::string finished = "\x82\xac" "abcdefghij'";
    EXPECT_EQ(DecodeUntil(finished, '\'', '\'', "x\xe2"), ExpectedUntil(finished, '\'', '\'', "x\xe2"));
    EXPECT_EQ(DecodeUntil(finished, '\'', '\'', "x\xe2").first, L"x\u20ac" "abcdefghij");
    const std::string abandoned = "abcdefghijklmnop'";
    EXPECT_EQ(DecodeUntil(abandoned, '\'', '\'', "\xe2\x82"), ExpectedUntil(abandoned, '\'', '\'', "\xe2\x82"));
    EXPECT_EQ(DecodeUntil("abcdefghijklmnop'", '\'', '\'', "\xe2\x82").first, L"abcdefghijklmnop");
    // Long runs: the stop byte, and a sequence, on either side of every 4096-byte stretch.
    for (size_t stop : {4094u, 4095u, 4096u, 4097u, 8191u, 8192u, 8193u, 10000u}) {
        std::string bytes(stop, 'x');
        for (size_t at : {4095u, 8190u})
            if (at + 3 < stop)
                bytes.replace(at, 3, "\xe2\x82\xac");
        const std::string withStop = bytes + "<" + std::string(100, 'y');
        EXPECT_EQ(DecodeUntil(withStop, '<', '&'), ExpectedUntil(withStop, '<', '&')) << stop;
        EXPECT_EQ(DecodeUntil(bytes, '<', '&'), ExpectedUntil(bytes, '<', '&')) << stop;
    }
}

TEST(UTF8Decoder, WellFormedSequences)
{
    EXPECT_EQ(Decode("plain"), L"plain");
    EXPECT_EQ(Decode("\xc3\xa9"), L"\u00e9");
    EXPECT_EQ(Decode("\xe2\x82\xac"), L"\u20ac");
    EXPECT_EQ(Decode("\xf0\x9f\x98\x80"), L"\U0001F600");
    EXPECT_EQ(Decode("a\xc3\xa9z"), L"a\u00e9z");
}

TEST(UTF8Decoder, ForgivingWithMalformedInput)
{
    EXPECT_EQ(Decode("\xa9"), L"");                   // lone continuation byte
    EXPECT_EQ(Decode("a\xa9\xbf" "b"), L"ab");
    EXPECT_EQ(Decode("\xc3" "a"), L"a");              // ASCII abandons the sequence
    EXPECT_EQ(Decode("\xe2\x82\xc3\xa9"), L"\u00e9"); // a new lead byte abandons it
    EXPECT_EQ(Decode("\xfe\xff" "x"), L"x");
    EXPECT_EQ(Decode("\xc3"), L"");                   // unfinished at the end
    // A sequence that comes out 0 becomes U+FFFD.
    EXPECT_EQ(Decode("\xc0\x80"), L"\uFFFD");
    // Overlong and long forms are decoded, not rejected.
    EXPECT_EQ(Decode("\xc1\x81"), L"A");
    EXPECT_EQ(Decode("\xf8\x88\x80\x80\x80"), std::wstring(1, static_cast<wchar_t>(0x200000)));
    EXPECT_EQ(Decode("\xfd\xbf\xbf\xbf\xbf\xbf"), std::wstring(1, static_cast<wchar_t>(0x7FFFFFFF)));
}

TEST(UTF8Decoder, AppendCharClearStatusAndClear)
{
    CZR_UTF8Decoder decoder;
    decoder.Input('a');
    decoder.Input(0xC3);
    decoder.ClearStatus();
    decoder.Input(0xA9); // the sequence was dropped: the continuation byte is ignored
    decoder.AppendChar(0x1F600);
    decoder.AppendChar(0);
    EXPECT_EQ(WStr(decoder.GetResult()), std::wstring(L"a\U0001F600\0", 3));
    decoder.Clear();
    EXPECT_EQ(decoder.GetResult().GetLength(), 0);
    decoder.Input('b');
    EXPECT_EQ(WStr(decoder.GetResult()), L"b");
}

TEST(UTF8Decoder, RunsDecodeAsSingleBytes)
{
    // Whatever way a byte sequence is cut into runs, the text and the pending sequence
    // come out as with one byte at a time.
    const std::vector<std::string> inputs = {
        "plain ascii text",
        "a\xc3\xa9z\xe2\x82\xac\xf0\x9f\x98\x80!",
        "\xa9\xc3" "a\xe2\x82\xc3\xa9\xfe\xff" "x\xc0\x80\xfd\xbf\xbf\xbf\xbf\xbf\xf8\x88\x80\x80\x80",
        "\xe2\x82",
    };
    for (const std::string& input : inputs) {
        const std::wstring expected = Decode(input);
        for (size_t cut = 1; cut <= input.size(); ++cut) {
            CZR_UTF8Decoder decoder;
            const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
            for (size_t at = 0; at < input.size(); at += cut)
                ASSERT_TRUE(decoder.Input(bytes + at, std::min(cut, input.size() - at)));
            ASSERT_TRUE(decoder.Input(bytes, 0));
            EXPECT_EQ(WStr(decoder.GetResult()), expected) << "runs of " << cut;
            // A pending sequence carries over to the next run as it does byte by byte.
            CZR_UTF8Decoder single;
            for (char ch : input)
                single.Input(static_cast<uint8_t>(ch));
            decoder.Input(0xA9);
            single.Input(0xA9);
            EXPECT_EQ(WStr(decoder.GetResult()), WStr(single.GetResult())) << "runs of " << cut;
        }
    }
}

TEST(Buffers, WideRoomIsFilledThenCommitted)
{
    CZR_WideTextBuf wide;
    ASSERT_TRUE(wide.AppendChar(L'a'));
    wchar_t* room = wide.GetRoomFor(1000);
    ASSERT_NE(room, nullptr);
    for (int i = 0; i < 1000; ++i)
        room[i] = static_cast<wchar_t>(0x10000 + i);
    wide.CommitUnits(600); // only what was committed counts
    ASSERT_TRUE(wide.AppendChar(L'z'));
    std::wstring expected = L"a";
    for (int i = 0; i < 600; ++i)
        expected += static_cast<wchar_t>(0x10000 + i);
    expected += L'z';
    EXPECT_EQ(WStr(wide.GetWideString()), expected);

    CountingAllocator allocator;
    CZR_WideTextBuf limited(&allocator);
    ASSERT_TRUE(limited.AppendText(L"kept"));
    allocator.failAt = allocator.allocations + 1;
    EXPECT_EQ(limited.GetRoomFor(100000), nullptr);
    EXPECT_EQ(WStr(limited.GetWideString()), L"kept");
    limited.DeleteBuf();
    EXPECT_EQ(allocator.Outstanding(), 0);
}
