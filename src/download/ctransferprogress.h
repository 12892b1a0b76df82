#ifndef CTRANSFERPROGRESS_H
#define CTRANSFERPROGRESS_H

#include <QPointer>
#include <QString>

class QLabel;
class QProgressBar;

// The bytes a transfer has brought and the size it is heading for, shown on an
// optional progress bar (percent) and "time remaining" label. Bar and label are
// watched: when either is destroyed first, it is no longer driven.
//
// The bytes a continued file held before the transfer count as received, but not for
// the speed the time left is estimated from. The size is the first positive total a
// progress report gives, or the whole file's size a partial answer named.
class CTransferProgress
{
public:
    CTransferProgress(QProgressBar* bar, QLabel* label);

    void setBar(QProgressBar* bar);
    // A new transfer, started at now (ms) on a file that holds base bytes already.
    void begin(qint64 base, qint64 now);
    // The file is written from byte 0 after all.
    void startOver() { m_nBase = 0; }
    // The whole file's size a partial answer named; it is the size from now on.
    void setWholeSize(qint64 total) { m_nWholeSize = total; }
    // A progress report: received bytes in all (those of the file before included) of
    // reportedTotal (0 or less: unknown), at now; shown and logged under fileName.
    void report(qint64 received, qint64 reportedTotal, const QString& fileName, qint64 now);
    void showFull();

    qint64 base() const { return m_nBase; }
    qint64 received() const { return m_nReceived; }
    qint64 total() const { return m_nTotal; }

private:
    void updateLabel(qint64 now);

    QPointer<QProgressBar> m_pBar;
    QPointer<QLabel> m_pLabel;
    qint64 m_nStart;      // ms
    qint64 m_nBase;
    qint64 m_nWholeSize;  // 0: none named
    qint64 m_nTotal;
    qint64 m_nReceived;
};

#endif // CTRANSFERPROGRESS_H
