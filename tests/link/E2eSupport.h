#pragma once

// Shared by the end-to-end tests: a folder of generated photos and what the PC must make of it.
#include <QByteArray>
#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QRandomGenerator>
#include <QString>
#include <QtEndian>

namespace E2e {

struct Photo
{
    QString relative;    // below the phone's folder
    QByteArray content;
    QDateTime taken;     // what the PC files it under (EXIF or file time)
    bool image = false;
};

// An APP1 segment holding only DateTimeOriginal, placed right after the JPEG's SOI marker.
inline QByteArray withExifDate(const QByteArray &jpeg, const QDateTime &taken)
{
    QByteArray tiff("II*\0", 4);
    auto u16 = [&tiff](quint16 v) { char b[2]; qToLittleEndian(v, b); tiff.append(b, 2); };
    auto u32 = [&tiff](quint32 v) { char b[4]; qToLittleEndian(v, b); tiff.append(b, 4); };
    u32(8);                                   // IFD0
    u16(1);
    u16(0x8769); u16(4); u32(1); u32(26);     // pointer to the Exif IFD
    u32(0);
    u16(1);                                   // Exif IFD at 26
    u16(0x9003); u16(2); u32(20); u32(44);    // DateTimeOriginal, 20 ASCII bytes at 44
    u32(0);
    tiff += taken.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")).toLatin1();
    tiff.append('\0');
    QByteArray app1("Exif\0\0", 6);
    app1 += tiff;
    QByteArray segment("\xff\xe1", 2);
    char len[2];
    qToBigEndian<quint16>(quint16(app1.size() + 2), len);
    segment.append(len, 2);
    segment += app1;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

inline QByteArray makeJpeg(int w, int h, quint32 seed)
{
    QImage img(w, h, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = qRgb((x * 3 + int(seed)) & 0xff, (y * 5) & 0xff, int(rng.bounded(256)));
    }
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPG", 85);
    return out;
}

// Writes the phone's folder: photos with EXIF dates, photos and a "video" dated by file time,
// a subfolder and an empty file. File names are unique across subfolders.
inline QList<Photo> writePhonePhotos(const QString &dir)
{
    QList<Photo> photos;
    const QDateTime base(QDate(2019, 5, 1), QTime(8, 30, 0));
    for (int i = 0; i < 4; ++i) {
        const QDateTime taken = base.addDays(i * 40);
        photos.append({QStringLiteral("Camera/IMG_%1.jpg").arg(i), withExifDate(makeJpeg(320 + i * 16, 240, quint32(i)), taken),
                       taken, true});
    }
    for (int i = 0; i < 3; ++i) {
        const QDateTime mtime(QDate(2020, 12, 24 + i), QTime(10, 0, 0));
        photos.append({QStringLiteral("Screenshots/shot_%1.jpg").arg(i), makeJpeg(200, 400, quint32(100 + i)), mtime, true});
    }
    QByteArray video(3 * 1024 * 1024 + 123, '\0');
    QRandomGenerator rng(7);
    for (int i = 0; i < video.size(); i += 4)
        qToLittleEndian<quint32>(rng.generate(), video.data() + qMin(i, video.size() - 4));
    photos.append({QStringLiteral("Camera/VID_0001.mp4"), video, QDateTime(QDate(2021, 1, 2), QTime(3, 4, 5)), false});
    photos.append({QStringLiteral("empty.txt"), QByteArray(), QDateTime(QDate(2018, 7, 8), QTime(9, 10, 11)), false});

    for (const Photo &p : qAsConst(photos)) {
        const QString path = dir + QLatin1Char('/') + p.relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(p.content);
        f.setFileTime(p.image && p.relative.startsWith(QLatin1String("Camera")) ? QDateTime(QDate(2024, 1, 1), QTime(0, 0))
                                                                                 : p.taken,
                      QFileDevice::FileModificationTime);
    }
    return photos;
}

// count small photos in dir/Camera, named IMG_0000.jpg ..., each with its own EXIF capture date;
// the dates run every 13 hours from January to April 2023, so they land in four month folders.
// The file times say 2024, so a PC that filed by file time would put them elsewhere.
inline QList<Photo> writeGeneratedPhotos(const QString &dir, int count)
{
    QList<Photo> photos;
    const QDateTime base(QDate(2023, 1, 3), QTime(7, 15, 20));
    const QDateTime fileTime(QDate(2024, 6, 1), QTime(12, 0, 0));
    QDir().mkpath(dir + QStringLiteral("/Camera"));
    for (int i = 0; i < count; ++i) {
        const QDateTime taken = base.addSecs(qint64(i) * 13 * 3600);
        Photo p{QStringLiteral("Camera/IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0')),
                withExifDate(makeJpeg(96 + (i % 5) * 8, 72, quint32(1000 + i)), taken), taken, true};
        QFile f(dir + QLatin1Char('/') + p.relative);
        if (f.open(QIODevice::WriteOnly) && f.write(p.content) == p.content.size())
            f.setFileTime(fileTime, QFileDevice::FileModificationTime);
        photos.append(p);
    }
    return photos;
}

// Where the PC stores a photo inside the device folder.
inline QString storedPath(const QString &deviceFolder, const Photo &p)
{
    return deviceFolder + p.taken.toString(QStringLiteral("/yyyy/MM/")) + QFileInfo(p.relative).fileName();
}

// A file a run's script wrote (a status, a log), trimmed.
inline QString text(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

// Every file below dir, relative, sorted.
inline QStringList tree(const QString &dir)
{
    QStringList out;
    QDir root(dir);
    const QStringList entries = root.entryList(QDir::Files | QDir::NoDotAndDotDot);
    for (const QString &e : entries)
        out << e;
    const QStringList subdirs = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &d : subdirs) {
        const QStringList inner = tree(dir + QLatin1Char('/') + d);
        for (const QString &e : inner)
            out << d + QLatin1Char('/') + e;
    }
    out.sort();
    return out;
}

} // namespace E2e
