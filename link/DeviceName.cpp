#include "link/DeviceName.h"

#include "platform/AppPaths.h"

#include <QDateTime>

namespace DeviceName {

QString fromUtf8(const QByteArray &bytes)
{
    // QString::fromUtf8 maps every bad sequence to U+FFFD, which check() then refuses.
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

Check check(const QString &name)
{
    if (name.isEmpty())
        return Check::Empty;
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return Check::DotName;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        if (u == '/' || u == '\\')
            return Check::Separator;
        if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0))
            return Check::ControlChar;
        if (u == 0xfffd)
            return Check::NotUtf8;
    }
    // Lone surrogates cannot be written as UTF-8 and would not round-trip.
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= name.size() || !name.at(i + 1).isLowSurrogate())
                return Check::NotUtf8;
            ++i;
        } else if (c.isLowSurrogate()) {
            return Check::NotUtf8;
        }
    }
    if (name.toUtf8().size() > kMaxUtf8Bytes)
        return Check::TooLong;
    // The local album keeps its records in "localfiles.db" beside the phones' databases, and its
    // files in a folder beside the phones' folders.
    if (name.compare(QLatin1String("localfiles"), Qt::CaseInsensitive) == 0 || name == AppPaths::localAlbumFolderName())
        return Check::Reserved;
    return Check::Ok;
}

const char *describe(Check c)
{
    switch (c) {
    case Check::Ok: return "ok";
    case Check::Empty: return "empty name";
    case Check::DotName: return "\".\" or \"..\"";
    case Check::Separator: return "path separator in name";
    case Check::ControlChar: return "control character in name";
    case Check::NotUtf8: return "name is not valid UTF-8";
    case Check::TooLong: return "name longer than 200 bytes";
    case Check::Reserved: return "name of the local album's database or folder";
    }
    return "?";
}

QString deviceFolder(const QString &savePath, const QString &name)
{
    return savePath + AppPaths::albumFolderName() + QLatin1Char('/') + name;
}

QString databasePath(const QString &name)
{
    return AppPaths::dataFile(name + QStringLiteral(".db"));
}

QString nowText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

} // namespace DeviceName
