#include "updatedefine.h"

namespace Comm {

QString ws2qs(const CZR_WideString& ws)
{
    static_assert(sizeof(wchar_t) == sizeof(uint), "wide strings hold 32-bit units");
    const wchar_t* units = ws.c_str();
    int length = 0;
    const int total = ws.GetLength();
    while (length < total && units[length] != 0)
        ++length;
    return QString::fromUcs4(reinterpret_cast<const uint*>(units), length);
}

} // namespace Comm
