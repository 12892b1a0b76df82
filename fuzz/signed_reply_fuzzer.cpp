// Feeds arbitrary bytes to the reading of a signed reply, as the update server could send
// them: the split of the trailing signature comment and the reading of the issued and
// expires times. Aborts when a rule is broken:
//  - split: on success the message is a leading part of the input, the signature has 64
//    bytes, and the message followed by signatureComment(signature) is the input without
//    its trailing white space; on failure a reason is given; the answer does not depend
//    on which results the caller asks for;
//  - whatever the message, once signed the way a publisher signs it (the input, a
//    signature taken from its bytes, some white space after) it splits back into exactly
//    that message and that signature;
//  - parseUtcTime on every 20-character slice of the input, read as Latin-1 and as UTF-8,
//    and on the whole input: on success formatUtcTime of the result gives back exactly
//    the text read;
//  - a time formatUtcTime writes (years 1 to 9999, picked from the input) reads back as
//    the same second.
#include "csignedreply.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
const qint64 kFirstSecond = -62135596800LL;
const qint64 kLastSecond = 253402300799LL;

bool isXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

QByteArray withoutTrailingSpace(const QByteArray& bytes)
{
    int end = bytes.size();
    while (end > 0 && isXmlSpace(bytes.at(end - 1)))
        --end;
    return bytes.left(end);
}

void checkSplit(const QByteArray& input)
{
    QByteArray message("unchanged");
    QByteArray signature("unchanged");
    QString why;
    const bool ok = CSignedReply::split(input, &message, &signature, &why);
    if (ok != CSignedReply::split(input, nullptr, nullptr, nullptr))
        std::abort();
    if (!ok) {
        if (why.isEmpty())
            std::abort();
        return;
    }
    if (message.size() >= input.size() || !input.startsWith(message))
        std::abort();
    if (signature.size() != 64)
        std::abort();
    if (message + CSignedReply::signatureComment(signature) != withoutTrailingSpace(input))
        std::abort();
}

void checkSigned(const QByteArray& input)
{
    QByteArray signature(64, '\0');
    for (int i = 0; i < signature.size() && !input.isEmpty(); ++i)
        signature[i] = input.at(i % input.size());
    static const char* const trailing[] = {"", "\n", "\r\n", " \t \n"};
    const QByteArray reply = input + CSignedReply::signatureComment(signature) + trailing[input.size() % 4];
    QByteArray message;
    QByteArray back;
    if (!CSignedReply::split(reply, &message, &back) || message != input || back != signature)
        std::abort();
}

void checkTime(const QString& text)
{
    qint64 seconds = 0;
    if (CSignedReply::parseUtcTime(text, &seconds) && CSignedReply::formatUtcTime(seconds) != text)
        std::abort();
}

void checkTimes(const QByteArray& input)
{
    for (const QString& text : {QString::fromLatin1(input), QString::fromUtf8(input)}) {
        checkTime(text);
        for (int i = 0; i + 20 <= text.size(); ++i)
            checkTime(text.mid(i, 20));
    }
}

void checkWrittenTime(const QByteArray& input)
{
    if (input.size() < 8)
        return;
    quint64 raw = 0;
    std::memcpy(&raw, input.constData(), sizeof raw);
    const qint64 seconds = kFirstSecond + qint64(raw % quint64(kLastSecond - kFirstSecond + 1));
    const QString text = CSignedReply::formatUtcTime(seconds);
    qint64 back = 0;
    if (!CSignedReply::parseUtcTime(text, &back) || back != seconds)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 16))
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));
    checkSplit(input);
    checkSigned(input);
    checkTimes(input);
    checkWrittenTime(input);
    return 0;
}
