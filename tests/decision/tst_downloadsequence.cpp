// The download window and its sequence against a real HTTP server on 127.0.0.1: the
// window as built, packages fetched one after another into the download directory,
// files already complete, stale files, silent modules, failed and refused downloads, and
// the end of the run after the last module. Packages are real and carry a "*.run"
// installer that leaves a marker line, so every installation can be seen.
#include "csetup_commandline.h"
#include "dlgdownload.h"
#include "logcapture.h"
#include "qhttpdownloads.h"
#include "runtestsupport.h"
#include "updaterapp.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDesktopWidget>
#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

#include <memory>

#include <unistd.h>

using namespace RunTest;

class TestDownloadSequence : public QObject
{
    Q_OBJECT

private:
    TestHttpServer m_server;
    std::unique_ptr<UpdaterApp> m_app;
    std::vector<std::unique_ptr<MODULEINFO>> m_records;

    DlgDownload* window() { return m_app->m_pDlgDownload; }

    // A module served at /pkg/<fileName> whose package starts the installer <tag>.run.
    MODULEINFO* served(const QString& fileName, const QString& tag, bool silent = false, QByteArray* bytes = nullptr)
    {
        const QByteArray package =
            installerPackage(tag + QStringLiteral(".run"), markerPath(), tag.toUtf8().repeated(500));
        // At full speed: each installer keeps its files in a folder of its own while
        // the next package is unpacked.
        m_server.route(QStringLiteral("/pkg/") + fileName, TestHttpServer::Reply::ok(package));
        if (bytes)
            *bytes = package;
        return record(fileName, m_server.url(QStringLiteral("/pkg/") + fileName).toString(),
                      QString::number(package.size()) + QStringLiteral("B"), silent);
    }

    MODULEINFO* record(const QString& name, const QString& url, const QString& size, bool silent = false)
    {
        m_records.emplace_back(new MODULEINFO);
        MODULEINFO* info = m_records.back().get();
        info->strName = name;
        info->strUrl = url;
        info->strSize = size;
        info->strDescription = QStringLiteral("What is new in ") + name;
        info->bSilentInstall = silent;
        return info;
    }

    void start(const QVector<MODULEINFO*>& modules)
    {
        window()->setSelectUpdates(modules);
        window()->startShowDownload();
    }

    // A package served at /pkg/R.pkg as the next of answers says, one answer a request:
    // "cut" (the whole file, cut off at 90%), "drop" (a 206 of the rest that stops after
    // 1000 bytes), "range" (a server that honours Range and If-Range), "changed" (the same
    // after the file changed on the server), "badrange" (a 206 that starts elsewhere),
    // "corrupt" (a 206 of the rest, of other bytes), "404".
    MODULEINFO* resumable(const QStringList& answers, bool withSha256, QByteArray* bytes)
    {
        *bytes = installerPackage(QStringLiteral("r.run"), markerPath(), patternData(200000));
        const QByteArray package = *bytes;
        m_asked.clear();
        auto clock = std::make_shared<QElapsedTimer>();
        m_server.handle(QStringLiteral("/pkg/R.pkg"), [this, package, answers, clock](const TestHttpServer::Request& request) {
            // The toolkit may send a request once more at once on a new connection when
            // the server closed the one before mid-reply; only the client's own tries,
            // at least a retry delay apart, take the next answer.
            const QString asked = QString::fromLatin1(request.header("Range") + ' ' + request.header("If-Range")).trimmed();
            if (clock->isValid() && clock->elapsed() < kRetryDelayMs / 2 && !m_asked.isEmpty() && m_asked.last() == asked)
                return TestHttpServer::Reply::status(404);
            clock->start();
            const QString answer = answers.value(m_asked.size(), QStringLiteral("404"));
            m_asked << asked;
            const bool changed = answer == QLatin1String("changed");
            const QByteArray etag = changed ? "\"e2\"" : "\"e1\"";
            const qint64 from = request.header("Range").mid(6).split('-').value(0).toLongLong();
            const auto partial = [&](const QByteArray& rest, qint64 first) {
                return TestHttpServer::Reply::status(206, rest)
                    .header("ETag", etag)
                    .header("Content-Range", "bytes " + QByteArray::number(first) + '-'
                                                 + QByteArray::number(package.size() - 1) + '/'
                                                 + QByteArray::number(package.size()));
            };
            if (answer == QLatin1String("cut"))
                return TestHttpServer::Reply::ok(package).header("ETag", etag).closeConnection().closeAfter(package.size() * 9 / 10);
            if (answer == QLatin1String("drop"))
                return partial(package.mid(static_cast<int>(from)), from).closeConnection().closeAfter(1000);
            if (answer == QLatin1String("badrange"))
                return partial(package.mid(static_cast<int>(from)), from - 1);
            if (answer == QLatin1String("corrupt"))
                return partial(QByteArray(package.size() - static_cast<int>(from), 'x'), from);
            if (answer == QLatin1String("range") || changed) {
                if (from == 0 || (request.hasHeader("If-Range") && request.header("If-Range") != etag))
                    return TestHttpServer::Reply::ok(package).header("ETag", etag);
                return partial(package.mid(static_cast<int>(from)), from);
            }
            return TestHttpServer::Reply::status(404);
        });
        MODULEINFO* info = record(QStringLiteral("R.pkg"), m_server.url(QStringLiteral("/pkg/R.pkg")).toString(),
                                  QString::number(package.size()) + QStringLiteral("B"), true);
        if (withSha256)
            info->strSha256 = QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());
        return info;
    }

    static QByteArray patternData(int size)
    {
        QByteArray data(size, Qt::Uninitialized);
        quint32 x = 12345u;
        for (int i = 0; i < size; ++i) {
            x = x * 1664525u + 1013904223u;
            data[i] = static_cast<char>(x >> 24);
        }
        return data;
    }

    // The Range and If-Range of each try at /pkg/R.pkg.
    QStringList m_asked;
    static const int kRetryDelayMs = 300;

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.isListening());
        CModuleDownload::setDefaultRetryDelay(kRetryDelayMs);
    }

    void init()
    {
        QDir(QDir::tempPath() + QStringLiteral("/MoravelCorvina")).removeRecursively();
        QFile::remove(QDir::tempPath() + QStringLiteral("/MoravelCorvina"));
        QFile::remove(qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/moravel-updater"));
        QDir().mkpath(root() + QStringLiteral("/markers"));
        m_server.clearRoutes();
        m_server.clearRequests();
        m_app.reset(new UpdaterApp(nullptr));
    }

    void cleanup()
    {
        m_app.reset();
        m_records.clear();
    }

    void windowAsBuilt()
    {
        DlgDownload* w = window();
        QVERIFY(!w->isVisible());
        QCOMPARE(w->objectName(), QStringLiteral("DlgDownload"));
        QCOMPARE(w->windowTitle(), QStringLiteral("Moravel Updater"));
        QCOMPARE(w->size(), QSize(604, 222));
        QCOMPARE(w->minimumSize(), QSize(604, 222));
        QCOMPARE(w->maximumSize(), QSize(604, 222));
        QVERIFY(w->windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(w->windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!w->windowIcon().isNull());
        QVERIFY(w->findChild<QTextEdit*>(QStringLiteral("descriptionEdit"))->isReadOnly());
        QCOMPARE(w->findChild<QLabel*>(QStringLiteral("descriptionLabel"))->text(), QStringLiteral("Description:"));
        QProgressBar* bar = w->findChild<QProgressBar*>(QStringLiteral("progressBar"));
        QCOMPARE(bar->value(), 0);
        QVERIFY(!bar->isTextVisible());
        QCOMPARE(w->centralWidget()->objectName(), QStringLiteral("centralwidget"));
        QVERIFY(!w->m_pHttpDownload);
        QCOMPARE(w->m_nDownloadedBytes, qint64(0));
        QCOMPARE(w->m_pApp, m_app.get());

        const QMetaObject* meta = w->metaObject();
        QCOMPARE(meta->className(), "DlgDownload");
        QStringList own;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Public);
            own << QString::fromLatin1(method.methodSignature()) + QLatin1Char(' ')
                       + QString::fromLatin1(method.parameterNames().join(','));
        }
        QCOMPARE(own, QStringList() << "downloadUpates(int) work"
                                    << "oneDownloadFinish(QString) filePath"
                                    << "errorfinish(QString) filePath"
                                    << "cancel() "
                                    << "continueDownload() ");
        QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    }

    void cancelClosesTheWindow()
    {
        window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(window()));
        window()->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        QVERIFY(!window()->isVisible());
    }

    void emptyListEndsTheRun()
    {
        ShowCounter shows(window());
        start({});
        QCOMPARE(shows.shows, 0);
        QVERIFY(m_app->m_bQuit);
        QCOMPARE(m_server.requestCount(), 0);
    }

    void downloadsShowsAndInstalls()
    {
        QByteArray package;
        MODULEINFO* reader = served(QStringLiteral("Reader.pkg"), QStringLiteral("reader"), false, &package);
        DialogDriver dialogs;
        dialogs.watchWindow(window());
        dialogs.answer(DialogDriver::Ok);
        LogCapture log(LogCapture::Quiet);
        start({ reader });

        // Shown for the transfer, centred on the desktop, with the module's description.
        QVERIFY(window()->isVisible());
        QVERIFY(!m_app->m_bQuit);
        const QDesktopWidget* desktop = QApplication::desktop();
        QCOMPARE(window()->pos(), QPoint((desktop->width() - 604) / 2, (desktop->height() - 222) / 2));
        QCOMPARE(window()->findChild<QTextEdit*>(QStringLiteral("descriptionEdit"))->toPlainText(),
                 QStringLiteral("What is new in Reader.pkg"));

        QTRY_VERIFY_WITH_TIMEOUT(m_app->m_bQuit, 30000);
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt);
        QVERIFY(!dialogs.seen.first().windowVisible);
        QVERIFY(!window()->isVisible());
        QCOMPARE(readFile(downloadDir() + QStringLiteral("Reader.pkg")), package);
        QCOMPARE(m_server.requestCount(), 1);
        QCOMPARE(m_server.lastRequest().header("Range"), QByteArray("bytes=0-"));
        QCOMPARE(window()->findChild<QProgressBar*>(QStringLiteral("progressBar"))->value(), 100);
        QVERIFY(log.lines().contains(QStringLiteral("Begin to download:")));
        QTRY_VERIFY_WITH_TIMEOUT(markerLines() == QStringList() << QStringLiteral("reader.run"), 20000);
    }

    void completeFileIsNotFetchedAgain()
    {
        QByteArray package;
        MODULEINFO* reader = served(QStringLiteral("Reader.pkg"), QStringLiteral("reader"), false, &package);
        QVERIFY(writeFile(downloadDir() + QStringLiteral("Reader.pkg"), package));
        ShowCounter shows(window());
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        start({ reader });
        // The package step ran inside the call.
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt);
        QCOMPARE(m_server.requestCount(), 0);
        QCOMPARE(shows.shows, 0);
        QCOMPARE(window()->findChild<QProgressBar*>(QStringLiteral("progressBar"))->value(), 100);
        QVERIFY(m_app->m_bQuit);
        QTRY_VERIFY_WITH_TIMEOUT(markerLines() == QStringList() << QStringLiteral("reader.run"), 20000);
    }

    void completeFileThenADownloadRunsBoth()
    {
        // A complete file must not end the run while later modules still download.
        QByteArray first;
        MODULEINFO* a = served(QStringLiteral("A.pkg"), QStringLiteral("a"), false, &first);
        MODULEINFO* b = served(QStringLiteral("B.pkg"), QStringLiteral("b"));
        QVERIFY(writeFile(downloadDir() + QStringLiteral("A.pkg"), first));
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        start({ a, b });
        QVERIFY(!m_app->m_bQuit);
        QVERIFY(window()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(m_app->m_bQuit, 30000);
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt << kInstallPrompt);
        QCOMPARE(m_server.requestCount(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(markerLines().size() == 2, 20000);
        const QStringList lines = markerLines();
        QCOMPARE(QSet<QString>(lines.begin(), lines.end()), QSet<QString>({ QStringLiteral("a.run"), QStringLiteral("b.run") }));
    }

    void staleFilesAreFetchedAfresh_data()
    {
        QTest::addColumn<QByteArray>("stale");
        QTest::addColumn<QString>("size");
        QTest::newRow("shorter file") << QByteArray("partial") << QString();
        QTest::newRow("longer file") << QByteArray(200000, 'x') << QString();
        // Unknown size: even an empty file is no package.
        QTest::newRow("empty file, size not a number") << QByteArray() << QStringLiteral("about 2 MB");
    }

    void staleFilesAreFetchedAfresh()
    {
        QFETCH(QByteArray, stale);
        QFETCH(QString, size);
        QByteArray package;
        MODULEINFO* reader = served(QStringLiteral("Reader.pkg"), QStringLiteral("reader"), true, &package);
        if (!size.isEmpty())
            reader->strSize = size;
        QVERIFY(writeFile(downloadDir() + QStringLiteral("Reader.pkg"), stale));
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        start({ reader });
        QCOMPARE(m_server.requestCount(), 1);
        QCOMPARE(readFile(downloadDir() + QStringLiteral("Reader.pkg")), package);
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt);
    }

    void declaredSize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("size");
        QTest::newRow("1 MiB") << QStringLiteral("1048576B") << qint64(1048576);
        QTest::newRow("3 GiB") << QStringLiteral("3221225472B") << qint64(3221225472LL);
        QTest::newRow("2^53") << QStringLiteral("9007199254740992B") << qint64(9007199254740992LL);
        QTest::newRow("2^53 + 1") << QStringLiteral("9007199254740993B") << qint64(0);
        QTest::newRow("past 64 bits") << QStringLiteral("99999999999999999999B") << qint64(0);
        QTest::newRow("negative") << QStringLiteral("-5B") << qint64(0);
        QTest::newRow("not a number") << QStringLiteral("12x34B") << qint64(0);
        QTest::newRow("empty") << QString() << qint64(0);
        QTest::newRow("only B") << QStringLiteral("B") << qint64(0);
    }

    void declaredSize()
    {
        QFETCH(QString, text);
        QFETCH(qint64, size);
        QCOMPARE(CModuleDownload::declaredSize(text), size);
    }

    void sizeOf3GiBLimitsTheBody()
    {
        MODULEINFO* reader = served(QStringLiteral("Reader.pkg"), QStringLiteral("reader"), true);
        reader->strSize = QStringLiteral("3221225472B");
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        start({ reader });
        QVERIFY(window()->m_pHttpDownload);
        QCOMPARE(window()->m_pHttpDownload->maxBodyBytes(), qint64(3221225472LL));
    }

    void silentModulesNeverShowTheWindow()
    {
        MODULEINFO* a = served(QStringLiteral("A.pkg"), QStringLiteral("a"), true);
        MODULEINFO* b = served(QStringLiteral("B.pkg"), QStringLiteral("b"), true);
        MODULEINFO* c = served(QStringLiteral("C.pkg"), QStringLiteral("c"), true);
        ShowCounter shows(window());
        DialogDriver dialogs;
        dialogs.watchWindow(window());
        for (int i = 0; i < 3; ++i)
            dialogs.answer(DialogDriver::Ok);
        // Every prompt runs inside the signals and waiting calls of the downloaders
        // before it, which must therefore all still be alive.
        QList<QPointer<QHttpDownLoadS>> downloaders;
        int releasedTooEarly = 0;
        dialogs.onDialog = [&] {
            for (const QPointer<QHttpDownLoadS>& earlier : qAsConst(downloaders))
                releasedTooEarly += (earlier.isNull() || earlier == window()->m_pHttpDownload) ? 1 : 0;
            downloaders << window()->m_pHttpDownload;
        };
        start({ a, b, c });
        // Each transfer ran inside its own waiting call, nested in the one before.
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt << kInstallPrompt << kInstallPrompt);
        QCOMPARE(shows.shows, 0);
        QVERIFY(m_app->m_bQuit);
        QCOMPARE(m_server.requestCount(), 3);
        // Each module had its own downloader; those of earlier modules are released once
        // control is back out here, the last one stays with the window.
        QCOMPARE(downloaders.size(), 3);
        QCOMPARE(releasedTooEarly, 0);
        QVERIFY(downloaders.at(2) && downloaders.at(2).data() == window()->m_pHttpDownload);
        QTRY_VERIFY(downloaders.at(0).isNull() && downloaders.at(1).isNull());
        QTRY_VERIFY_WITH_TIMEOUT(markerLines().size() == 3, 20000);
    }

    void errorOnTheFirstOfThreeGoesOn()
    {
        MODULEINFO* broken = record(QStringLiteral("Gone.pkg"), m_server.url(QStringLiteral("/pkg/Gone.pkg")).toString(),
                                    QStringLiteral("100B"));
        m_server.route(QStringLiteral("/pkg/Gone.pkg"), TestHttpServer::Reply::status(404, "no"));
        MODULEINFO* b = served(QStringLiteral("B.pkg"), QStringLiteral("b"));
        MODULEINFO* c = served(QStringLiteral("C.pkg"), QStringLiteral("c"), true);
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);  // warning
        dialogs.answer(DialogDriver::Ok);  // B
        dialogs.answer(DialogDriver::Ok);  // C
        start({ broken, b, c });
        QTRY_VERIFY_WITH_TIMEOUT(m_app->m_bQuit, 30000);
        QCOMPARE(dialogs.texts(), QStringList() << kDownloadFailed << kInstallPrompt << kInstallPrompt);
        QCOMPARE(dialogs.seen.first().kind, QStringLiteral("QMessageBox"));
        QCOMPARE(dialogs.seen.first().title, QStringLiteral("Moravel Reader"));
        QCOMPARE(dialogs.unexpected, 0);
        QVERIFY(!window()->isVisible());
        // Not retried.
        QCOMPARE(m_server.requestCount(), 3);
        QTRY_VERIFY_WITH_TIMEOUT(markerLines().size() == 2, 20000);
    }

    void failureOfTheLastModuleEndsTheRun()
    {
        MODULEINFO* a = served(QStringLiteral("A.pkg"), QStringLiteral("a"));
        MODULEINFO* broken = record(QStringLiteral("Cut.pkg"), m_server.url(QStringLiteral("/pkg/Cut.pkg")).toString(),
                                    QStringLiteral("5000B"));
        m_server.route(QStringLiteral("/pkg/Cut.pkg"), TestHttpServer::Reply::ok(QByteArray(5000, 'z')).closeAfter(1000));
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        start({ a, broken });
        QTRY_VERIFY_WITH_TIMEOUT(m_app->m_bQuit, 30000);
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt << kDownloadFailed);
        QVERIFY(!window()->isVisible());
    }

    void downloadsThatCannotStart_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("address ends in a slash") << QStringLiteral("/pkg/");
        QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1:1/pkg/X.pkg");
        QTest::newRow("not an address") << QStringLiteral("http://[::1/X.pkg");
        QTest::newRow("empty") << QString();
    }

    void downloadsThatCannotStart()
    {
        // No transfer starts, so no signal would ever come: handled like a failed one.
        QFETCH(QString, url);
        if (url.startsWith(QLatin1Char('/')))
            url = m_server.url(url).toString();
        MODULEINFO* refused = record(QStringLiteral("X.pkg"), url, QStringLiteral("100B"));
        MODULEINFO* b = served(QStringLiteral("B.pkg"), QStringLiteral("b"), true);
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        start({ refused, b });
        QCOMPARE(dialogs.texts(), QStringList() << kDownloadFailed << kInstallPrompt);
        QVERIFY(m_app->m_bQuit);
        QCOMPARE(m_server.requestCount(), 1);
    }

    void downloadDirectoryThatCannotBeMade()
    {
        MODULEINFO* a = served(QStringLiteral("A.pkg"), QStringLiteral("a"));
        MODULEINFO* b = served(QStringLiteral("B.pkg"), QStringLiteral("b"));
        // Files where the working folder and its two fall-backs belong: no private folder.
        QVERIFY(writeFile(QDir::tempPath() + QStringLiteral("/MoravelCorvina"), "a file in the way"));
        QVERIFY(writeFile(QDir::tempPath() + QStringLiteral("/MoravelCorvina-") + QString::number(geteuid()),
                          "a file in the way"));
        // (The bases earlier cases kept there go first.)
        QDir(qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/moravel-updater")).removeRecursively();
        QVERIFY(writeFile(qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/moravel-updater"), "a file in the way"));
        ShowCounter shows(window());
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        LogCapture log(LogCapture::Quiet);
        start({ a, b });
        QCOMPARE(dialogs.texts(), QStringList() << kNotInstalled);
        QVERIFY(m_app->m_bQuit);
        QCOMPARE(shows.shows, 0);
        QCOMPARE(m_server.requestCount(), 0);
        QCOMPARE(log.lines().filter(QStringLiteral("can not make path for store the downloads:")).size(), 1);
    }

    void corruptPackageOnDiskIsFetchedAgain()
    {
        QByteArray package;
        MODULEINFO* reader = served(QStringLiteral("Reader.pkg"), QStringLiteral("reader"), false, &package);
        QByteArray corrupt = package;
        corrupt[corrupt.size() - 1] = static_cast<char>(corrupt.at(corrupt.size() - 1) ^ 0x01);
        QVERIFY(writeFile(downloadDir() + QStringLiteral("Reader.pkg"), corrupt));
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        start({ reader });
        QTRY_VERIFY_WITH_TIMEOUT(!dialogs.seen.isEmpty(), 20000);
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt);
        QCOMPARE(m_server.requestCount(), 1);
        QCOMPARE(readFile(downloadDir() + QStringLiteral("Reader.pkg")), package);
        QTRY_COMPARE_WITH_TIMEOUT(markerLines(), QStringList() << QStringLiteral("reader.run"), 20000);
    }

    void corruptDownloadIsDeletedForTheNextRun()
    {
        QByteArray package;
        MODULEINFO* reader = served(QStringLiteral("Reader.pkg"), QStringLiteral("reader"), true, &package);
        package[package.size() - 1] = static_cast<char>(package.at(package.size() - 1) ^ 0x01);
        m_server.route(QStringLiteral("/pkg/Reader.pkg"), TestHttpServer::Reply::ok(package));
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        start({ reader });
        // Just downloaded: not fetched again in this run, but not kept for the next.
        QCOMPARE(dialogs.texts(), QStringList() << kNotInstalled);
        QCOMPARE(m_server.requestCount(), 1);
        QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("Reader.pkg")));
    }

    void fileNamesOfTheWorkingFolderAreRefused_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::newRow("unpack folder") << QStringLiteral("uncompress");
        QTest::newRow("reply") << QStringLiteral("update_tmpfile.xml");
        QTest::newRow("installer folder") << QStringLiteral("installer-1");
        QTest::newRow("parent") << QStringLiteral("..");
    }

    void fileNamesOfTheWorkingFolderAreRefused()
    {
        QFETCH(QString, fileName);
        MODULEINFO* odd = record(fileName, m_server.url(QStringLiteral("/pkg/") + fileName).toString(),
                                 QStringLiteral("100B"), true);
        MODULEINFO* b = served(QStringLiteral("B.pkg"), QStringLiteral("b"), true);
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        start({ odd, b });
        QCOMPARE(dialogs.texts(), QStringList() << kDownloadFailed << kInstallPrompt);
        QCOMPARE(m_server.requestCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(markerLines(), QStringList() << QStringLiteral("b.run"), 20000);
    }

    void tricklingSilentModuleFails()
    {
        // Less than 1 KiB in a whole window: the transfer fails, though data keeps
        // coming and the stall check never fires, and the next module follows.
        QHttpDownLoadS::setDefaultSlowTransferWindow(1500);
        MODULEINFO* slow = record(QStringLiteral("Slow.pkg"), m_server.url(QStringLiteral("/pkg/Slow.pkg")).toString(),
                                  QStringLiteral("100000B"), true);
        m_server.route(QStringLiteral("/pkg/Slow.pkg"), TestHttpServer::Reply::ok(QByteArray(100000, 's')).trickle(10, 100));
        MODULEINFO* b = served(QStringLiteral("B.pkg"), QStringLiteral("b"), true);
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        // (Without the rule the trickle would take some 1000 s.)
        start({ slow, b });
        QHttpDownLoadS::setDefaultSlowTransferWindow(60000);
        QCOMPARE(dialogs.texts(), QStringList() << kDownloadFailed << kInstallPrompt);
        QVERIFY(m_app->m_bQuit);
    }

    void descriptionIsShownAsText()
    {
        MODULEINFO* a = served(QStringLiteral("A.pkg"), QStringLiteral("a"));
        a->strDescription = QStringLiteral("<b>bold?</b> <img src=\"/nonexistent.png\"> &amp;");
        m_server.route(QStringLiteral("/pkg/A.pkg"), TestHttpServer::Reply::silent());
        start({ a });
        QTextEdit* box = window()->findChild<QTextEdit*>(QStringLiteral("descriptionEdit"));
        QCOMPARE(box->toPlainText(), a->strDescription);
        QVERIFY(!box->acceptRichText());
        QVERIFY(!box->toHtml().contains(QLatin1String("<img")));
        window()->cancel();
    }

    void visibleAndSilentModulesInTheEventLoop()
    {
        MODULEINFO* a = served(QStringLiteral("A.pkg"), QStringLiteral("a"));
        MODULEINFO* b = served(QStringLiteral("B.pkg"), QStringLiteral("b"), true);
        MODULEINFO* c = served(QStringLiteral("C.pkg"), QStringLiteral("c"));
        DialogDriver dialogs;
        for (int i = 0; i < 3; ++i)
            dialogs.answer(DialogDriver::Ok);
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(60000);

        start({ a, b, c });
        QVERIFY(!m_app->m_bQuit);
        // The loop start-up runs ends by itself when the last module is done.
        QCOMPARE(m_app->exec(), 0);
        QVERIFY(m_app->m_bQuit);
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt << kInstallPrompt << kInstallPrompt);
        QVERIFY(!window()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(markerLines().size() == 3, 20000);
    }

    void interruptedDownloadsAreContinued_data()
    {
        QTest::addColumn<QStringList>("answers");       // this run's, then the next run's after "|"
        QTest::addColumn<bool>("withSha256");
        QTest::addColumn<QStringList>("ranges");        // "C" the cut at 90%, "C+k" k thousand bytes after it
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("logLine");

        const QStringList installed{kInstallPrompt};
        QTest::newRow("cut at 90%, continued") << QStringList{"cut", "range"} << true
                                               << QStringList{"bytes=0-", "bytes=C- \"e1\""} << installed
                                               << "^retrying R.pkg in 0.3 s \\(try 2 of 4\\)$";
        QTest::newRow("changed on the server: 200 starts over")
            << QStringList{"cut", "changed"} << true << QStringList{"bytes=0-", "bytes=C- \"e1\""} << installed
            << "^server ignored the range: starting over R.pkg.part$";
        QTest::newRow("206 elsewhere: a failed try, then from 0")
            << QStringList{"cut", "badrange", "range"} << true
            << QStringList{"bytes=0-", "bytes=C- \"e1\"", "bytes=0-"} << installed
            << "^the answer to the range does not continue R.pkg.part at byte C: status 206";
        QTest::newRow("continued file of another hash: once more from 0")
            << QStringList{"cut", "corrupt", "range"} << true
            << QStringList{"bytes=0-", "bytes=C- \"e1\"", "bytes=0-"} << installed
            << "^R.pkg.part does not match its sha256 after continuing: deleted, downloading it once more from byte 0$";
        QTest::newRow("no sha256: started over") << QStringList{"cut", "range"} << false
                                                 << QStringList{"bytes=0-", "bytes=0-"} << installed
                                                 << "^R.pkg.part is not continued, starting over: the package has no sha256$";
        QTest::newRow("four tries, then the next run continues")
            << QStringList{"cut", "drop", "drop", "drop", "|", "range"} << true
            << QStringList{"bytes=0-", "bytes=C- \"e1\"", "bytes=C+1- \"e1\"", "bytes=C+2- \"e1\"", "bytes=C+3- \"e1\""}
            << QStringList{kDownloadFailed, kInstallPrompt} << "^continuing R.pkg.part from byte C";
        QTest::newRow("404: not tried again") << QStringList{"404"} << true << QStringList{"bytes=0-"}
                                              << QStringList{kDownloadFailed} << QString();
    }

    void interruptedDownloadsAreContinued()
    {
        QFETCH(QStringList, answers);
        QFETCH(bool, withSha256);
        QFETCH(QStringList, ranges);
        QFETCH(QStringList, texts);
        QFETCH(QString, logLine);
        QByteArray package;
        MODULEINFO* module = resumable(answers.filter(QRegularExpression(QStringLiteral("^[a-z0-9]+$"))), withSha256,
                                       &package);
        const QString cut = QString::number(package.size() * 9 / 10);
        for (int k = 1; k <= 3; ++k)
            ranges.replaceInStrings(QStringLiteral("=C+%1-").arg(k), QStringLiteral("=%1-").arg(cut.toInt() + 1000 * k));
        ranges.replaceInStrings(QStringLiteral("=C-"), QStringLiteral("=") + cut + QLatin1Char('-'));
        logLine.replace(QStringLiteral(" C"), QLatin1Char(' ') + cut);
        DialogDriver dialogs;
        for (int i = 0; i < texts.size(); ++i)
            dialogs.answer(DialogDriver::Ok);

        // A silent module: every try runs inside its waiting transfer.
        LogCapture log(LogCapture::Quiet);
        start({ module });
        if (answers.contains(QStringLiteral("|"))) {
            // What the run left, and the next run.
            QVERIFY2(QFileInfo(downloadDir() + QStringLiteral("R.pkg.part")).size() == cut.toLongLong() + 3000,
                     qPrintable(log.lines().join(QLatin1Char('\n'))));
            QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("R.pkg")));
            m_app.reset(new UpdaterApp(nullptr));
            start({ module });
        }
        QVERIFY2(m_asked == ranges, qPrintable(m_asked.join(QLatin1String(", "))));
        QCOMPARE(dialogs.texts(), texts);
        // Nothing is left half-done: the package became R.pkg and was installed, or it
        // was refused for good and nothing of it is kept.
        QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("R.pkg.part")));
        QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("R.pkg.part.info")));
        if (texts.last() == kInstallPrompt) {
            QVERIFY2(!log.lines().filter(QRegularExpression(logLine)).isEmpty(), qPrintable(log.lines().join('\n')));
            QTRY_COMPARE_WITH_TIMEOUT(markerLines().size(), 1, 20000);
        }
    }

    void cancelKeepsThePartForTheNextRun()
    {
        QByteArray package;
        MODULEINFO* module = resumable({ "range", "range" }, true, &package);
        module->bSilentInstall = false;
        m_server.clearRoutes();
        m_server.route(QStringLiteral("/pkg/R.pkg"), TestHttpServer::Reply::ok(package).header("ETag", "\"e1\"").trickle(4096, 20));
        QTimer press;
        connect(&press, &QTimer::timeout, this, [this] {
            if (window()->findChild<QProgressBar*>(QStringLiteral("progressBar"))->value() >= 20)
                window()->cancel();
        });
        press.start(10);
        LogCapture log(LogCapture::Quiet);
        start({ module });
        QCOMPARE(m_app->exec(), 0);
        press.stop();
        const qint64 kept = QFileInfo(downloadDir() + QStringLiteral("R.pkg.part")).size();
        QVERIFY2(kept >= package.size() / 5 && kept < package.size(), qPrintable(QString::number(kept)));
        QVERIFY(!log.lines().filter(QStringLiteral("download cancelled; R.pkg.part kept for the next run")).isEmpty());

        // The next run asks for the rest, and the bar goes on from where it was.
        m_app.reset(new UpdaterApp(nullptr));
        m_server.route(QStringLiteral("/pkg/R.pkg"), TestHttpServer::Reply::ok(package).header("ETag", "\"e1\"").ranges());
        m_server.clearRequests();
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        QProgressBar* bar = window()->findChild<QProgressBar*>(QStringLiteral("progressBar"));
        QList<int> values;
        connect(bar, &QProgressBar::valueChanged, this, [&values](int value) { values << value; });
        start({ module });
        QCOMPARE(m_app->exec(), 0);
        QCOMPARE(m_server.lastRequest().header("Range"), "bytes=" + QByteArray::number(kept) + '-');
        QCOMPARE(m_server.lastRequest().header("If-Range"), QByteArray("\"e1\""));
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt);
        QVERIFY(!values.isEmpty());
        QVERIFY2(values.first() >= int(kept * 100 / package.size()), qPrintable(QString::number(values.first())));
        QCOMPARE(values.last(), 100);
    }

    void cancelDuringATransferEndsTheRun()
    {
        MODULEINFO* slow = record(QStringLiteral("Slow.pkg"), m_server.url(QStringLiteral("/pkg/Slow.pkg")).toString(),
                                  QStringLiteral("1000000B"));
        m_server.route(QStringLiteral("/pkg/Slow.pkg"),
                       TestHttpServer::Reply::ok(QByteArray(1000000, 's')).trickle(1000, 50));
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(60000);
        QTimer press;
        connect(&press, &QTimer::timeout, this, [this] {
            if (window()->m_nDownloadedBytes == 0
                && window()->findChild<QProgressBar*>(QStringLiteral("progressBar"))->value() > 0)
                window()->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        });
        press.start(20);

        start({ slow });
        QVERIFY(window()->isVisible());
        QCOMPARE(m_app->exec(), 0);
        QVERIFY(!window()->isVisible());
        press.stop();
        QVERIFY(window()->findChild<QProgressBar*>(QStringLiteral("progressBar"))->value() < 100);
        // The transfer dies with the window.
        m_app.reset();
        QTRY_COMPARE(m_server.openConnectionCount(), 0);
    }
};

QTEST_MAIN(TestDownloadSequence)
#include "tst_downloadsequence.moc"
