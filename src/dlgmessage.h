#ifndef DLGMESSAGE_H
#define DLGMESSAGE_H

#include <QDialog>

namespace Ui {
class DlgMessage;
}

// The updater's message and question window: a fixed-size dialog with a word-wrapped
// text and the buttons "Cancel" and "OK". Every way of closing it rejects the dialog;
// m_bOk alone tells whether OK closed it.
class DlgMessage : public QDialog
{
    Q_OBJECT

public:
    explicit DlgMessage(QWidget* parent);
    ~DlgMessage() override;

    void setInformation(QString text);
    // Shows the Cancel button again and gives the OK button the text.
    void setOkButtonText(QString text);
    // Leaves a single button, "OK".
    void setStandardButtonsOk();

protected:
    // Gives each button whose text has no mnemonic one: the first letter of its text
    // (A to Z) that no other button's mnemonic uses, so "Install" becomes "&Install". A
    // text without such a letter (Chinese, Japanese, Korean) gets none.
    void showEvent(QShowEvent* event) override;

private slots:
    void on_pushButton_cancel_clicked();
    void on_pushButton_ok_clicked();

private:
    Ui::DlgMessage* ui;

public:
    bool m_bOk;
};

#endif // DLGMESSAGE_H
