#pragma once

// Files whose names are not valid UTF-8 (GBK names unpacked from Windows archives), which
// QString paths and QDir can neither open nor list: made, read, listed and removed by bytes.

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

namespace RawNames {

// "照片" in GBK.
inline QByteArray gbkName()
{
    return QByteArray("\xd5\xd5\xc6\xac", 4);
}

// Writes bytes to path, creating missing folders.
inline bool writeRaw(const QByteArray &path, const QByteArray &bytes)
{
    for (int slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1))
        ::mkdir(path.left(slash).constData(), 0755);
    FILE *f = std::fopen(path.constData(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f) == size_t(bytes.size());
    return std::fclose(f) == 0 && ok;
}

inline QByteArray readRaw(const QByteArray &path)
{
    QByteArray out;
    FILE *f = std::fopen(path.constData(), "rb");
    if (!f)
        return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, int(n));
    std::fclose(f);
    return out;
}

// Every file (not folder) below dir, as paths relative to it, sorted by bytes.
inline QList<QByteArray> filesUnderRaw(const QByteArray &dir)
{
    QList<QByteArray> out;
    DIR *d = ::opendir(dir.constData());
    if (!d)
        return out;
    while (struct dirent *e = ::readdir(d)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == "..")
            continue;
        struct stat st;
        const QByteArray path = dir + '/' + name;
        if (::lstat(path.constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            for (const QByteArray &sub : filesUnderRaw(path))
                out.append(name + '/' + sub);
        } else {
            out.append(name);
        }
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// Removes dir and everything below it, whatever bytes the names hold.
inline void removeTreeRaw(const QByteArray &dir)
{
    ::nftw(
        dir.constData(), [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 32,
        FTW_DEPTH | FTW_PHYS);
}

} // namespace RawNames
