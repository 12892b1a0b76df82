#include "dialoganswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextEdit>
#include <QWidget>

namespace {

// The text a button shows: "&OK" shows "OK" (the letter after "&" is its mnemonic).
QString shownText(const QAbstractButton* button)
{
    return button->text().replace(QRegularExpression(QStringLiteral("&(.)")), QStringLiteral("\\1"));
}

} // namespace

DialogAnswerer::DialogAnswerer()
{
    m_log = qEnvironmentVariable("ZR_DIALOG_LOG");
    m_hook = qEnvironmentVariable("ZR_DIALOG_HOOK");
    const QString answers = qEnvironmentVariable("ZR_DIALOG_ANSWERS");
    if (!answers.isEmpty())
        m_answers = answers.split(QLatin1Char(','), Qt::SkipEmptyParts);
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &DialogAnswerer::poll);
    m_timer.start();
}

void DialogAnswerer::write(const QByteArray& line)
{
    if (m_log.isEmpty())
        return;
    QFile file(m_log);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line + '\n');
}

void DialogAnswerer::poll()
{
    watchDownloadWindow();
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || modal == m_handled)
        return;
    // The checking dialog closes by itself.
    if (QString::fromLatin1(modal->metaObject()->className()) == QLatin1String("DlgUpdateChecking"))
        return;
    m_handled = modal;
    answer(modal);
}

void DialogAnswerer::answer(QWidget* modal)
{
    const QString kind = QString::fromLatin1(modal->metaObject()->className());
    QJsonObject record;
    record.insert(QStringLiteral("kind"), kind);
    record.insert(QStringLiteral("title"), modal->windowTitle());
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        record.insert(QStringLiteral("text"), box->text());
        record.insert(QStringLiteral("plainText"), box->textFormat() == Qt::PlainText);
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            record.insert(QStringLiteral("okText"), shownText(ok));
    } else if (auto* label = modal->findChild<QLabel*>(QStringLiteral("label"))) {
        record.insert(QStringLiteral("text"), label->text());
        record.insert(QStringLiteral("plainText"), label->textFormat() == Qt::PlainText);
    }
    if (auto* ok = modal->findChild<QPushButton*>(QStringLiteral("pushButton_ok")))
        record.insert(QStringLiteral("okText"), shownText(ok));
    if (auto* cancel = modal->findChild<QPushButton*>(QStringLiteral("pushButton_cancel")))
        record.insert(QStringLiteral("cancelVisible"), cancel->isVisible());

    ++m_count;
    if (!m_hook.isEmpty())
        QProcess::execute(m_hook, QStringList() << QString::number(m_count) << kind);

    const QString choice = m_answers.isEmpty() ? QStringLiteral("ok") : m_answers.takeFirst().trimmed();
    record.insert(QStringLiteral("answer"), choice);
    write(QJsonDocument(record).toJson(QJsonDocument::Compact));

    if (choice == QLatin1String("close")) {
        modal->close();
        return;
    }
    const bool ok = choice != QLatin1String("cancel");
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        QAbstractButton* button = box->button(ok ? QMessageBox::Ok : QMessageBox::Cancel);
        if (button)
            button->click();
        else
            box->close();
        return;
    }
    const QString name = ok ? QStringLiteral("pushButton_ok") : QStringLiteral("pushButton_cancel");
    if (auto* button = modal->findChild<QPushButton*>(name))
        button->click();
    else
        modal->close();
}

void DialogAnswerer::watchDownloadWindow()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (QString::fromLatin1(window->metaObject()->className()) != QLatin1String("DlgDownload")
            || !window->isVisible())
            continue;
        auto* description = window->findChild<QTextEdit*>(QStringLiteral("descriptionEdit"));
        if (!description)
            continue;
        const QString shown = description->toPlainText();
        if (m_descriptions.contains(shown))
            continue;
        m_descriptions.insert(shown);
        QJsonObject record;
        record.insert(QStringLiteral("kind"), QStringLiteral("DlgDownload"));
        record.insert(QStringLiteral("text"), shown);
        // Text set as plain text comes back unchanged; markup would have been read.
        record.insert(QStringLiteral("plainText"), !description->acceptRichText());
        write(QJsonDocument(record).toJson(QJsonDocument::Compact));
    }
}
