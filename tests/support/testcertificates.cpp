#include "testcertificates.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TestCertificates::TestCertificates(const QString& folder)
    : m_folder(folder)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(pkiScript(), { folder });
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("testpki failed: ") + QString::fromLocal8Bit(process.readAll());
        return;
    }
    for (const char* name : { "server", "expired", "otherhost", "selfsigned" }) {
        if (certificate(QLatin1String(name)).isNull() || key(QLatin1String(name)).isNull()) {
            m_error = QStringLiteral("testpki made no usable %1 certificate").arg(QLatin1String(name));
            return;
        }
    }
    m_valid = !authority().isNull();
    if (!m_valid)
        m_error = QStringLiteral("testpki made no authority");
}

QSslCertificate TestCertificates::authority() const
{
    return QSslCertificate(readAll(pemPath(QStringLiteral("ca"))), QSsl::Pem);
}

QSslCertificate TestCertificates::certificate(const QString& name) const
{
    return QSslCertificate(readAll(pemPath(name)), QSsl::Pem);
}

QSslKey TestCertificates::key(const QString& name) const
{
    return QSslKey(readAll(keyPath(name)), QSsl::Ec, QSsl::Pem);
}

QString TestCertificates::pemPath(const QString& name) const
{
    return m_folder + QLatin1Char('/') + name + QStringLiteral(".pem");
}

QString TestCertificates::keyPath(const QString& name) const
{
    return m_folder + QLatin1Char('/') + name + QStringLiteral(".key");
}

QString TestCertificates::storePath() const
{
    return m_folder + QStringLiteral("/store");
}

void TestCertificates::trustInThisProcess() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(authority());
    QSslConfiguration::setDefaultConfiguration(configuration);
}

void TestCertificates::wrapTrusting(QString* program, QStringList* args) const
{
    QStringList wrapped{ storePath(), *program };
    wrapped += *args;
    *program = trustScript();
    *args = wrapped;
}

QString TestCertificates::pkiScript()
{
    return QStringLiteral(ZR_TEST_SUPPORT_DIR "/testpki");
}

QString TestCertificates::trustScript()
{
    return QStringLiteral(ZR_TEST_SUPPORT_DIR "/with-trusted-ca");
}
