#include "localalbum/FileMd5.h"

#include <QFile>

#include <openssl/evp.h>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace FileMd5 {

QByteArray digest(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QByteArray();
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return QByteArray();
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
        ::close(fd);
        return QByteArray();
    }
    static thread_local QByteArray buffer(256 * 1024, Qt::Uninitialized);
    const qint64 size = st.st_size;
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer.data(), size_t(qMin<qint64>(buffer.size(), size - done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // cut short: the digest of what could be read, as a reader of the file sees it
        EVP_DigestUpdate(ctx.get(), buffer.constData(), size_t(n));
        done += n;
    }
    ::close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(md), int(len));
}

QString hex(const QString &path)
{
    return QString::fromLatin1(digest(path).toHex());
}

} // namespace FileMd5
