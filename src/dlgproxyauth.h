#ifndef DLGPROXYAUTH_H
#define DLGPROXYAUTH_H

#include <QDialog>
#include <QString>

namespace Ui {
class DlgProxyAuth;
}

// Asks for the user name and password a proxy server requires: "The proxy server NAME
// requires a user name and password." with the two fields, Cancel and OK. Like the
// message dialog, every way of closing it rejects it; m_bOk tells whether OK closed it.
class DlgProxyAuth : public QDialog
{
    Q_OBJECT

public:
    explicit DlgProxyAuth(QWidget* parent);
    ~DlgProxyAuth() override;

    void setProxyName(const QString& name);
    QString user() const;
    QString password() const;

    // Shows the dialog for the proxy called name, placed like every dialog; true with
    // the answer when the user pressed OK. The run's asker of a manual check.
    static bool ask(const QString& name, QString* user, QString* password);

private slots:
    void on_pushButton_cancel_clicked();
    void on_pushButton_ok_clicked();

private:
    Ui::DlgProxyAuth* ui;

public:
    bool m_bOk;
};

#endif // DLGPROXYAUTH_H
