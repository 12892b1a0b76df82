#ifndef CZR_URLENCODE_H
#define CZR_URLENCODE_H

#include <QChar>
#include <QObject>
#include <QString>

// Percent-encoding for the values of the update request. Only the digits and the
// letters A-Z and a-z pass unchanged; every other character is written as "%" and two
// lowercase hex digits of its Latin-1 code. Characters beyond Latin-1 have no such
// code and are written as "%00".
class CZR_URLEncode : public QObject
{
    Q_OBJECT

public:
    explicit CZR_URLEncode(QObject* parent);
    ~CZR_URLEncode() override;

    // True when the character must be escaped.
    bool IsUnsafe(QChar ch);
    // "%" followed by the character's code as two lowercase hex digits.
    QString ConvertToHexString(QChar ch);
    // Escapes the unsafe characters of s and copies the others.
    QString URLEncode(QString s);
    // Escapes every character of s, safe or not.
    QString URLEncodeAll(QString s);

    // Inclusive ranges of unsafe character codes, low and high.
    static const int m_enum_unsafe_ascii_char_range[4][2];

private:
    // The Latin-1 code of ch, or 0 for a character beyond Latin-1.
    static int CharCode(QChar ch);
};

#endif // CZR_URLENCODE_H
