#pragma once

#include <QString>

// The words the pages show for where a capture time came from. The organiser keeps its own
// names (the tag or container field, "文件时间"); they are recorded and compared, so they stay
// as they are and only their display is translated here. A name not known here (one already in
// Chinese, such as "文件名") is shown as it is.
inline QString dateSourceLabel(const QString &source)
{
    if (source.contains(QLatin1String("DateTimeOriginal")))
        return source.startsWith(QLatin1String("PNG")) ? QStringLiteral("拍摄时间（PNG 内的 EXIF）")
                                                       : QStringLiteral("拍摄时间（EXIF）");
    if (source.contains(QLatin1String("DateTimeDigitized")))
        return QStringLiteral("数字化时间（EXIF）");
    if (source.contains(QLatin1String("EXIF DateTime")))
        return QStringLiteral("修改时间（EXIF）");
    if (source == QLatin1String("PNG eXIf"))
        return QStringLiteral("拍摄时间（PNG 内的 EXIF）");
    if (source == QLatin1String("PNG Creation Time"))
        return QStringLiteral("创建时间（PNG）");
    if (source == QLatin1String("mvhd") || source.contains(QLatin1String("creationdate"), Qt::CaseInsensitive))
        return QStringLiteral("视频创建时间");
    return source;
}
