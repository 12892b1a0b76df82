#ifndef TESTCERTIFICATES_H
#define TESTCERTIFICATES_H

// A throw-away certificate authority and server certificates for TLS tests, made by
// tests/support/testpki in a folder of the test's own (nothing is kept in the tree).
//
//     TestCertificates pki(tempDir.filePath("pki"));
//     QVERIFY2(pki.isValid(), qPrintable(pki.errorString()));
//     server.setTls(pki.certificate("server"), pki.key("server"));
//     pki.trustInThisProcess();      // in-process tests only
//
// Certificates: "server" (127.0.0.1, localhost and updates.moravel.test, signed by the
// authority),
// "expired" (the same, expired in 2020), "otherhost" (signed by the authority for
// update.other.invalid), "selfsigned" (127.0.0.1, signed by itself).
//
// Trust: an in-process test adds the authority to this process's default TLS
// configuration with trustInThisProcess(). A test that runs the real executable runs
// it through wrapTrusting(), which puts the authority into the machine's certificate
// store inside a private mount namespace (tests/support/with-trusted-ca): the product
// itself has no way to add trust.

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

class TestCertificates
{
public:
    explicit TestCertificates(const QString& folder);

    bool isValid() const { return m_valid; }
    QString errorString() const { return m_error; }
    QString folder() const { return m_folder; }

    QSslCertificate authority() const;
    QSslCertificate certificate(const QString& name) const;
    QSslKey key(const QString& name) const;
    QString pemPath(const QString& name) const;
    QString keyPath(const QString& name) const;
    // The store folder (hashed layout) that holds only the authority.
    QString storePath() const;

    // Adds the authority to the default TLS configuration of this process.
    void trustInThisProcess() const;

    // The program and arguments that run program with args on a machine whose
    // certificate store trusts the authority.
    void wrapTrusting(QString* program, QStringList* args) const;

    // tests/support/testpki and tests/support/with-trusted-ca.
    static QString pkiScript();
    static QString trustScript();

private:
    QString m_folder;
    bool m_valid = false;
    QString m_error;
};

#endif // TESTCERTIFICATES_H
