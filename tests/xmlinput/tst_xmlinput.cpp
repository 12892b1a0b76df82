// The reader of the XML inputs: only regular files are read, never blocking; the limit
// refuses a larger file or cuts it, as asked; the tree and its attributes as text.

#include "cxmlinput.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestXmlInput : public QObject
{
    Q_OBJECT

private slots:
    void readsOnlyRegularFilesWithinTheLimit_data();
    void readsOnlyRegularFilesWithinTheLimit();
    void parsesAndReadsAttributes();
};

void TestXmlInput::readsOnlyRegularFilesWithinTheLimit_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("rule");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("size");
    const int whole = CXmlInput::WholeFile;
    const int first = CXmlInput::FirstBytes;
    const int ok = CXmlInput::ReadOk;
    const int notRegular = CXmlInput::NotRegularFile;
    const QByteArray eight("<a\r\nbc/>");
    QTest::newRow("at the limit") << "file8" << whole << ok << eight << qint64(8);
    QTest::newRow("over it, whole") << "file9" << whole << int(CXmlInput::TooLarge) << QByteArray() << qint64(9);
    QTest::newRow("over it, first bytes") << "file9" << first << ok << eight << qint64(9);
    QTest::newRow("empty") << "empty" << whole << ok << QByteArray() << qint64(0);
    QTest::newRow("link to a file") << "link" << whole << ok << eight << qint64(8);
    QTest::newRow("missing") << "missing" << first << int(CXmlInput::OpenFailed) << QByteArray() << qint64(0);
    QTest::newRow("directory") << "dir" << first << notRegular << QByteArray() << qint64(0);
    QTest::newRow("FIFO without a writer") << "fifo" << first << notRegular << QByteArray() << qint64(0);
}

void TestXmlInput::readsOnlyRegularFilesWithinTheLimit()
{
    QFETCH(QString, kind);
    QFETCH(int, rule);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("input.xml"));
    const QString target = dir.filePath(QStringLiteral("target"));
    QFile file(kind == QLatin1String("link") ? target : path);
    if (kind.startsWith(QLatin1String("file")) || kind == QLatin1String("empty") || kind == QLatin1String("link")) {
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray text = kind == QLatin1String("file9") ? "<a\r\nbc/>!" : "<a\r\nbc/>";
        file.write(kind == QLatin1String("empty") ? QByteArray() : text);
        file.close();
    }
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(target, path));
    if (kind == QLatin1String("dir"))
        QVERIFY(QDir().mkdir(path));
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);

    QByteArray data("left over");
    qint64 size = -1;
    QFETCH(int, status);
    QCOMPARE(int(CXmlInput::readFile(path, 8, CXmlInput::SizeRule(rule), &data, &size)), status);
    QTEST(data, "data");
    QTEST(size, "size");
}

void TestXmlInput::parsesAndReadsAttributes()
{
    CXmlInput input;
    QCOMPARE(input.rootTag(), QString());
    QVERIFY(input.parse(QByteArray("<list p:name=\"caf\xc3\xa9 &amp; co\" empty=\"\"><m/></list>")));
    QCOMPARE(input.rootTag(), QStringLiteral("list"));
    QCOMPARE(CXmlInput::attribute(input.root(), "name"), std::optional<QString>(QStringLiteral("caf\u00e9 & co")));
    QCOMPARE(CXmlInput::attribute(input.root(), "empty"), std::optional<QString>(QString()));
    QCOMPARE(CXmlInput::attribute(input.root(), "none"), std::optional<QString>());
    QCOMPARE(CXmlInput::attribute(nullptr, "name"), std::optional<QString>());
    const CXmlInput::Attribute second = CXmlInput::attributeAt(input.root(), 1);
    QVERIFY(second.name == "empty");
    QVERIFY(CXmlInput::attributeAt(input.root(), 2).name.IsEmpty());
    // A document without a root replaces the tree held so far.
    QVERIFY(!input.parse(QByteArray("no markup")));
    QVERIFY(!input.root());
}

QTEST_MAIN(TestXmlInput)
#include "tst_xmlinput.moc"
