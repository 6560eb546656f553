#include "localalbum/MediaSearch.h"

#include "fileops/FileOps.h"
#include "localalbum/MediaRules.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>
#include <QLoggingCategory>

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

Q_DECLARE_LOGGING_CATEGORY(lcOrganiser)

namespace {

constexpr int kMaxFolderDepth = 200;

struct Entry
{
    QByteArray path;
    qint64 size = 0;
};

} // namespace

struct MediaSearch::Listing
{
    QList<Entry> files;
    QList<QByteArray> subfolders;
    QList<QByteArray> links;
};

MediaSearch::MediaSearch(bool pictures, bool videos, const std::atomic<bool> &stop, Reporter report)
    : m_pictures(pictures), m_videos(videos), m_stop(stop), m_report(std::move(report))
{
}

void MediaSearch::searchFolder(const QString &folder)
{
    const QByteArray raw = QFile::encodeName(QDir::cleanPath(folder));
    if (MediaRules::isInsideAlbumTree(folder)) {
        reportFolder(raw, QStringLiteral("属于万特相册自己的文件夹（手机备份或已整理的文件），不整理"));
        return;
    }
    walk(raw, 0);
}

void MediaSearch::addFile(const QByteArray &rawPath)
{
    struct stat st;
    take(rawPath, ::lstat(rawPath.constData(), &st) == 0 ? qint64(st.st_size) : -1);
}

void MediaSearch::take(const QByteArray &rawPath, qint64 size)
{
    FoundFile f;
    f.rawPath = rawPath;
    f.filePath = QFile::decodeName(rawPath);
    f.size = size;
    m_found.push_back(std::move(f));
}

void MediaSearch::reportFolder(const QByteArray &folder, const QString &reason)
{
    OrganiseEntry e;
    e.result = OrganiseEntry::Result::FolderSkipped;
    e.rawSource = folder;
    e.source = QFile::decodeName(folder);
    e.reason = reason;
    qCWarning(lcOrganiser) << "folder not searched:" << e.source << reason;
    m_report(e);
}

bool MediaSearch::list(const QByteArray &folder, Listing *out)
{
    DIR *d = ::opendir(folder.constData());
    if (!d) {
        const int err = errno;
        reportFolder(folder,
                     err == ENOENT        ? QStringLiteral("文件夹不存在")
                         : err == ENOTDIR ? QStringLiteral("不是文件夹")
                                          : QStringLiteral("无法读取文件夹：") + qt_error_string(err));
        return false;
    }
    for (;;) {
        errno = 0;
        struct dirent *e = ::readdir(d);
        if (!e) {
            if (errno != 0)
                reportFolder(folder, QStringLiteral("无法读取文件夹：") + qt_error_string(errno));
            break;
        }
        const char *name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        const QByteArray path = folder + (folder.endsWith('/') ? "" : "/") + name;
        struct stat st;
        if (::fstatat(::dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (S_ISDIR(st.st_mode)) {
            if (!MediaRules::isAlbumFolderName(QByteArray(name)))
                out->subfolders.append(path);
        } else if (S_ISLNK(st.st_mode)) {
            out->links.append(path); // never followed: it could lead anywhere, out of the folder or back up
        } else {
            out->files.append(Entry{path, qint64(st.st_size)});
        }
    }
    ::closedir(d);
    return true;
}

void MediaSearch::walk(const QByteArray &folder, int depth)
{
    Listing listing;
    if (!list(folder, &listing))
        return;
    for (const QByteArray &path : qAsConst(listing.links)) {
        if (MediaRules::isWanted(path, m_pictures, m_videos)) {
            OrganiseEntry e;
            e.result = OrganiseEntry::Result::OtherType;
            e.rawSource = path;
            e.source = QFile::decodeName(path);
            e.reason = QStringLiteral("符号链接，不跟随");
            m_report(e);
        }
    }
    for (const Entry &file : qAsConst(listing.files)) {
        if (MediaRules::isWanted(file.path, m_pictures, m_videos)) {
            take(file.path, file.size);
        } else {
            // A kind the settings leave out is counted, so the summary can say why it was not organised.
            const QString suffix = MediaRules::suffixOf(file.path);
            m_picturesLeftOut += MediaRules::isPictureSuffix(suffix) ? 1 : 0;
            m_videosLeftOut += MediaRules::isVideoSuffix(suffix) ? 1 : 0;
        }
    }
    if (depth >= kMaxFolderDepth)
        return;
    for (const QByteArray &path : qAsConst(listing.subfolders)) {
        if (m_stop)
            return;
        walk(path, depth + 1);
    }
}

bool MediaSearch::dropRepeats(std::vector<FoundFile> &found, const QSet<qint64> &recordedSizes,
                              const std::atomic<bool> &stop, const Reporter &report)
{
    // Equal content has equal size: a file whose size is nobody else's is hashed by its copy.
    QHash<qint64, int> sizes;
    for (const FoundFile &f : found)
        ++sizes[f.size];
    const bool anySize = recordedSizes.contains(-1);
    QHash<QString, QString> firstWith; // md5 -> the first source found with it
    std::vector<FoundFile> kept;
    kept.reserve(found.size());
    for (FoundFile &f : found) {
        if (f.size >= 0 && f.md5.isEmpty() && (sizes.value(f.size) > 1 || anySize || recordedSizes.contains(f.size))) {
            bool stopped = false;
            f.md5 = QString::fromLatin1(FileOps::md5(f.rawPath, &stop, &stopped).toHex());
            if (stopped || stop)
                return false;
            // Unreadable files stay on the list: the organiser reports why they were left.
            f.unreadable = f.md5.isEmpty();
        }
        if (!f.md5.isEmpty()) {
            const QString first = firstWith.value(f.md5);
            if (!first.isEmpty()) {
                OrganiseEntry e;
                e.result = OrganiseEntry::Result::Duplicate;
                e.rawSource = f.rawPath;
                e.source = f.filePath;
                e.target = first;
                e.reason = QStringLiteral("与本次搜索到的另一文件内容相同");
                report(e);
                continue;
            }
            firstWith.insert(f.md5, f.filePath);
        }
        kept.push_back(std::move(f));
    }
    found = std::move(kept);
    return true;
}
