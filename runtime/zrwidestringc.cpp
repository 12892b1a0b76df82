#include "zrwidestringc.h"

#include <cstring>
#include <cwchar>

namespace {

int32_t clampedLength(const wchar_t* ptr)
{
    if (!ptr)
        return 0;
    const size_t len = std::wcslen(ptr);
    return len > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(len);
}

} // namespace

int32_t CZR_WideStringC::LengthOf(const wchar_t* ptr)
{
    return clampedLength(ptr);
}

CZR_WideStringC::CZR_WideStringC(const wchar_t* ptr)
    : m_Ptr(ptr), m_Length(clampedLength(ptr))
{
}


wchar_t CZR_WideStringC::GetAt(int32_t index) const
{
    if (index < 0 || index >= m_Length)
        return 0;
    return m_Ptr[index];
}

bool CZR_WideStringC::operator==(const CZR_WideStringC& other) const
{
    if (m_Length != other.m_Length)
        return false;
    return m_Length == 0
        || std::memcmp(m_Ptr, other.m_Ptr, static_cast<size_t>(m_Length) * sizeof(wchar_t)) == 0;
}
