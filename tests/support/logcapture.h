// The log lines a test provokes, collected for one scope.
#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects every log line written while it lives (from any thread) and puts the handler
// that was installed before back when it goes. Captures nest (an inner one ends before
// the one around it). By default the lines still go on to the capture around it, and
// finally to the handler installed before (QtTest's, so that QTest::ignoreMessage keeps
// working and a failing test shows them); Quiet keeps them to the capture.
//
//     LogCapture log;
//     ... the code under test ...
//     QVERIFY(log.contains("package verified:"));
class LogCapture
{
public:
    enum Mode { PassOn, Quiet };

    explicit LogCapture(Mode mode = PassOn)
        : m_mode(mode)
    {
        QMutexLocker lock(&mutex());
        m_outer = s_current;
        s_current = this;
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        QMutexLocker lock(&mutex());
        qInstallMessageHandler(m_previous);
        s_current = m_outer;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const
    {
        QMutexLocker lock(&mutex());
        return m_lines;
    }
    QString all() const { return lines().join(QLatin1Char('\n')); }
    void clear()
    {
        QMutexLocker lock(&mutex());
        m_lines.clear();
    }
    // How many lines contain text.
    int count(const QString& text) const
    {
        int n = 0;
        for (const QString& line : lines())
            n += line.contains(text) ? 1 : 0;
        return n;
    }
    bool contains(const QString& text) const { return count(text) > 0; }
    // The first line the regular expression matches; empty when none does.
    QString find(const QString& pattern) const
    {
        const QRegularExpression re(pattern);
        for (const QString& line : lines()) {
            if (re.match(line).hasMatch())
                return line;
        }
        return QString();
    }

private:
    static QMutex& mutex()
    {
        static QMutex m(QMutex::Recursive);
        return m;
    }
    // The line goes to the innermost capture and, while each passes it on, to the
    // captures around it, then to the handler that was there before the outermost.
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        QtMessageHandler next = nullptr;
        {
            QMutexLocker lock(&mutex());
            for (LogCapture* capture = s_current; capture; capture = capture->m_outer) {
                capture->m_lines << message;
                if (capture->m_mode == Quiet)
                    break;
                if (!capture->m_outer)
                    next = capture->m_previous;
            }
        }
        if (next)
            next(type, context, message);
    }

    static inline LogCapture* s_current = nullptr;
    Mode m_mode;
    LogCapture* m_outer = nullptr;
    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};

#endif // LOGCAPTURE_H
