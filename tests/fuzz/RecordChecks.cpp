#include "RecordChecks.h"

#include "wire/Records.h"

#include <QtEndian>

namespace Fuzz {

namespace {
qint32 i32(const char *rec, int offset)
{
    return qFromLittleEndian<qint32>(rec + offset);
}

QString checkCommand(const char *rec)
{
    Records::Command cmd;
    // Records that carry no text are taken whatever their length field says, with no payload.
    const qint32 length = Records::carriesText(Records::type(rec)) ? i32(rec, 6) : 0;
    const bool ok = Records::decodeCommand(rec, &cmd);
    if (ok != (length >= 0 && length <= Records::kMaxCommandPayload))
        return QStringLiteral("command: accepted=%1 with length %2").arg(ok).arg(length);
    if (!ok)
        return QString();
    if (cmd.payload.size() != length || cmd.payload != QByteArray(rec + 10, length))
        return QStringLiteral("command: payload is not the %1 bytes at 10").arg(length);
    Records::Command again;
    if (!Records::decodeCommand(Records::encodeCommand(cmd.type, cmd.payload).constData(), &again) ||
        again.type != cmd.type || again.payload != cmd.payload)
        return QStringLiteral("command: does not survive encode and decode");
    return QString();
}

QString checkAuthReply(const char *rec)
{
    bool authorised = false;
    QByteArray host;
    if (!Records::decodeAuthReply(rec, &authorised, &host))
        return QString();
    if (Records::type(rec) != Records::Device || host.size() > Records::kMaxHostName ||
        host != QByteArray(rec + 15, i32(rec, 11)))
        return QStringLiteral("auth reply: host of %1 bytes accepted").arg(host.size());
    bool again = !authorised;
    QByteArray hostAgain;
    if (!Records::decodeAuthReply(Records::encodeAuthReply(authorised, host).constData(), &again, &hostAgain) ||
        again != authorised || hostAgain != host)
        return QStringLiteral("auth reply: does not survive encode and decode");
    return QString();
}

QString checkSmallReplies(const char *rec)
{
    quint32 size = 0;
    if (Records::decodeDatabaseReply(rec, &size) && Records::type(rec) != Records::QueryDatabase)
        return QStringLiteral("database reply of type %1 accepted").arg(Records::type(rec));
    int port = 0;
    if (Records::decodeFilePortReply(rec, &port) && Records::type(rec) != Records::QueryFilePort)
        return QStringLiteral("file port reply of type %1 accepted").arg(Records::type(rec));
    return QString();
}

QString checkFileHeader(const char *rec)
{
    Records::FileHeader h;
    QString why;
    const Records::HeaderCheck check = Records::decodeFileHeader(rec, &h, &why);
    if ((check == Records::HeaderCheck::WrongType) != (Records::type(rec) != Records::File))
        return QStringLiteral("file header: type %1 judged wrongly").arg(Records::type(rec));
    if (check != Records::HeaderCheck::Ok)
        return why.isEmpty() && check == Records::HeaderCheck::Malformed
            ? QStringLiteral("file header: malformed without a reason")
            : QString();
    const qint64 used =
        22LL + h.name.size() + h.mobilePath.size() + h.md5.size() + (h.md5.isEmpty() ? 0 : 4 + h.createTime.size());
    if (used > Records::kSize || (h.md5.isEmpty() && !h.createTime.isEmpty()))
        return QStringLiteral("file header: fields of %1 bytes accepted").arg(used);
    if (h.fileSize != i32(rec, 0) || h.ratio != i32(rec, 6) || h.name != QByteArray(rec + 14, h.name.size()))
        return QStringLiteral("file header: fields not read from their offsets");
    const QByteArray encoded = Records::encodeFileHeader(h);
    if (encoded.isEmpty())
        return QString(); // no md5 and the longest name and path: no room for the N4 the encoder writes
    Records::FileHeader again;
    if (Records::decodeFileHeader(encoded.constData(), &again) != Records::HeaderCheck::Ok ||
        again.fileSize != h.fileSize || again.ratio != h.ratio || again.name != h.name ||
        again.mobilePath != h.mobilePath || again.md5 != h.md5 || again.createTime != h.createTime)
        return QStringLiteral("file header: does not survive encode and decode");
    return QString();
}

QString checkFileAck(const char *rec)
{
    Records::FileAck a;
    if (!Records::decodeFileAck(rec, &a))
        return QString();
    if (22LL + a.mobilePath.size() + a.md5.size() > Records::kSize)
        return QStringLiteral("file ack: fields of %1 bytes accepted").arg(a.mobilePath.size() + a.md5.size());
    Records::FileAck again;
    if (!Records::decodeFileAck(Records::encodeFileAck(a).constData(), &again) || again.ratio != a.ratio ||
        again.storedSize != a.storedSize || again.mobilePath != a.mobilePath || again.md5 != a.md5)
        return QStringLiteral("file ack: does not survive encode and decode");
    return QString();
}

QString checkThumbnailHeader(const char *rec)
{
    Records::ThumbnailHeader t;
    if (!Records::decodeThumbnailHeader(rec, &t))
        return QString();
    if (10LL + t.name.size() > Records::kSize)
        return QStringLiteral("thumbnail header: name of %1 bytes accepted").arg(t.name.size());
    Records::ThumbnailHeader again;
    if (!Records::decodeThumbnailHeader(Records::encodeThumbnailHeader(t).constData(), &again) ||
        again.size != t.size || again.name != t.name)
        return QStringLiteral("thumbnail header: does not survive encode and decode");
    return QString();
}
} // namespace

QString checkRecordDecoders(const char *rec)
{
    for (QString (*check)(const char *) :
         {checkCommand, checkAuthReply, checkSmallReplies, checkFileHeader, checkFileAck, checkThumbnailHeader}) {
        const QString error = check(rec);
        if (!error.isEmpty())
            return error;
    }
    return QString();
}

} // namespace Fuzz
