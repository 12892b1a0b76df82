// The message dialog: its form, its buttons and how it reports OK.
#include "dlgmessage.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

QPushButton* okButton(DlgMessage& dlg)
{
    return dlg.findChild<QPushButton*>(QStringLiteral("pushButton_ok"));
}

QPushButton* cancelButton(DlgMessage& dlg)
{
    return dlg.findChild<QPushButton*>(QStringLiteral("pushButton_cancel"));
}

QLabel* label(DlgMessage& dlg)
{
    return dlg.findChild<QLabel*>(QStringLiteral("label"));
}

// Runs the dialog modally and lets action close it from inside the dialog's loop.
// A fallback closes it if the action did not, so a fault cannot hang the test.
int runWith(DlgMessage& dlg, std::function<void()> action, bool* actionRan)
{
    *actionRan = false;
    QTimer::singleShot(0, &dlg, [&dlg, action, actionRan] {
        QVERIFY(dlg.isVisible());
        *actionRan = true;
        action();
    });
    QTimer::singleShot(10000, &dlg, [&dlg] { dlg.done(1234); });
    return dlg.exec();
}

} // namespace

class TestDlgMessage : public QObject
{
    Q_OBJECT

private slots:
    void freshDialog()
    {
        DlgMessage dlg(nullptr);
        QCOMPARE(dlg.objectName(), QStringLiteral("DlgMessage"));
        QCOMPARE(dlg.size(), QSize(404, 139));
        QCOMPARE(dlg.minimumSize(), QSize(404, 139));
        QCOMPARE(dlg.maximumSize(), QSize(404, 139));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Moravel Updater"));
        // The icon comes from the compiled-in resources.
        QVERIFY(!dlg.windowIcon().isNull());
        QVERIFY(QFile::exists(QStringLiteral(":/res/MoravelReaderUpgrade-128x128.png")));
        QVERIFY(!dlg.m_bOk);

        QVERIFY(label(dlg));
        QCOMPARE(label(dlg)->text(), QStringLiteral("Tips"));
        QVERIFY(label(dlg)->wordWrap());
        QCOMPARE(label(dlg)->alignment(), Qt::Alignment(Qt::AlignTop));

        QVERIFY(okButton(dlg) && cancelButton(dlg));
        QCOMPARE(okButton(dlg)->text(), QStringLiteral("&OK"));
        QCOMPARE(cancelButton(dlg)->text(), QStringLiteral("&Cancel"));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QVERIFY(okButton(dlg)->isVisible());
        QVERIFY(cancelButton(dlg)->isVisible());
        QVERIFY(cancelButton(dlg)->x() < okButton(dlg)->x());
        QVERIFY(label(dlg)->y() < okButton(dlg)->y());
    }

    void onlyACloseButtonInTheTitleBar()
    {
        DlgMessage dlg(nullptr);
        const Qt::WindowFlags flags = dlg.windowFlags();
        QVERIFY(dlg.isWindow());
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    }

    void staysAWindowWithAParent()
    {
        // The checking dialog shows its network message with itself as parent.
        QDialog parent;
        parent.resize(300, 100);
        parent.show();
        DlgMessage dlg(&parent);
        QVERIFY(dlg.isWindow());
        QVERIFY(dlg.windowFlags().testFlag(Qt::WindowCloseButtonHint));
        bool ran = false;
        QCOMPARE(runWith(dlg, [&] { QTest::mouseClick(okButton(dlg), Qt::LeftButton); }, &ran), int(QDialog::Rejected));
        QVERIFY(ran);
        QVERIFY(dlg.m_bOk);
    }

    void okSetsTheFlag()
    {
        DlgMessage dlg(nullptr);
        dlg.setInformation(QStringLiteral("Moravel Reader is already up to date."));
        dlg.setStandardButtonsOk();
        QCOMPARE(label(dlg)->text(), QStringLiteral("Moravel Reader is already up to date."));
        QCOMPARE(okButton(dlg)->text(), QStringLiteral("&OK"));
        bool ran = false;
        const int code = runWith(dlg, [&] {
            QVERIFY(!cancelButton(dlg)->isVisible());
            QVERIFY(okButton(dlg)->isVisible());
            QTest::mouseClick(okButton(dlg), Qt::LeftButton);
        }, &ran);
        QVERIFY(ran);
        QCOMPARE(code, int(QDialog::Rejected));
        QVERIFY(dlg.m_bOk);
        QVERIFY(!dlg.isVisible());
    }

    void otherWaysOutLeaveTheFlagClear_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("Cancel button") << 0;
        QTest::newRow("title bar close") << 1;
        QTest::newRow("Escape key") << 2;
    }

    void otherWaysOutLeaveTheFlagClear()
    {
        QFETCH(int, way);
        DlgMessage dlg(nullptr);
        bool ran = false;
        const int code = runWith(dlg, [&] {
            if (way == 0)
                QTest::mouseClick(cancelButton(dlg), Qt::LeftButton);
            else if (way == 1)
                dlg.close();
            else
                QTest::keyClick(&dlg, Qt::Key_Escape);
        }, &ran);
        QVERIFY(ran);
        QCOMPARE(code, int(QDialog::Rejected));
        QVERIFY(!dlg.m_bOk);
    }

    void okButtonTextBringsCancelBack()
    {
        DlgMessage dlg(nullptr);
        dlg.setStandardButtonsOk();
        dlg.setOkButtonText(QStringLiteral("Install"));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QVERIFY(cancelButton(dlg)->isVisible());
        QVERIFY(okButton(dlg)->isVisible());
        QCOMPARE(okButton(dlg)->text(), QStringLiteral("&Install"));
    }

    void callersTextsGetAMnemonic_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("its first letter") << "Install" << "&Install";
        QTest::newRow("not a letter Cancel or OK has") << "Close" << "C&lose";
        QTest::newRow("its own is kept") << "Re&try" << "Re&try";
        QTest::newRow("none without a Latin letter") << QString::fromUtf8("インストール") << QString::fromUtf8("インストール");
    }

    void callersTextsGetAMnemonic()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        DlgMessage dlg(nullptr);
        dlg.setOkButtonText(text);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(okButton(dlg)->text(), shown);
        QCOMPARE(cancelButton(dlg)->text(), QStringLiteral("&Cancel"));
    }

    void markupIsShownAsText()
    {
        // The question carries the server's version text: markup in it is shown as the
        // characters it is made of, and nothing it names is loaded.
        DlgMessage dlg(nullptr);
        const QString text = QStringLiteral("A new version (<img src=\"/nonexistent/x.png\"><font color=red>7.2</font>)");
        dlg.setInformation(text);
        QCOMPARE(label(dlg)->textFormat(), Qt::PlainText);
        QCOMPARE(label(dlg)->text(), text);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        // Rich text would lay the image out as one character; plain text takes the width
        // of every character of the markup.
        QVERIFY(label(dlg)->heightForWidth(label(dlg)->width()) > label(dlg)->fontMetrics().height());
    }

    void longTextWrapsInsideTheFixedSize()
    {
        DlgMessage dlg(nullptr);
        QString text;
        for (int i = 0; i < 20; ++i)
            text += QStringLiteral("Download completed. Please close Moravel Reader. ");
        dlg.setInformation(text);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        dlg.adjustSize();
        QCOMPARE(dlg.size(), QSize(404, 139));
        QVERIFY(label(dlg)->width() <= 404);
        // Wrapped: one line of the text alone would be far wider than the dialog.
        QVERIFY(label(dlg)->fontMetrics().horizontalAdvance(text) > 404);
        QVERIFY(label(dlg)->heightForWidth(label(dlg)->width()) > label(dlg)->fontMetrics().height());
    }
};

QTEST_MAIN(TestDlgMessage)
#include "tst_dlgmessage.moc"
