#ifndef CTRUSTEDKEYS_H
#define CTRUSTEDKEYS_H

#include <QByteArray>
#include <QList>
#include <QString>

// The publisher keys the updater trusts: those the build was configured with (CMake
// cache variable MORAVEL_UPDATE_PUBLIC_KEYS, comma-separated) and those in the file
// "update-keys.pub" beside the executable (UTF-8, one a line, at most 64 KiB). Each item
// of the list and each line of the file is a key line: the standard base64 of an
// Ed25519 public key (CEd25519::publicKeyFromBase64), optionally followed by white space
// and a "#" comment; blank lines and lines that start with "#" are skipped. A malformed
// key line is left out with a log line. Several keys let a publisher move to a new one.
//
// A key source that is present but yields no valid key (a list of malformed keys, a key
// file that cannot be read, is too large, is not UTF-8 or holds no valid key) does not
// turn the checks off: the key set then requires signatures it has no key for, so every
// reply is refused.
class CTrustedKeys
{
public:
    struct KeySet
    {
        QList<QByteArray> keys;  // the valid keys, each once
        bool required = false;   // a key source is present: the built-in list is not
                                 // empty, or update-keys.pub exists (in whatever state)
    };

    // The keys of the build and of the key file in dir (the executable's folder by
    // default). Only a regular file is read; anything else at the name (a folder, a
    // FIFO, a dangling link) counts as a key file that cannot be read.
    static KeySet load(const QString& dir = QString());
    // The keys of text, key lines separated by separator (',' for the build's list,
    // '\n' for a file); origin names the text in log lines, each line by its number.
    static QList<QByteArray> parse(const QString& text, QChar separator, const QString& origin);
    // The keys the build was configured with, as text.
    static QString builtIn();
};

#endif // CTRUSTEDKEYS_H
