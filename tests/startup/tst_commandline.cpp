// Parsing the run's parameter string into its table.
#include "csetup_commandline.h"

#include <QtTest>

using Table = QHash<QString, QString>;
Q_DECLARE_METATYPE(Table)

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("result");
        QTest::addColumn<Table>("table");

        QTest::newRow("reader's example") << QStringLiteral("type:\"Update List\",updater:\"Manual\"") << true
                                          << Table { { "type", "Update List" }, { "updater", "Manual" } };
        QTest::newRow("all keys")
            << QStringLiteral("type:\"Update List\",updater:\"Auto\",product:\"Reader\",version:\"7.0.5.1210\","
                              "bExpress:\"1\",corvinapath:\"/opt/moravel/reader\"")
            << true
            << Table { { "type", "Update List" }, { "updater", "Auto" }, { "product", "Reader" },
                       { "version", "7.0.5.1210" }, { "bExpress", "1" }, { "corvinapath", "/opt/moravel/reader" } };
        QTest::newRow("first occurrence wins") << QStringLiteral("type:\"Update List\",type:\"Manual\"") << true
                                               << Table { { "type", "Update List" } };
        QTest::newRow("blank after comma belongs to the key")
            << QStringLiteral("type:\"Update List\", updater:\"Manual\"") << true
            << Table { { "type", "Update List" }, { " updater", "Manual" } };
        QTest::newRow("value keeps colons") << QStringLiteral("corvinapath:\"/opt/a:b/c\",url:\"http://h:80/x\"") << true
                                            << Table { { "corvinapath", "/opt/a:b/c" }, { "url", "http://h:80/x" } };
        QTest::newRow("key ends at the first colon") << QStringLiteral("a:b:\"c\"") << true << Table { { "a", "c" } };
        QTest::newRow("quotes without colon: whole piece is the key") << QStringLiteral("\"abc\"x") << true
                                                                      << Table { { "\"abc\"x", "abc" } };
        QTest::newRow("empty pieces add nothing") << QStringLiteral(",type:\"A\",,updater:\"B\",") << true
                                                  << Table { { "type", "A" }, { "updater", "B" } };
        QTest::newRow("text after the second quote is ignored") << QStringLiteral("type:\"Update List\"junk\"more\"")
                                                                << true << Table { { "type", "Update List" } };
        QTest::newRow("one quote: the value runs to the end") << QStringLiteral("type:\"Update List") << true
                                                              << Table { { "type", "Update List" } };
        QTest::newRow("piece without quotes adds no entry") << QStringLiteral("type:Update List,updater:\"Manual\"")
                                                            << true << Table { { "updater", "Manual" } };
        QTest::newRow("only pieces without quotes") << QStringLiteral("type:Update List,updater") << false << Table {};
        QTest::newRow("only commas") << QStringLiteral(",,,") << false << Table {};
        QTest::newRow("no case folding, no trimming") << QStringLiteral("Type:\" Update List \"") << true
                                                      << Table { { "Type", " Update List " } };
        QTest::newRow("non-ASCII text") << QString::fromUtf8("product:\"Lecteur Moravel \xc3\xa9\xe6\x97\xa5\"") << true
                                        << Table { { "product", QString::fromUtf8("Lecteur Moravel \xc3\xa9\xe6\x97\xa5") } };
    }

    void parses()
    {
        QFETCH(QString, text);
        QFETCH(bool, result);
        QFETCH(Table, table);

        CSetup_CommandLine params;
        QCOMPARE(params.parserParam(text), result);
        QCOMPARE(params.m_hashParams, table);
        for (auto it = table.cbegin(); it != table.cend(); ++it)
            QCOMPARE(params.getValue(it.key()), it.value());
    }

    void nullOrEmptyStringGivesEmptyTable()
    {
        CSetup_CommandLine params;
        QVERIFY(!params.parserParam(QString()));
        QVERIFY(!params.parserParam(QStringLiteral("")));
        QVERIFY(params.m_hashParams.isEmpty());
        // Every lookup yields a null string: the driver finds no "type".
        QVERIFY(params.getValue(QStringLiteral("type")).isNull());
        QVERIFY(params.getValue(QString()).isNull());
    }

    void absentKeyIsNullPresentEmptyValueIsNot()
    {
        CSetup_CommandLine params;
        QVERIFY(params.parserParam(QStringLiteral("type:\"Update List\", updater:\"Manual\",product:\"\"")));
        QVERIFY(params.getValue(QStringLiteral("updater")).isNull());
        QVERIFY(params.getValue(QStringLiteral("version")).isNull());
        const QString product = params.getValue(QStringLiteral("product"));
        QVERIFY(product.isEmpty());
        QVERIFY(!product.isNull());
    }

    void laterCallsAddButDoNotReplace()
    {
        CSetup_CommandLine params;
        QVERIFY(params.parserParam(QStringLiteral("type:\"Update List\"")));
        // No entry from this string, but the table is not empty.
        QVERIFY(params.parserParam(QStringLiteral("garbage")));
        QVERIFY(params.parserParam(QStringLiteral("type:\"Manual\",version:\"7.1\"")));
        QCOMPARE(params.m_hashParams, (Table { { "type", "Update List" }, { "version", "7.1" } }));
        QVERIFY(!params.parserParam(QString()));
        QCOMPARE(params.m_hashParams.size(), 2);
    }

    void singlePieces()
    {
        CSetup_CommandLine params;
        params.doParsePice(QString());
        params.doParsePice(QStringLiteral("noquote"));
        QVERIFY(params.m_hashParams.isEmpty());
        params.doParsePice(QStringLiteral("a,b:\"c\""));
        QCOMPARE(params.getValue(QStringLiteral("a,b")), QStringLiteral("c"));
    }

    void readerPathIsNotOnTheCommandLine()
    {
        CSetup_CommandLine params;
        params.parserParam(QStringLiteral("corvinapath:\"/opt/moravel\""));
        QVERIFY(params.getReaderPathFromcmd().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
