#pragma once
// HEIC, AVIF and WebP files made at test time by Debian's encoders (heif-enc from libheif-examples,
// cwebp from webp) and dated by exiftool. Each returns empty bytes when its tool is missing;
// missingTools() says which, for a skip message.

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

namespace ToolPictures {

inline QString missingTools()
{
    QStringList missing;
    for (const char *tool : {"heif-enc", "cwebp", "exiftool"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            missing << QString::fromLatin1(tool);
    }
    return missing.isEmpty() ? QString()
                             : missing.join(QLatin1String(", ")) +
            QStringLiteral(" not installed (scripts/deps.sh: libheif-examples, webp, libimage-exiftool-perl)");
}

// Runs program on image saved as PNG in a temporary folder and returns the file it writes.
inline QByteArray encodeWith(const QString &program, const QImage &image, const QString &suffix,
                             const QStringList &arguments)
{
    QTemporaryDir dir;
    const QString in = dir.filePath(QStringLiteral("in.png"));
    const QString out = dir.filePath(QStringLiteral("out.") + suffix);
    if (QStandardPaths::findExecutable(program).isEmpty() || !image.save(in, "png"))
        return {};
    QProcess p;
    p.start(program, arguments + QStringList{in, QStringLiteral("-o"), out});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return {};
    QFile f(out);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// suffix "heic" (HEVC) or "avif" (AV1); extra: e.g. {"-t", "160"} for a stored thumbnail.
inline QByteArray heif(const QImage &image, const QString &suffix = QStringLiteral("heic"),
                       const QStringList &extra = {})
{
    QStringList args = extra;
    if (suffix == QLatin1String("avif"))
        args << QStringLiteral("-A");
    return encodeWith(QStringLiteral("heif-enc"), image, suffix, args);
}

inline QByteArray webp(const QImage &image, bool lossless = false)
{
    return encodeWith(QStringLiteral("cwebp"), image, QStringLiteral("webp"),
                      lossless ? QStringList{QStringLiteral("-quiet"), QStringLiteral("-lossless")}
                               : QStringList{QStringLiteral("-quiet")});
}

// content (of the type suffix names) with EXIF DateTimeOriginal set to when; empty on failure.
inline QByteArray withExifDate(const QByteArray &content, const QString &suffix, const QDateTime &when)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f.") + suffix);
    QFile f(path);
    if (content.isEmpty() || !f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return {};
    f.close();
    QProcess p;
    p.start(QStringLiteral("exiftool"),
            {QStringLiteral("-q"), QStringLiteral("-overwrite_original"),
             QStringLiteral("-DateTimeOriginal=") + when.toString(QStringLiteral("yyyy:MM:dd hh:mm:ss")), path});
    if (!p.waitForFinished(60000) || p.exitCode() != 0 || !f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

} // namespace ToolPictures
