#ifndef CTRUSTEDKEYS_H
#define CTRUSTEDKEYS_H

#include <QByteArray>
#include <QList>
#include <QString>

// The publisher keys the updater trusts: those the build was configured with (CMake
// cache variable MORAVEL_UPDATE_PUBLIC_KEYS, comma-separated) and those in the file
// "update-keys.pub" beside the executable (one key a line; blank lines and lines that
// start with "#" are skipped). A key is the standard base64 of an Ed25519 public key;
// a malformed one is left out with a log line. Several keys let a publisher move to a
// new one. Without any key the updater checks no signature.
class CTrustedKeys
{
public:
    // The keys of the build and of the key file in dir (the executable's folder by
    // default), each once.
    static QList<QByteArray> load(const QString& dir = QString());
    // The keys of a comma- or line-separated list; origin names it in log lines.
    static QList<QByteArray> parse(const QString& text, const QString& origin);
    // The keys the build was configured with, as text.
    static QString builtIn();
};

#endif // CTRUSTEDKEYS_H
