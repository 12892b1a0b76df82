#ifndef UPDATELISTENER_H
#define UPDATELISTENER_H

#include <QObject>

class QTcpServer;
class QTcpSocket;

// Tells other local processes that an updater is running: whoever connects to
// 127.0.0.1:8999 receives "UpdaterRuning" and is disconnected.
class UpdateListener : public QObject
{
    Q_OBJECT

public:
    explicit UpdateListener(QObject* parent);
    ~UpdateListener() override;

    static constexpr quint16 kPort = 8999;
    static constexpr int kWriteWaitMs = 60000;

public slots:
    // Answers one pending connection.
    void newLocalConnection();
    // Listens on 127.0.0.1:8999. When the port is taken (another updater) the
    // listener stays silent and the run goes on.
    void startListener();

private:
    QTcpServer* m_pServer;
    QTcpSocket* m_pSocket;
};

#endif // UPDATELISTENER_H
