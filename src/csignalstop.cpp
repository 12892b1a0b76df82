#include "csignalstop.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int kSignals[] = { SIGTERM, SIGINT, SIGHUP };
const int kSignalCount = int(sizeof(kSignals) / sizeof(kSignals[0]));

int g_pipe[2] = { -1, -1 };
struct sigaction g_previous[kSignalCount];
CSignalStop* g_instance = nullptr;
// Set by the first stop signal; any thread's handler may set it.
int g_nReceived = 0;

// Every stop signal gets its default action back.
void restoreDefaultActions()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i)
        ::sigaction(kSignals[i], &action, nullptr);
}

extern "C" void onStopSignal(int signalNumber)
{
    const int saved = errno;
    // Only the first stop is handled gently; after it the stop signals have their
    // default action again, so that a second one ends the process at once, also while
    // the main thread is busy (a long unpacking or hash). Two signals that come at the
    // same moment to two threads are told apart by the flag.
    if (__atomic_exchange_n(&g_nReceived, 1, __ATOMIC_SEQ_CST)) {
        restoreDefaultActions();
        ::raise(signalNumber);
        errno = saved;
        return;
    }
    restoreDefaultActions();
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a stop; nothing is lost by dropping this one.
    if (::write(g_pipe[1], &number, 1) < 0) {
    }
    errno = saved;
}

} // namespace

CSignalStop::CSignalStop(QObject* parent)
    : QObject(parent)
{
    if (g_instance || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qDebug() << "the stop signals cannot be watched";
        return;
    }
    g_instance = this;
    __atomic_store_n(&g_nReceived, 0, __ATOMIC_SEQ_CST);
    m_pNotifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CSignalStop::readPipe);

    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    // While one stop is being handled in a thread, the others wait for it there.
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : kSignals)
        sigaddset(&action.sa_mask, signalNumber);
    action.sa_flags = SA_RESTART;
    m_installed = true;
    for (int i = 0; i < kSignalCount; ++i) {
        if (::sigaction(kSignals[i], &action, &g_previous[i]) != 0) {
            qDebug() << "the handler of" << signalName(kSignals[i]) << "cannot be installed";
            m_installed = false;
        }
    }
}

CSignalStop::~CSignalStop()
{
    if (g_instance != this)
        return;
    for (int i = 0; i < kSignalCount; ++i)
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    delete m_pNotifier;
    m_pNotifier = nullptr;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
    g_instance = nullptr;
}

QString CSignalStop::signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

void CSignalStop::readPipe()
{
    unsigned char numbers[64];
    int first = 0;
    for (;;) {
        const ssize_t n = ::read(g_pipe[0], numbers, sizeof(numbers));
        if (n <= 0)
            break;
        if (!first)
            first = numbers[0];
    }
    if (!first || m_bStopped)
        return;
    m_bStopped = true;
    qDebug().noquote() << QStringLiteral("stopped by signal ") + signalName(first);
    emit stopRequested();
}

bool CSignalStop::takePending()
{
    if (!g_instance)
        return false;
    g_instance->readPipe();
    return g_instance->m_bStopped;
}

bool CSignalStop::isStopped()
{
    return g_instance && g_instance->m_bStopped;
}
