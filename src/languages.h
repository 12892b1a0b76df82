#ifndef LANGUAGES_H
#define LANGUAGES_H

#include <QFont>
#include <QString>

class QTranslator;

// The user-interface language: numeric values of QLocale::Language and QLocale::Country.
// Taken from the reader's language settings, or from the system locale when the reader
// follows the system (nChooseLanType 0, absent or not a number).
void LoadLanguagesData(int& language, int& country);

// Full path of the updater's own translation file below the reader's installation
// directory ("Corvina_UpdateOldPath", else the updater's own directory).
QString getLanFilePath(int language, int country);

// Full path of the second translation file (the toolkit's own texts).
QString getGLanFilePath(int language, int country);

// Loads translator from filePath and installs it on the application when that worked.
// A missing or unreadable file leaves it uninstalled; returns whether it was installed.
bool installTranslatorFile(QTranslator& translator, const QString& filePath);

// The application font, chosen by the distribution named in issueFilePath, with a
// pixel size of 12.
QFont getAppFont(const QString& issueFilePath = QStringLiteral("/etc/issue"));

#endif // LANGUAGES_H
