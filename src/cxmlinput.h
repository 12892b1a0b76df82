#ifndef CXMLINPUT_H
#define CXMLINPUT_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <memory>
#include <optional>

#include "xmlelement.h"
#include "zrbytestring.h"
#include "zrwidestring.h"

// Reads one of the updater's XML inputs (the server's reply, "UpdaterInfo.xml", a
// package's "Setup.xml"): the bytes of a file, within a limit, then their tree.
//
// Reading and parsing are separate steps, so that bytes can be checked (a signature)
// or cut (to the signed part) in between. Only a regular file is read: the file is
// opened without blocking and examined before a byte of it is read, so a FIFO, a
// device or a directory put at the path is never read. A link at the path is
// followed. The tree belongs to the object and goes with it.
class CXmlInput
{
public:
    // The tree of a document; a root element frees its whole subtree.
    using Tree = std::unique_ptr<CXML_Element>;

    // What readFile found.
    enum ReadStatus {
        ReadOk,          // the bytes are in data (none for an empty file)
        OpenFailed,      // nothing at the path, or it cannot be opened for reading
        NotRegularFile,  // a directory, FIFO, device or socket: not read
        TooLarge,        // WholeFile: the file is larger than the limit; nothing read
        ReadFailed       // reading failed, or the file grew past the limit meanwhile
    };

    // What readFile does with a file larger than the limit.
    enum SizeRule {
        WholeFile,   // refuses it (TooLarge)
        FirstBytes   // reads its first maxBytes bytes
    };

    // Reads the regular file at path as it stands (binary, no line-end conversion),
    // at most maxBytes bytes of it. data receives the bytes with ReadOk and is empty
    // otherwise; fileSize (may be null) the size the file had when it was opened
    // (0 when it could not be examined).
    static ReadStatus readFile(const QString& path, qint64 maxBytes, SizeRule rule, QByteArray* data,
                               qint64* fileSize = nullptr);

    // Parses data as a UTF-8 document (CXML_Element::Parse with its defaults) in place of
    // the tree held so far. True when the document gave a root element.
    bool parse(const QByteArray& data);
    // The root of the parsed document; null before parse, after a failed one or reset.
    CXML_Element* root() const { return m_tree.get(); }
    // The root's tag name (without prefix) as text; empty without a root.
    QString rootTag() const;
    // Frees the tree.
    void reset() { m_tree.reset(); }

    // The value of the attribute name (any prefix) as text; std::nullopt when the
    // element has no such attribute or element is null.
    static std::optional<QString> attribute(const CXML_Element* element, const char* name);

    // One attribute of an element, as the element holds it.
    struct Attribute
    {
        CZR_ByteString name;    // local name, without prefix
        CZR_WideString value;
        // The value as text (Comm::ws2qs).
        QString text() const;
    };
    // The index-th attribute of element, in document order; empty parts when index is
    // out of range.
    static Attribute attributeAt(const CXML_Element* element, int32_t index);

private:
    Tree m_tree;
};

#endif // CXMLINPUT_H
