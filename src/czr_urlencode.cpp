#include "czr_urlencode.h"

const int CZR_URLEncode::m_enum_unsafe_ascii_char_range[4][2] = {
    { 0, 47 },    // control characters, space, '!' to '/'
    { 58, 64 },   // ':' to '@'
    { 91, 96 },   // '[' to '`'
    { 123, 255 }  // '{' to the end of Latin-1
};

CZR_URLEncode::CZR_URLEncode(QObject* parent)
    : QObject(parent)
{
}

CZR_URLEncode::~CZR_URLEncode() = default;

int CZR_URLEncode::CharCode(QChar ch)
{
    const ushort code = ch.unicode();
    return code < 256 ? static_cast<int>(code) : 0;
}

bool CZR_URLEncode::IsUnsafe(QChar ch)
{
    const int code = CharCode(ch);
    for (const auto& range : m_enum_unsafe_ascii_char_range) {
        if (code >= range[0] && code <= range[1])
            return true;
    }
    return false;
}

QString CZR_URLEncode::ConvertToHexString(QChar ch)
{
    return QString::asprintf("%%%02x", CharCode(ch));
}

QString CZR_URLEncode::URLEncode(QString s)
{
    QString result;
    result.reserve(s.size() * 3);
    for (const QChar ch : qAsConst(s)) {
        if (IsUnsafe(ch))
            result += ConvertToHexString(ch);
        else
            result += ch;
    }
    return result;
}

QString CZR_URLEncode::URLEncodeAll(QString s)
{
    QString result;
    result.reserve(s.size() * 3);
    for (const QChar ch : qAsConst(s))
        result += ConvertToHexString(ch);
    return result;
}
