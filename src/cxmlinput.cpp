#include "cxmlinput.h"

#include "updatedefine.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CXmlInput::ReadStatus CXmlInput::readFile(const QString& path, qint64 maxBytes, SizeRule rule, QByteArray* data,
                                          qint64* fileSize)
{
    data->clear();
    if (fileSize)
        *fileSize = 0;

    // Opened without blocking and examined before anything is read: opening a FIFO for
    // reading would wait for a writer, and a device could go on for ever.
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return OpenFailed;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return OpenFailed;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return NotRegularFile;
    }
    const qint64 size = qint64(st.st_size);
    if (fileSize)
        *fileSize = size;
    if (rule == WholeFile && size > maxBytes) {
        ::close(fd);
        return TooLarge;
    }

    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return OpenFailed;
    }
    // One byte more than the limit shows a file that has grown since it was examined.
    QByteArray bytes = file.read(rule == WholeFile ? maxBytes + 1 : maxBytes);
    file.close();
    if (bytes.size() > maxBytes)
        return ReadFailed;
    *data = bytes;
    return ReadOk;
}

bool CXmlInput::parse(const QByteArray& data)
{
    m_tree.reset(CXML_Element::Parse(data.constData(), static_cast<size_t>(data.size()), 0, nullptr, nullptr, 0));
    return m_tree != nullptr;
}

QString CXmlInput::rootTag() const
{
    return m_tree ? QString::fromUtf8(m_tree->GetTagName().c_str()) : QString();
}

std::optional<QString> CXmlInput::attribute(const CXML_Element* element, const char* name)
{
    CZR_WideString value;
    if (!element || !element->GetAttrValue(name, value))
        return std::nullopt;
    return Comm::ws2qs(value);
}

CXmlInput::Attribute CXmlInput::attributeAt(const CXML_Element* element, int32_t index)
{
    Attribute attribute;
    CZR_ByteString prefix;
    if (element)
        element->GetAttrByIndex(index, prefix, attribute.name, attribute.value);
    return attribute;
}

QString CXmlInput::Attribute::text() const
{
    return Comm::ws2qs(value);
}
