#pragma once

// A real HTTPS server on 127.0.0.1 for the update tests: tests/update/https_server.py in a child
// process, with a self-signed certificate made by openssl at start and trusted through Qt's default
// SSL configuration. It serves the files of root(); see the script for its special paths.

#include "tests/support/ServerProcess.h"

#include <QList>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringList>
#include <QTemporaryDir>

class HttpsTestServer
{
public:
    ~HttpsTestServer() { stop(); }

    // False (with *error) when the certificate cannot be made or the server does not listen in 15 s.
    bool start(QString *error)
    {
        if (!QSslSocket::supportsSsl()) {
            *error = QStringLiteral("Qt has no TLS backend");
            return false;
        }
        if (!m_certDir.isValid() || !m_root.isValid()) {
            *error = QStringLiteral("no temporary folder");
            return false;
        }
        const QString cert = m_certDir.filePath(QStringLiteral("cert.pem"));
        const QString key = m_certDir.filePath(QStringLiteral("key.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-subj"),
                       QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                       QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-days"), QStringLiteral("2"),
                       QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            openssl.kill();
            openssl.waitForFinished(1000);
            *error = QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAllStandardError());
            return false;
        }
        const QList<QSslCertificate> certs = QSslCertificate::fromPath(cert);
        if (certs.isEmpty()) {
            *error = QStringLiteral("certificate unreadable");
            return false;
        }
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.addCaCertificates(certs);
        QSslConfiguration::setDefaultConfiguration(conf);

        QString why;
        if (!m_server.start(
                QStringLiteral(VANTEO_HTTPS_SERVER_PY),
                {QStringLiteral("--root"), m_root.path(), QStringLiteral("--cert"), cert, QStringLiteral("--key"), key},
                QProcess::ForwardedErrorChannel, &why)) {
            *error = QStringLiteral("HTTPS server did not start: ") + why;
            return false;
        }
        return true;
    }

    QString root() const { return m_root.path(); }
    QString url(const QString &path) const
    {
        return QStringLiteral("https://127.0.0.1:%1%2").arg(m_server.port()).arg(path);
    }

    // The paths requested so far, in order.
    QStringList requests()
    {
        m_server.readLines(0);
        return m_requests;
    }

    void stop() { m_server.stop(); }

private:
    QTemporaryDir m_certDir;
    QTemporaryDir m_root;
    QStringList m_requests;
    TestSupport::PythonServerProcess m_server{QStringLiteral("PORT "), [this](const QString &line) {
                                                  if (line.startsWith(QLatin1String("REQ ")))
                                                      m_requests << line.mid(4);
                                              }};
};
