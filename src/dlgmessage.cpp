#include "dlgmessage.h"
#include "ui_dlgmessage.h"

DlgMessage::DlgMessage(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::DlgMessage)
    , m_bOk(false)
{
    // The window icon lives in the compiled-in resources of the static core library.
    Q_INIT_RESOURCE(res);

    ui->setupUi(this);
    setFixedSize(size());
    // Only a close button in the title bar. The window type is kept explicit: with the
    // hint alone a dialog that has a parent would become a plain child widget drawn
    // inside its parent instead of a window of its own.
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint);
    m_bOk = false;
    ui->label->setWordWrap(true);
    // Texts may carry what the update server wrote (a version): never read as markup.
    ui->label->setTextFormat(Qt::PlainText);
    ui->label->setAlignment(Qt::AlignTop);
}

DlgMessage::~DlgMessage()
{
    delete ui;
}

void DlgMessage::setInformation(QString text)
{
    ui->label->setText(text);
}

void DlgMessage::setOkButtonText(QString text)
{
    ui->pushButton_cancel->setVisible(true);
    ui->pushButton_ok->setText(text);
}

void DlgMessage::setStandardButtonsOk()
{
    ui->pushButton_cancel->setVisible(false);
    ui->pushButton_ok->setText(tr("OK"));
}

void DlgMessage::on_pushButton_cancel_clicked()
{
    reject();
}

void DlgMessage::on_pushButton_ok_clicked()
{
    m_bOk = true;
    reject();
}
