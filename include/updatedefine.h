#ifndef UPDATEDEFINE_H
#define UPDATEDEFINE_H

#include <QString>

#include "zrwidestring.h"

// Small helpers shared across the application.
namespace Comm {

// The wide string's units taken as Unicode code points (UCS-4), up to the first NUL unit.
QString ws2qs(const CZR_WideString& ws);

} // namespace Comm

#endif // UPDATEDEFINE_H
