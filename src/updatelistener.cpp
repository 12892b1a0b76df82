#include "updatelistener.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

UpdateListener::UpdateListener(QObject* parent)
    : QObject(parent)
    , m_pServer(new QTcpServer(this))
    , m_pSocket(nullptr)
{
    connect(m_pServer, SIGNAL(newConnection()), this, SLOT(newLocalConnection()));
}

UpdateListener::~UpdateListener()
{
    delete m_pServer;
    m_pServer = nullptr;
}

void UpdateListener::startListener()
{
    // Only the loop-back address: the presence check is for processes of this machine.
    m_pServer->listen(QHostAddress(QHostAddress::LocalHost), kPort);
}

void UpdateListener::newLocalConnection()
{
    qDebug() << "UpdateListener newLocalConnection()";

    m_pSocket = m_pServer->nextPendingConnection();
    if (!m_pSocket)
        return;

    m_pSocket->write("UpdaterRuning", 13);
    // Blocks the event loop while it lasts; 13 bytes normally leave at once.
    if (m_pSocket->waitForBytesWritten(kWriteWaitMs))
        m_pSocket->abort();

    delete m_pSocket;
    m_pSocket = nullptr;
}
