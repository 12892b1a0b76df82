#include "zrbytestringc.h"

#include <cstring>

namespace {

int32_t clampedLength(const char* ptr)
{
    if (!ptr)
        return 0;
    const size_t len = std::strlen(ptr);
    return len > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(len);
}

} // namespace

int32_t CZR_ByteStringC::LengthOf(const char* ptr)
{
    return clampedLength(ptr);
}

CZR_ByteStringC::CZR_ByteStringC(const char* ptr)
    : m_Ptr(ptr), m_Length(clampedLength(ptr))
{
}


uint8_t CZR_ByteStringC::GetAt(int32_t index) const
{
    if (index < 0 || index >= m_Length)
        return 0;
    return static_cast<uint8_t>(m_Ptr[index]);
}
