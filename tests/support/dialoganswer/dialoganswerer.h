#ifndef DIALOGANSWERER_H
#define DIALOGANSWERER_H

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

class QWidget;

// Answers the modal dialogs of the process it lives in and records what they showed.
//
// Environment:
//   ZR_DIALOG_LOG      file that gets one JSON object a line for every dialog answered
//                      ({"kind", "title", "text", "plainText", "okText" (as shown,
//                      without the mnemonic's "&"), "cancelVisible", "answer"}) and for every new description the download window
//                      shows ({"kind": "DlgDownload", "text", "plainText"}).
//   ZR_DIALOG_ANSWERS  comma-separated answers, taken in turn: ok, cancel or close.
//                      When they run out, every further dialog is answered with ok.
//   ZR_DIALOG_HOOK     a program run (and waited for) before each answer, with the
//                      dialog's number (from 1) and kind as arguments: a test acts
//                      while a dialog is up.
// "plainText" tells whether the text is shown as plain text: a label whose text format
// is Qt::PlainText, a message box likewise, a description box whose document holds
// the text as it was given.
class DialogAnswerer : public QObject
{
    Q_OBJECT

public:
    DialogAnswerer();

private:
    void poll();
    void answer(QWidget* modal);
    void watchDownloadWindow();
    void write(const QByteArray& line);

    QTimer m_timer;
    QPointer<QWidget> m_handled;
    QStringList m_answers;
    QString m_log;
    QString m_hook;
    int m_count = 0;
    QSet<QString> m_descriptions;
};

#endif // DIALOGANSWERER_H
