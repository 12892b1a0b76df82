#include "zrwidestring.h"

#include "zrbytestring.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Units a block can hold so that counts, text and terminator stay below 2 GiB.
const int32_t kMaxLength = (INT32_MAX - 16) / static_cast<int32_t>(sizeof(wchar_t));

} // namespace

CZR_WideString::StringData* CZR_WideString::AllocData(int32_t allocLength)
{
    if (allocLength <= 0 || allocLength > kMaxLength)
        return nullptr;
    auto* pData = static_cast<StringData*>(std::malloc(
        sizeof(StringData) + (static_cast<size_t>(allocLength) + 1) * sizeof(wchar_t)));
    if (!pData)
        return nullptr;
    pData->m_nRefs = 1;
    pData->m_nDataLength = allocLength;
    pData->m_nAllocLength = allocLength;
    pData->Text()[allocLength] = 0;
    return pData;
}

void CZR_WideString::ReleaseData(StringData* pData)
{
    if (pData && --pData->m_nRefs < 1)
        std::free(pData);
}

CZR_WideString::CZR_WideString(const CZR_WideString& other)
    : m_pData(other.m_pData)
{
    if (m_pData)
        ++m_pData->m_nRefs;
}

CZR_WideString::CZR_WideString(CZR_WideString&& other) noexcept
    : m_pData(other.m_pData)
{
    other.m_pData = nullptr;
}

CZR_WideString::CZR_WideString(const wchar_t* text, int32_t length)
    : m_pData(nullptr)
{
    InitStr(text, length);
}

CZR_WideString::CZR_WideString(const CZR_WideStringC& view)
    : m_pData(nullptr)
{
    AssignCopy(view.GetPtr(), view.GetLength());
}

CZR_WideString::~CZR_WideString()
{
    ReleaseData(m_pData);
}

void CZR_WideString::InitStr(const wchar_t* text, int32_t length)
{
    if (length < 0)
        length = CZR_WideStringC(text).GetLength();
    AssignCopy(text, length);
}

void CZR_WideString::AssignCopy(const wchar_t* text, int32_t length)
{
    // The new block is filled before the old one is released: `text` may lie inside it.
    StringData* pNew = nullptr;
    if (text && length > 0) {
        pNew = AllocData(length);
        if (pNew)
            std::memcpy(pNew->Text(), text, static_cast<size_t>(length) * sizeof(wchar_t));
    }
    ReleaseData(m_pData);
    m_pData = pNew;
}

CZR_WideString& CZR_WideString::operator=(const wchar_t* text)
{
    AssignCopy(text, CZR_WideStringC(text).GetLength());
    return *this;
}

CZR_WideString& CZR_WideString::operator=(const CZR_WideStringC& view)
{
    AssignCopy(view.GetPtr(), view.GetLength());
    return *this;
}

CZR_WideString& CZR_WideString::operator=(const CZR_WideString& other)
{
    if (m_pData == other.m_pData)
        return *this;
    if (other.m_pData)
        ++other.m_pData->m_nRefs;
    ReleaseData(m_pData);
    m_pData = other.m_pData;
    return *this;
}

CZR_WideString& CZR_WideString::operator=(CZR_WideString&& other) noexcept
{
    if (this != &other) {
        ReleaseData(m_pData);
        m_pData = other.m_pData;
        other.m_pData = nullptr;
    }
    return *this;
}

wchar_t CZR_WideString::GetAt(int32_t index) const
{
    if (index < 0 || index >= GetLength())
        return 0;
    return m_pData->Text()[index];
}

void CZR_WideString::CopyBeforeWrite()
{
    if (!m_pData || m_pData->m_nRefs <= 1)
        return;
    StringData* pNew = AllocData(m_pData->m_nAllocLength);
    if (!pNew)
        return;
    pNew->m_nDataLength = m_pData->m_nDataLength;
    std::memcpy(pNew->Text(), m_pData->Text(),
                (static_cast<size_t>(m_pData->m_nDataLength) + 1) * sizeof(wchar_t));
    ReleaseData(m_pData);
    m_pData = pNew;
}

wchar_t* CZR_WideString::GetBuffer(int32_t minLength)
{
    if (minLength < 0)
        minLength = 0;
    if (!m_pData) {
        if (minLength == 0)
            return nullptr;
        m_pData = AllocData(minLength);
        if (!m_pData)
            return nullptr;
        m_pData->m_nDataLength = 0;
        m_pData->Text()[0] = 0;
        return m_pData->Text();
    }
    if (m_pData->m_nRefs <= 1 && m_pData->m_nAllocLength >= minLength)
        return m_pData->Text();
    const int32_t length = m_pData->m_nDataLength;
    StringData* pNew = AllocData(minLength > length ? minLength : length);
    if (!pNew)
        return nullptr;
    std::memcpy(pNew->Text(), m_pData->Text(), (static_cast<size_t>(length) + 1) * sizeof(wchar_t));
    pNew->m_nDataLength = length;
    ReleaseData(m_pData);
    m_pData = pNew;
    return m_pData->Text();
}

void CZR_WideString::ReleaseBuffer(int32_t newLength)
{
    if (!m_pData)
        return;
    CopyBeforeWrite();
    if (m_pData->m_nRefs > 1)
        return; // no memory for a private copy: the shared text must stay as it is
    const int32_t room = m_pData->m_nAllocLength;
    if (newLength < 0) {
        newLength = 0;
        while (newLength < room && m_pData->Text()[newLength] != 0)
            ++newLength;
    }
    if (newLength > room)
        newLength = room;
    if (newLength == 0) {
        Empty();
        return;
    }
    m_pData->m_nDataLength = newLength;
    m_pData->Text()[newLength] = 0;
}

int CZR_WideString::CompareNoCase(const wchar_t* text) const
{
    if (!m_pData)
        return (!text || !*text) ? 0 : -1;
    if (!text)
        text = L"";
    auto fold = [](wchar_t ch) -> int64_t {
        return (ch >= L'A' && ch <= L'Z') ? ch - L'A' + L'a' : ch;
    };
    const wchar_t* own = m_pData->Text();
    for (;;) {
        const int64_t a = fold(*own);
        const int64_t b = fold(*text);
        if (a != b) {
            const int64_t diff = a - b;
            if (diff > INT32_MAX)
                return INT32_MAX;
            return diff < INT32_MIN ? INT32_MIN : static_cast<int>(diff);
        }
        if (a == 0)
            return 0;
        ++own;
        ++text;
    }
}

void CZR_WideString::Empty()
{
    ReleaseData(m_pData);
    m_pData = nullptr;
}

CZR_ByteString CZR_WideString::UTF8Encode() const
{
    const int32_t length = GetLength();
    if (length == 0)
        return CZR_ByteString();
    // Six bytes per unit at most.
    const int64_t room64 = static_cast<int64_t>(length) * 6;
    if (room64 > INT32_MAX - 16)
        return CZR_ByteString();
    CZR_ByteString result;
    char* out = result.GetBuffer(static_cast<int32_t>(room64));
    if (!out)
        return result;
    int32_t used = 0;
    const wchar_t* text = m_pData->Text();
    for (int32_t i = 0; i < length; ++i) {
        const uint32_t code = static_cast<uint32_t>(text[i]);
        if (code >= 0x80000000u)
            continue;
        if (code < 0x80) {
            out[used++] = static_cast<char>(code);
            continue;
        }
        int extra;
        uint8_t lead;
        if (code < 0x800) {
            extra = 1;
            lead = 0xC0;
        } else if (code < 0x10000) {
            extra = 2;
            lead = 0xE0;
        } else if (code < 0x200000) {
            extra = 3;
            lead = 0xF0;
        } else if (code < 0x4000000) {
            extra = 4;
            lead = 0xF8;
        } else {
            extra = 5;
            lead = 0xFC;
        }
        out[used++] = static_cast<char>(lead | (code >> (6 * extra)));
        for (int k = extra - 1; k >= 0; --k)
            out[used++] = static_cast<char>(0x80 | ((code >> (6 * k)) & 0x3F));
    }
    result.ReleaseBuffer(used);
    return result;
}

bool operator==(const CZR_WideString& str, const wchar_t* text)
{
    return CZR_WideStringC(str) == CZR_WideStringC(text);
}

bool operator!=(const CZR_WideString& str, const wchar_t* text)
{
    return !(str == text);
}

bool operator==(const CZR_WideString& a, const CZR_WideString& b)
{
    return CZR_WideStringC(a) == CZR_WideStringC(b);
}

bool operator!=(const CZR_WideString& a, const CZR_WideString& b)
{
    return !(a == b);
}
