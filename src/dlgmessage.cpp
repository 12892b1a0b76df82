#include "dlgmessage.h"
#include "ui_dlgmessage.h"

#include <QKeySequence>
#include <QPushButton>

namespace {

void giveMnemonics(const QList<QPushButton*>& buttons)
{
    QString taken;
    for (const QPushButton* button : buttons) {
        const QKeySequence mnemonic = QKeySequence::mnemonic(button->text());
        if (!mnemonic.isEmpty())
            taken += QChar(mnemonic[0] & ~Qt::MODIFIER_MASK).toLower();
    }
    for (QPushButton* button : buttons) {
        QString text = button->text();
        if (!QKeySequence::mnemonic(text).isEmpty())
            continue;
        for (int i = 0; i < text.size(); ++i) {
            const QChar letter = text.at(i).toLower();
            if (letter >= QLatin1Char('a') && letter <= QLatin1Char('z') && !taken.contains(letter)) {
                taken += letter;
                button->setText(text.insert(i, QLatin1Char('&')));
                break;
            }
        }
    }
}

} // namespace

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
    // The keyboard starts on the default button, OK or what the caller calls it: Enter
    // presses it, Escape rejects the dialog as Cancel does, and Tab takes the buttons in
    // their order in the form, which is the order they are read in.
    ui->pushButton_ok->setFocus();
}

DlgMessage::~DlgMessage()
{
    delete ui;
}

void DlgMessage::setInformation(QString text)
{
    ui->label->setText(text);
    // What the window says is its description for assistive tools.
    setAccessibleDescription(text);
}

void DlgMessage::setOkButtonText(QString text)
{
    ui->pushButton_cancel->setVisible(true);
    ui->pushButton_ok->setText(text);
}

void DlgMessage::setStandardButtonsOk()
{
    ui->pushButton_cancel->setVisible(false);
    ui->pushButton_ok->setText(tr("&OK"));
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

void DlgMessage::showEvent(QShowEvent* event)
{
    // Whatever texts the caller gave the buttons, each is reached with Alt and a letter.
    giveMnemonics(findChildren<QPushButton*>());
    QDialog::showEvent(event);
}
