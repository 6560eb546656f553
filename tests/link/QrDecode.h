#pragma once

// Reads a QR code back the way a phone's scanner would, with zbarimg (zbar-tools).
#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

namespace QrDecode {

// Saves the picture as "qr.png" in folder and decodes it. Returns the decoded text, or a text
// starting with "!" that says what went wrong.
inline QString decode(const QImage &image, const QString &folder)
{
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    if (exe.isEmpty())
        return QStringLiteral("!zbarimg not found (Debian package zbar-tools)");
    const QString file = folder + QStringLiteral("/qr.png");
    if (!image.save(file, "PNG"))
        return QStringLiteral("!cannot save ") + file;
    QProcess p;
    p.start(exe, {QStringLiteral("--raw"), QStringLiteral("-q"), file});
    if (!p.waitForFinished(20000))
        return QStringLiteral("!zbarimg did not finish");
    if (p.exitCode() != 0)
        return QStringLiteral("!zbarimg found no code (exit %1)").arg(p.exitCode());
    QByteArray out = p.readAllStandardOutput();
    if (out.endsWith('\n'))
        out.chop(1);
    return QString::fromUtf8(out);
}

} // namespace QrDecode
