#ifndef REGISTER_H
#define REGISTER_H

#include <QString>

// Reads the reader's settings store ("Moravel Software" / "Moravel Reader", user scope,
// native format) through registry-style paths such as "\Preferences\Languages".
// The updater only reads; the reader application is the store's one writer.
class CRegister
{
public:
    virtual ~CRegister();

    // Joins path and key with a backslash, turns every backslash into "/" and reads
    // that key of the reader store as text. Absent keys, a missing store and an
    // unreadable file all give the empty text.
    static QString regGetString(QString path, QString key);

    // The settings key that regGetString reads for path and key.
    static QString settingsKey(const QString& path, const QString& key);
};

#endif // REGISTER_H
