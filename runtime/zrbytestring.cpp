#include "zrbytestring.h"

#include "zrwidestring.h"

#include <cstdlib>
#include <cstring>

namespace {

// Bytes a block needs besides its text: the three counts and the terminating zero.
const size_t kBlockOverhead = 3 * sizeof(int32_t) + 1;
const int32_t kMaxLength = INT32_MAX - static_cast<int32_t>(kBlockOverhead);

} // namespace

CZR_ByteString::StringData* CZR_ByteString::AllocData(int32_t allocLength)
{
    if (allocLength <= 0 || allocLength > kMaxLength)
        return nullptr;
    auto* pData = static_cast<StringData*>(
        std::malloc(sizeof(StringData) + static_cast<size_t>(allocLength) + 1));
    if (!pData)
        return nullptr;
    pData->m_nRefs = 1;
    pData->m_nDataLength = allocLength;
    pData->m_nAllocLength = allocLength;
    pData->Text()[allocLength] = 0;
    return pData;
}

void CZR_ByteString::ReleaseData(StringData* pData)
{
    if (pData && --pData->m_nRefs < 1)
        std::free(pData);
}

CZR_ByteString::CZR_ByteString(const CZR_ByteString& other)
    : m_pData(other.m_pData)
{
    if (m_pData)
        ++m_pData->m_nRefs;
}

CZR_ByteString::CZR_ByteString(CZR_ByteString&& other) noexcept
    : m_pData(other.m_pData)
{
    other.m_pData = nullptr;
}

CZR_ByteString::CZR_ByteString(const char* text, int32_t length)
    : m_pData(nullptr)
{
    if (length < 0)
        length = CZR_ByteStringC(text).GetLength();
    if (text && length > 0)
        AssignCopy(text, length);
}

CZR_ByteString::CZR_ByteString(const CZR_ByteStringC& view)
    : m_pData(nullptr)
{
    AssignCopy(view.GetPtr(), view.GetLength());
}

CZR_ByteString::~CZR_ByteString()
{
    ReleaseData(m_pData);
}

void CZR_ByteString::AssignCopy(const char* text, int32_t length)
{
    // The new block is filled before the old one is released: `text` may lie inside it.
    StringData* pNew = nullptr;
    if (text && length > 0) {
        pNew = AllocData(length);
        if (pNew)
            std::memcpy(pNew->Text(), text, static_cast<size_t>(length));
    }
    ReleaseData(m_pData);
    m_pData = pNew;
}

CZR_ByteString& CZR_ByteString::operator=(const char* text)
{
    AssignCopy(text, CZR_ByteStringC(text).GetLength());
    return *this;
}

CZR_ByteString& CZR_ByteString::operator=(const CZR_ByteStringC& view)
{
    AssignCopy(view.GetPtr(), view.GetLength());
    return *this;
}

CZR_ByteString& CZR_ByteString::operator=(const CZR_ByteString& other)
{
    if (m_pData == other.m_pData)
        return *this;
    if (other.m_pData)
        ++other.m_pData->m_nRefs;
    ReleaseData(m_pData);
    m_pData = other.m_pData;
    return *this;
}

CZR_ByteString& CZR_ByteString::operator=(CZR_ByteString&& other) noexcept
{
    if (this != &other) {
        ReleaseData(m_pData);
        m_pData = other.m_pData;
        other.m_pData = nullptr;
    }
    return *this;
}

char CZR_ByteString::GetAt(int32_t index) const
{
    if (index < 0 || index >= GetLength())
        return 0;
    return m_pData->Text()[index];
}

void CZR_ByteString::CopyBeforeWrite()
{
    if (!m_pData || m_pData->m_nRefs <= 1)
        return;
    StringData* pNew = AllocData(m_pData->m_nAllocLength);
    if (!pNew)
        return;
    pNew->m_nDataLength = m_pData->m_nDataLength;
    std::memcpy(pNew->Text(), m_pData->Text(), static_cast<size_t>(m_pData->m_nDataLength) + 1);
    ReleaseData(m_pData);
    m_pData = pNew;
}

char* CZR_ByteString::GetBuffer(int32_t minLength)
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
    std::memcpy(pNew->Text(), m_pData->Text(), static_cast<size_t>(length) + 1);
    pNew->m_nDataLength = length;
    ReleaseData(m_pData);
    m_pData = pNew;
    return m_pData->Text();
}

void CZR_ByteString::ReleaseBuffer(int32_t newLength)
{
    if (!m_pData)
        return;
    CopyBeforeWrite();
    if (m_pData->m_nRefs > 1)
        return; // no memory for a private copy: the shared text must stay as it is
    const int32_t room = m_pData->m_nAllocLength;
    if (newLength < 0) {
        const void* zero = std::memchr(m_pData->Text(), 0, static_cast<size_t>(room));
        newLength = zero ? static_cast<int32_t>(static_cast<const char*>(zero) - m_pData->Text()) : room;
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

bool CZR_ByteString::Equal(const CZR_ByteStringC& view) const
{
    return CZR_ByteStringC(*this) == view;
}

int CZR_ByteString::Compare(const CZR_ByteStringC& view) const
{
    const int32_t thisLength = GetLength();
    const int32_t otherLength = view.GetLength();
    const int32_t common = thisLength < otherLength ? thisLength : otherLength;
    if (common > 0) {
        const int cmp = std::memcmp(c_str(), view.GetPtr(), static_cast<size_t>(common));
        if (cmp != 0)
            return cmp < 0 ? -1 : 1;
    }
    if (thisLength == otherLength)
        return 0;
    return thisLength < otherLength ? -1 : 1;
}

void CZR_ByteString::Empty()
{
    ReleaseData(m_pData);
    m_pData = nullptr;
}

CZR_ByteString CZR_ByteString::FromUnicode(const CZR_WideString& text)
{
    CZR_ByteString result;
    if (text.IsEmpty())
        return result;
    const wchar_t* src = text.c_str();
    const size_t needed = std::wcstombs(nullptr, src, 0);
    if (needed == static_cast<size_t>(-1) || needed == 0 || needed > static_cast<size_t>(kMaxLength))
        return result;
    char* buffer = result.GetBuffer(static_cast<int32_t>(needed));
    if (!buffer)
        return CZR_ByteString();
    const size_t written = std::wcstombs(buffer, src, needed + 1);
    if (written == static_cast<size_t>(-1) || written > needed)
        return CZR_ByteString();
    result.ReleaseBuffer(static_cast<int32_t>(written));
    return result;
}
