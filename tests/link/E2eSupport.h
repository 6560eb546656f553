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

#include "settings/ReadWriteSetting.h"
#include "tests/support/ExifJpeg.h"
#include "tests/support/TestSupport.h"

namespace E2e {

// The real program copied into programDir (its program folder, which the settings store now uses),
// storing under work/drive/, with one authorised phone and no update check due. Returns the phone's
// folder, or an empty string when the copy failed.
inline QString setUpProgram(const QString &programDir, const QString &work, const QString &phone)
{
    if (!TestSupport::installProgramCopy(programDir))
        return QString();
    TestSupport::useProgramDir(programDir);
    const QString savePath = work + QStringLiteral("/drive/");
    const QString folder = savePath + QStringLiteral("万特相册/") + phone;
    QDir().mkpath(folder); // the phone's archive is there, as an earlier start left it
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    settings->setGlobalValue(QStringLiteral("saveDrive"), savePath);
    settings->setGlobalValue(QStringLiteral("updateTime"), now);
    settings->addUser(phone, folder, now);
    return folder;
}

struct Photo
{
    QString relative; // below the phone's folder
    QByteArray content;
    QDateTime taken; // what the PC files it under (EXIF or file time)
    bool image = false;
};

// The photo with its EXIF DateTimeOriginal.
inline QByteArray withExifDate(const QByteArray &jpeg, const QDateTime &taken)
{
    return ExifJpeg::withExif(jpeg,
                              {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL,
                                taken.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")).toLatin1()}});
}

// Writes the phone's folder: photos with EXIF dates, photos and a "video" dated by file time,
// a subfolder and an empty file. File names are unique across subfolders.
inline QList<Photo> writePhonePhotos(const QString &dir)
{
    QList<Photo> photos;
    const QDateTime base(QDate(2019, 5, 1), QTime(8, 30, 0));
    for (int i = 0; i < 4; ++i) {
        const QDateTime taken = base.addDays(i * 40);
        photos.append({QStringLiteral("Camera/IMG_%1.jpg").arg(i),
                       withExifDate(ExifJpeg::makeJpeg(320 + i * 16, 240, quint32(i), 85), taken), taken, true});
    }
    for (int i = 0; i < 3; ++i) {
        const QDateTime mtime(QDate(2020, 12, 24 + i), QTime(10, 0, 0));
        photos.append({QStringLiteral("Screenshots/shot_%1.jpg").arg(i),
                       ExifJpeg::makeJpeg(200, 400, quint32(100 + i), 85), mtime, true});
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
        f.setFileTime(p.image && p.relative.startsWith(QLatin1String("Camera"))
                          ? QDateTime(QDate(2024, 1, 1), QTime(0, 0))
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
                withExifDate(ExifJpeg::makeJpeg(96 + (i % 5) * 8, 72, quint32(1000 + i), 85), taken), taken, true};
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
