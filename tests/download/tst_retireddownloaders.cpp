// The release of downloaders by their owner, also from inside their own signals and
// when the owner itself goes inside one.

#include "cretireddownloaders.h"

#include <QPointer>
#include <QtTest>

#include <functional>

class FakeDownloader : public QObject
{
    Q_OBJECT

public:
    void stopDownLoads() { ++stops; }
    // Emits, then touches itself: the object must have outlived its signal.
    void fire()
    {
        emit finished();
        ++fired;
    }
    int stops = 0;
    int fired = 0;

signals:
    void finished();
};

class Owner : public QObject
{
    Q_OBJECT

public:
    ~Owner() override { retired.release(current); }
    FakeDownloader* make()
    {
        current = new FakeDownloader;
        connect(current, &FakeDownloader::finished, this, &Owner::onFinished);
        return current;
    }
    void onFinished()
    {
        const auto inSignal = retired.inSignal();
        ++reports;
        // A receiver may release the downloader, start another one, or destroy the owner.
        emit reported();
    }

    CRetiredDownloaders<FakeDownloader> retired{this};
    FakeDownloader* current = nullptr;
    int reports = 0;

signals:
    void reported();
};

class TestRetiredDownloaders : public QObject
{
    Q_OBJECT

private slots:
    void releasedAtOnceOutsideItsSignal();
    void releasedFromInsideItsSignal();
    void leftoversGoWithTheOwner();
    void ownerDestroyedInsideTheSignal();
};

void TestRetiredDownloaders::releasedAtOnceOutsideItsSignal()
{
    Owner owner;
    QPointer<FakeDownloader> first(owner.make());
    owner.retired.release(owner.current);
    QVERIFY(!owner.current);
    QVERIFY(first.isNull());
}

void TestRetiredDownloaders::releasedFromInsideItsSignal()
{
    Owner owner;
    QPointer<FakeDownloader> first(owner.make());
    connect(&owner, &Owner::reported, &owner, [&owner] {
        owner.retired.release(owner.current);
        owner.make();
    });
    first->fire();
    QVERIFY(first);
    QCOMPARE(first->fired, 1);
    QCOMPARE(first->stops, 1);
    QVERIFY(owner.current && owner.current != first);
    // Disconnected: the owner hears nothing more of it.
    first->fire();
    QCOMPARE(owner.reports, 1);
    QTRY_VERIFY(first.isNull());
    // Outside the signal again, the next one goes at once.
    QPointer<FakeDownloader> second(owner.current);
    owner.retired.release(owner.current);
    QVERIFY(second.isNull());
}

void TestRetiredDownloaders::leftoversGoWithTheOwner()
{
    QPointer<FakeDownloader> first;
    QPointer<FakeDownloader> second;
    {
        Owner owner;
        first = owner.make();
        connect(&owner, &Owner::reported, &owner, [&owner] { owner.retired.release(owner.current); });
        first->fire();
        second = owner.make();
        QVERIFY(first && second);
        // No event loop runs before the owner goes.
    }
    QVERIFY(first.isNull());
    QVERIFY(second.isNull());
}

void TestRetiredDownloaders::ownerDestroyedInsideTheSignal()
{
    Owner* owner = new Owner;
    QPointer<Owner> watch(owner);
    QPointer<FakeDownloader> first(owner->make());
    connect(owner, &Owner::reported, this, [owner] { delete owner; });
    first->fire();
    QVERIFY(watch.isNull());
    // The emitting downloader outlived its signal, stopped, and goes from the loop.
    QVERIFY(first);
    QCOMPARE(first->fired, 1);
    QCOMPARE(first->stops, 1);
    QTRY_VERIFY(first.isNull());
}

QTEST_MAIN(TestRetiredDownloaders)
#include "tst_retireddownloaders.moc"
