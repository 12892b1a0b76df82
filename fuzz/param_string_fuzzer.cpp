// Feeds arbitrary text to the run-parameter parser, as if the reader had stored it in
// "Corvina_UpdateParam", and checks what the table may hold afterwards.
#include "csetup_commandline.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));

    CSetup_CommandLine params;
    const bool any = params.parserParam(text);
    if (any != !params.m_hashParams.isEmpty())
        std::abort();
    if (text.isEmpty() && any)
        std::abort();

    // Pieces end at commas and values at double quotes, so neither can be stored.
    for (auto it = params.m_hashParams.cbegin(); it != params.m_hashParams.cend(); ++it) {
        if (it.key().contains(QLatin1Char(',')) || it.value().contains(QLatin1Char(',')))
            std::abort();
        if (it.value().contains(QLatin1Char('"')) || it.value().isNull())
            std::abort();
        if (!text.contains(it.value()))
            std::abort();
    }

    static const char* const keys[] = { "type", "updater", "product", "version", "bExpress", "corvinapath" };
    for (const char* key : keys) {
        const QString name = QLatin1String(key);
        const QString value = params.getValue(name);
        if (params.m_hashParams.contains(name) ? value != params.m_hashParams.value(name) : !value.isNull())
            std::abort();
    }
    params.getValue(params.m_hashParams.isEmpty() ? QString() : params.m_hashParams.cbegin().key());
    params.getReaderPathFromcmd();
    return 0;
}
