#include "csetup_commandline.h"

#include <QStringList>

CSetup_CommandLine::CSetup_CommandLine()
    : QObject(nullptr)
{
}

CSetup_CommandLine::~CSetup_CommandLine()
{
    m_hashParams.clear();
}

bool CSetup_CommandLine::parserParam(QString text)
{
    if (text.isEmpty())
        return false;

    const QStringList pieces = text.split(QLatin1Char(','), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (pieces.isEmpty())
        return false;

    for (const QString& piece : pieces)
        doParsePice(piece);

    return !m_hashParams.isEmpty();
}

void CSetup_CommandLine::doParsePice(QString piece)
{
    if (piece.isEmpty())
        return;

    // The key ends at the first colon; a piece without one is all key.
    const int colon = piece.indexOf(QLatin1Char(':'), 0, Qt::CaseSensitive);
    const QString key = colon < 0 ? piece : piece.left(colon);

    // The value is what stands between the first and the second double quote, so it
    // may hold colons. A piece without any double quote has no value at all and adds
    // no entry, rather than an entry with an empty value.
    const QStringList parts = piece.split(QLatin1Char('"'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() < 2)
        return;

    if (m_hashParams.contains(key))
        return;
    // key:"" is a present key with an empty value, which must not read as absent (null).
    QString value = parts.at(1);
    if (value.isNull())
        value = QString(QLatin1String(""));
    m_hashParams.insert(key, value);
}

QString CSetup_CommandLine::getValue(QString key)
{
    if (m_hashParams.isEmpty())
        return QString();
    return m_hashParams.value(key);
}

QString CSetup_CommandLine::getReaderPathFromcmd()
{
    return QString(QLatin1String(""));
}
