#ifndef DLGUPDATECHECKING_H
#define DLGUPDATECHECKING_H

#include <QDialog>
#include <QString>

class CReaderModuleManager;
class QShowEvent;
class QTimer;

namespace Ui {
class DlgUpdateChecking;
}

// "Checking for Updates...": runs the module manager's query with a progress bar and a
// Cancel button, and closes itself when the query has ended, when the user cancels or
// when the time-out (60 s) runs out. m_nResult tells the caller which:
//    1  the query got an answer
//    0  the user pressed Cancel
//   -1  the query failed or timed out (also while the dialog still runs)
class DlgUpdateChecking : public QDialog
{
    Q_OBJECT

public:
    DlgUpdateChecking(QString type, QWidget* parent);
    ~DlgUpdateChecking() override;

    void setModuleManager(CReaderModuleManager* manager);
    // Starts, or restarts, the repeating time-out timer.
    void startTimer(int milliseconds);
    // Starts the time-out and the manager's query; nothing without a manager.
    void startUpdateCheck();

    // Whether the dialog closed by itself (answer, failure, time-out) or through its
    // Cancel button, rather than through the title bar or the Escape key.
    bool isFinished() const { return m_bFinished; }

    // The time-out startUpdateCheck uses: 60000 ms unless a test shortens it.
    static void setTimeoutInterval(int milliseconds);
    static int timeoutInterval();

public slots:
    void checkFinsh();
    void on_cancelButton_clicked();
    void timeOut();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void stopTimer();
    // Closes the dialog for good with the current m_nResult.
    void finish();

    Ui::DlgUpdateChecking* ui;

public:
    QTimer* m_pTimer;
    QString m_strType;
    CReaderModuleManager* m_pModuleManager;
    int m_nResult;
    bool m_bWait;

private:
    // Set once the dialog has closed with its outcome; a later exec() closes at once.
    bool m_bFinished;
};

#endif // DLGUPDATECHECKING_H
