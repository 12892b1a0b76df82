#ifndef UPDATEDEFINE_H
#define UPDATEDEFINE_H

#include <QString>

#include "zrwidestring.h"

// Small helpers shared across the application.
namespace Comm {

// The wide string's units taken as Unicode code points (UCS-4), up to the first NUL unit.
QString ws2qs(const CZR_WideString& ws);

// Deletes the directory tree at path. True when the directory is gone afterwards or was
// not there; false when an entry or the directory itself could not be removed (what
// could be removed is gone, and every failure is logged). Symbolic links are removed
// as links, also one standing at path itself: neither their targets nor the targets'
// permissions are touched.
bool deleteDir(const QString& path);

} // namespace Comm

#endif // UPDATEDEFINE_H
