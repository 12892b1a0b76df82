// Module records start empty however they are allocated.
#include "moduleinfo.h"

#include <QtTest>

#include <cstring>
#include <new>

class TestModuleInfo : public QObject
{
    Q_OBJECT

private slots:
    void startsEmptyOnDirtyMemory()
    {
        // The manager allocates records with plain new (no value-initialisation), so every
        // field must start defined even on reused memory.
        alignas(MODULEINFO) unsigned char storage[sizeof(MODULEINFO)];
        std::memset(storage, 0xA5, sizeof storage);
        asm volatile("" : : "r"(storage) : "memory"); // keep the fill before construction
        MODULEINFO* info = new (storage) MODULEINFO;

        const QString texts[] = { info->strAddon, info->strName, info->strVersion, info->strDescription,
                                  info->strSize, info->strUrl, info->strLevel, info->strRegkey,
                                  info->strModuleType, info->strParent, info->strTitle, info->strInternalService,
                                  info->strTandrelStandard, info->strTandrelStandardValue };
        for (const QString& text : texts)
            QVERIFY(text.isEmpty());
        QVERIFY(!info->bResult);
        QVERIFY(!info->bPlugin);
        QVERIFY(!info->bIsNew);
        QVERIFY(!info->bIsCommon);
        QVERIFY(!info->bForcedUpgrade);
        QVERIFY(!info->bSilentInstall);
        QCOMPARE(info->nUpdateMode, 0);
        info->~MODULEINFO();
    }
};

QTEST_GUILESS_MAIN(TestModuleInfo)
#include "tst_moduleinfo.moc"
