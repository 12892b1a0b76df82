#ifndef CRETIREDDOWNLOADERS_H
#define CRETIREDDOWNLOADERS_H

#include <QObject>
#include <QPointer>
#include <QVector>

#include <memory>

// The one rule for letting go of a downloader (any QObject with stopDownLoads(), in
// practice QHttpDownLoadS) that an owner made and connected to itself:
//
//   release(d)  disconnects d from the owner and sets d to nullptr. Outside the owner's
//               handling of a downloader's signal d is deleted at once. Inside it (d,
//               or another downloader of the owner's, may be the one emitting and must
//               outlive the emission) d is stopped (stopDownLoads()) and deleted from the
//               event loop (deleteLater()).
//   inSignal()  is held by the owner's slot for as long as it handles a signal of one
//               of its downloaders. The guard may outlive the owner (a receiver further
//               on may destroy it).
//
// When this object goes, it deletes the downloaders released to the event loop that the
// loop has not deleted yet (a run can end without returning to a loop), unless the owner
// is inside a downloader's signal then: those go from the loop.
template <class Downloader>
class CRetiredDownloaders
{
public:
    class InSignal
    {
    public:
        explicit InSignal(std::shared_ptr<int> depth)
            : m_depth(std::move(depth))
        {
            ++*m_depth;
        }
        ~InSignal() { --*m_depth; }
        InSignal(const InSignal&) = delete;
        InSignal& operator=(const InSignal&) = delete;

    private:
        std::shared_ptr<int> m_depth;
    };

    explicit CRetiredDownloaders(QObject* owner)
        : m_pOwner(owner)
        , m_depth(std::make_shared<int>(0))
    {
    }

    ~CRetiredDownloaders()
    {
        if (*m_depth > 0)
            return;
        for (const QPointer<Downloader>& pending : qAsConst(m_vecPending))
            delete pending.data();
    }

    CRetiredDownloaders(const CRetiredDownloaders&) = delete;
    CRetiredDownloaders& operator=(const CRetiredDownloaders&) = delete;

    // Guard for the owner's slot that handles a downloader's signal:
    //     const auto inSignal = m_retired.inSignal();
    [[nodiscard]] InSignal inSignal() const { return InSignal(m_depth); }
    bool isInSignal() const { return *m_depth > 0; }

    void release(Downloader*& downloader)
    {
        Downloader* previous = downloader;
        downloader = nullptr;
        if (!previous)
            return;
        QObject::disconnect(previous, nullptr, m_pOwner, nullptr);
        if (*m_depth == 0) {
            delete previous;
            return;
        }
        previous->stopDownLoads();
        previous->deleteLater();
        // Forget those the event loop has deleted already.
        for (int i = m_vecPending.size() - 1; i >= 0; --i) {
            if (m_vecPending.at(i).isNull())
                m_vecPending.remove(i);
        }
        m_vecPending.append(QPointer<Downloader>(previous));
    }

private:
    QObject* m_pOwner;
    std::shared_ptr<int> m_depth;
    QVector<QPointer<Downloader>> m_vecPending;
};

#endif // CRETIREDDOWNLOADERS_H
