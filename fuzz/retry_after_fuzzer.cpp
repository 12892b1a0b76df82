// Feeds arbitrary bytes to the reading of a request server's "Retry-After", as a server
// or a proxy on the way may send them, and checks what a wait may be: after the answer,
// and at most a day after it.
#include "cserverwaits.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    const QByteArray value(reinterpret_cast<const char*>(data), static_cast<int>(size));
    for (const qint64 now : { qint64(0), qint64(1796692200), qint64(253402300000) }) {
        const std::optional<qint64> until = CServerWaits::parseRetryAfter(value, now);
        if (until && (*until <= now || *until > now + CServerWaits::kMaxWaitSeconds))
            std::abort();
    }
    return 0;
}
