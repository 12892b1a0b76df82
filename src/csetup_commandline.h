#ifndef CSETUP_COMMANDLINE_H
#define CSETUP_COMMANDLINE_H

#include <QHash>
#include <QObject>
#include <QString>

// The parameters of one update run. The reader writes them as one string into the
// settings key "Corvina_UpdateParam", for example
//     type:"Update List",updater:"Manual"
// and the driver parses that string once at the start of the run.
class CSetup_CommandLine : public QObject
{
    Q_OBJECT

public:
    CSetup_CommandLine();
    ~CSetup_CommandLine() override;

    // Splits text at every "," and parses each piece. Returns whether the table holds
    // at least one entry afterwards; false for a null or empty text.
    bool parserParam(QString text);

    // Parses one piece key:"value" and adds it unless the key is already known
    // (the first occurrence of a key wins).
    void doParsePice(QString piece);

    // The value stored for key, or a null string when there is none.
    QString getValue(QString key);

    // The reader path is not part of the command line; always empty.
    QString getReaderPathFromcmd();

    // Key to value, both exactly as they stand in the parameter string. Filled only by
    // parsing and read directly by the module manager and the download window.
    QHash<QString, QString> m_hashParams;
};

#endif // CSETUP_COMMANDLINE_H
