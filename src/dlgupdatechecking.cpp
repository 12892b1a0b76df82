#include "dlgupdatechecking.h"
#include "ui_dlgupdatechecking.h"

#include "cdialogplacement.h"
#include "creadermodulemanager.h"
#include "dlgmessage.h"

#include <QDebug>
#include <QMetaObject>
#include <QShowEvent>
#include <QTimer>

namespace {

int g_nTimeoutMs = 60000;

} // namespace

DlgUpdateChecking::DlgUpdateChecking(QString type, QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::DlgUpdateChecking)
    , m_pTimer(nullptr)
    , m_strType(type)
    , m_pModuleManager(nullptr)
    , m_nResult(-1)
    , m_bWait(false)
    , m_bFinished(false)
{
    // The window icon lives in the compiled-in resources of the static core library.
    Q_INIT_RESOURCE(res);
    ui->setupUi(this);
    // What the window says is its description for assistive tools.
    setAccessibleDescription(ui->label->text());
}

DlgUpdateChecking::~DlgUpdateChecking()
{
    delete m_pTimer;
    m_pTimer = nullptr;
    delete ui;
}

void DlgUpdateChecking::setTimeoutInterval(int milliseconds)
{
    g_nTimeoutMs = milliseconds > 0 ? milliseconds : 60000;
}

int DlgUpdateChecking::timeoutInterval()
{
    return g_nTimeoutMs;
}

void DlgUpdateChecking::setModuleManager(CReaderModuleManager* manager)
{
    m_pModuleManager = manager;
}

void DlgUpdateChecking::startTimer(int milliseconds)
{
    if (!m_pTimer) {
        m_pTimer = new QTimer(this);
        connect(m_pTimer, SIGNAL(timeout()), this, SLOT(timeOut()));
    }
    m_pTimer->start(milliseconds);
}

void DlgUpdateChecking::startUpdateCheck()
{
    if (!m_pModuleManager)
        return;
    startTimer(g_nTimeoutMs);
    connect(m_pModuleManager, SIGNAL(sQueryModuleInfoFinish()), this, SLOT(checkFinsh()));
    m_pModuleManager->QueryModuleInfo(ui->progressBar, m_bWait);
}

void DlgUpdateChecking::checkFinsh()
{
    stopTimer();
    if (m_bFinished)
        return;

    if (m_pModuleManager) {
        // The manager reports the end of every query, failed ones included; its own
        // verdict counts, not how far the progress bar got (a reply without a length
        // never moves it).
        m_nResult = m_pModuleManager->isQuerySucceeded() ? 1 : -1;
        if (m_nResult == 1)
            ui->progressBar->setValue(100);
        finish();
        return;
    }

    if (ui->progressBar->value() > 99) {
        m_nResult = 1;
        finish();
    }
}

void DlgUpdateChecking::on_cancelButton_clicked()
{
    if (m_bFinished)
        return;
    m_nResult = 0;
    stopTimer();
    finish();
}

void DlgUpdateChecking::timeOut()
{
    qDebug() << "Update Time out";
    if (m_nResult != -1 || m_bFinished)
        return;
    stopTimer();

    if (m_bWait) {
        DlgMessage message(this);
        message.setInformation(QStringLiteral("Cannot establish connection to the Server, Check your network."));
        CDialogPlacement::place(&message);
        message.exec();
    }
    finish();
}

void DlgUpdateChecking::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The outcome may be known before the dialog is run (a query that waits for its
    // transfer ends inside startUpdateCheck): close again as soon as the dialog's own
    // loop runs, instead of waiting for a query that is over.
    if (m_bFinished)
        QMetaObject::invokeMethod(this, "reject", Qt::QueuedConnection);
}

void DlgUpdateChecking::stopTimer()
{
    if (!m_pTimer)
        return;
    // The timer may be the sender of the signal being handled; it goes from the loop.
    m_pTimer->stop();
    m_pTimer->deleteLater();
    m_pTimer = nullptr;
}

void DlgUpdateChecking::finish()
{
    m_bFinished = true;
    reject();
}
