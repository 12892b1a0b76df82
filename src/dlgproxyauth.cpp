#include "dlgproxyauth.h"
#include "ui_dlgproxyauth.h"

#include "cdialogplacement.h"

#include <QLayout>

DlgProxyAuth::DlgProxyAuth(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::DlgProxyAuth)
    , m_bOk(false)
{
    // The window icon lives in the compiled-in resources of the static core library.
    Q_INIT_RESOURCE(res);

    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint);
    ui->label->setWordWrap(true);
    // The name comes from the environment or the desktop: never read as markup.
    ui->label->setTextFormat(Qt::PlainText);
    ui->lineEdit_password->setEchoMode(QLineEdit::Password);
    setProxyName(QString());
}

DlgProxyAuth::~DlgProxyAuth()
{
    delete ui;
}

void DlgProxyAuth::setProxyName(const QString& name)
{
    ui->label->setText(tr("The proxy server %1 requires a user name and password.").arg(name));
    // What the window asks is its description for assistive tools.
    setAccessibleDescription(ui->label->text());
}

QString DlgProxyAuth::user() const
{
    return ui->lineEdit_user->text();
}

QString DlgProxyAuth::password() const
{
    return ui->lineEdit_password->text();
}

bool DlgProxyAuth::ask(const QString& name, QString* user, QString* password)
{
    DlgProxyAuth dialog(nullptr);
    dialog.setProxyName(name);
    // Laid out now, so that the size it is centred with is the size it shows with.
    if (dialog.layout())
        dialog.layout()->activate();
    dialog.setFixedSize(dialog.sizeHint().expandedTo(dialog.size()));
    CDialogPlacement::place(&dialog);
    dialog.exec();
    if (!dialog.m_bOk)
        return false;
    *user = dialog.user();
    *password = dialog.password();
    return true;
}

void DlgProxyAuth::on_pushButton_cancel_clicked()
{
    reject();
}

void DlgProxyAuth::on_pushButton_ok_clicked()
{
    m_bOk = true;
    reject();
}
