#include "wire/Records.h"

#include <QtEndian>

#include <cstring>

namespace Records {

namespace {

qint32 readI32(const char *rec, int offset)
{
    return qFromLittleEndian<qint32>(rec + offset);
}

void writeI32(QByteArray *rec, int offset, qint32 value)
{
    qToLittleEndian<qint32>(value, rec->data() + offset);
}

void writeI16(QByteArray *rec, int offset, qint16 value)
{
    qToLittleEndian<qint16>(value, rec->data() + offset);
}

QByteArray blank(qint16 recordType)
{
    QByteArray rec(kSize, '\0');
    writeI16(&rec, 4, recordType);
    return rec;
}

// Reads an int32 length at offset and the bytes after it; false when either leaves the record.
// Uses 64-bit arithmetic so that a huge length can't wrap around.
bool readField(const char *rec, int offset, QByteArray *field, int *next, QString *why, const char *what)
{
    if (offset + 4 > kSize) {
        if (why)
            *why = QStringLiteral("no room for the length of %1").arg(QLatin1String(what));
        return false;
    }
    const qint32 len = readI32(rec, offset);
    if (len < 0) {
        if (why)
            *why = QStringLiteral("negative length %1 of %2").arg(len).arg(QLatin1String(what));
        return false;
    }
    const qint64 end = qint64(offset) + 4 + len;
    if (end > kSize) {
        if (why)
            *why = QStringLiteral("%1 of %2 bytes runs past the record").arg(QLatin1String(what)).arg(len);
        return false;
    }
    *field = QByteArray(rec + offset + 4, len);
    *next = int(end);
    return true;
}

} // namespace

qint32 head(const char *rec)
{
    return readI32(rec, 0);
}

qint16 type(const char *rec)
{
    return qFromLittleEndian<qint16>(rec + 4);
}

bool carriesText(qint16 recordType)
{
    switch (recordType) {
    case Device:
    case QueryDatabase:
    case Status7:
    case Offline:
    case Status9: return true;
    default: return false;
    }
}

bool decodeCommand(const char *rec, Command *out)
{
    out->head = head(rec);
    out->type = type(rec);
    const qint32 len = carriesText(out->type) ? readI32(rec, 6) : 0;
    if (len < 0 || len > kMaxCommandPayload)
        return false;
    out->length = len;
    out->payload = QByteArray(rec + 10, len);
    return true;
}

QByteArray encodeCommand(qint16 recordType, const QByteArray &payload)
{
    if (payload.size() > kMaxCommandPayload)
        return QByteArray();
    QByteArray rec = blank(recordType);
    writeI32(&rec, 6, payload.size());
    memcpy(rec.data() + 10, payload.constData(), size_t(payload.size()));
    return rec;
}

QByteArray encodeAuthReply(bool authorised, const QByteArray &hostLatin1)
{
    QByteArray rec = blank(Device);
    writeI32(&rec, 6, 1);
    rec[10] = authorised ? '\1' : '\0';
    const QByteArray host = hostLatin1.left(kMaxHostName);
    writeI32(&rec, 11, host.size());
    memcpy(rec.data() + 15, host.constData(), size_t(host.size()));
    return rec;
}

bool decodeAuthReply(const char *rec, bool *authorised, QByteArray *host)
{
    if (type(rec) != Device)
        return false;
    QByteArray name;
    int next = 0;
    if (!readField(rec, 11, &name, &next, nullptr, "host name"))
        return false;
    *authorised = rec[10] != 0;
    *host = name;
    return true;
}

QByteArray encodeDatabaseReply(quint32 size)
{
    QByteArray rec = blank(QueryDatabase);
    qToLittleEndian<quint32>(size, rec.data());
    return rec;
}

bool decodeDatabaseReply(const char *rec, quint32 *size)
{
    if (type(rec) != QueryDatabase)
        return false;
    *size = qFromLittleEndian<quint32>(rec);
    return true;
}

QByteArray encodeFilePortReply(int port)
{
    QByteArray rec = blank(QueryFilePort);
    writeI32(&rec, 6, port);
    return rec;
}

bool decodeFilePortReply(const char *rec, int *port)
{
    if (type(rec) != QueryFilePort)
        return false;
    *port = readI32(rec, 6);
    return true;
}

QByteArray encodeBare(qint16 recordType)
{
    return blank(recordType);
}

QByteArray encodeFileHeader(const FileHeader &h)
{
    const qint64 total = 26LL + h.name.size() + h.mobilePath.size() + h.md5.size() + h.createTime.size();
    if (total > kSize)
        return QByteArray();
    QByteArray rec = blank(File);
    writeI32(&rec, 0, h.fileSize);
    writeI32(&rec, 6, h.ratio);
    int pos = 10;
    for (const QByteArray *field : {&h.name, &h.mobilePath, &h.md5, &h.createTime}) {
        writeI32(&rec, pos, field->size());
        memcpy(rec.data() + pos + 4, field->constData(), size_t(field->size()));
        pos += 4 + field->size();
    }
    return rec;
}

HeaderCheck decodeFileHeader(const char *rec, FileHeader *out, QString *why)
{
    if (type(rec) != File) {
        if (why)
            *why = QStringLiteral("record type %1 is not a file header").arg(type(rec));
        return HeaderCheck::WrongType;
    }
    FileHeader h;
    h.fileSize = readI32(rec, 0);
    h.ratio = readI32(rec, 6);
    int pos = 10;
    if (!readField(rec, pos, &h.name, &pos, why, "name") ||
        !readField(rec, pos, &h.mobilePath, &pos, why, "mobile path") || !readField(rec, pos, &h.md5, &pos, why, "md5"))
        return HeaderCheck::Malformed;
    if (!h.md5.isEmpty() && !readField(rec, pos, &h.createTime, &pos, why, "create time"))
        return HeaderCheck::Malformed;
    *out = h;
    return HeaderCheck::Ok;
}

QByteArray encodeFileAck(const FileAck &a)
{
    const qint64 total = 22LL + a.mobilePath.size() + a.md5.size();
    if (total > kSize)
        return QByteArray();
    QByteArray rec = blank(File);
    writeI32(&rec, 6, a.ratio);
    writeI32(&rec, 10, a.storedSize);
    writeI32(&rec, 14, a.mobilePath.size());
    memcpy(rec.data() + 18, a.mobilePath.constData(), size_t(a.mobilePath.size()));
    const int pos = 18 + a.mobilePath.size();
    writeI32(&rec, pos, a.md5.size());
    memcpy(rec.data() + pos + 4, a.md5.constData(), size_t(a.md5.size()));
    return rec;
}

bool decodeFileAck(const char *rec, FileAck *out)
{
    if (type(rec) != File)
        return false;
    FileAck a;
    a.ratio = readI32(rec, 6);
    a.storedSize = readI32(rec, 10);
    int pos = 14;
    if (!readField(rec, pos, &a.mobilePath, &pos, nullptr, "mobile path") ||
        !readField(rec, pos, &a.md5, &pos, nullptr, "md5"))
        return false;
    *out = a;
    return true;
}

QByteArray encodeThumbnailHeader(const ThumbnailHeader &t)
{
    if (10LL + t.name.size() > kSize)
        return QByteArray();
    QByteArray rec = blank(Thumbnail);
    writeI32(&rec, 0, t.size);
    writeI32(&rec, 6, t.name.size());
    memcpy(rec.data() + 10, t.name.constData(), size_t(t.name.size()));
    return rec;
}

bool decodeThumbnailHeader(const char *rec, ThumbnailHeader *out)
{
    if (type(rec) != Thumbnail)
        return false;
    ThumbnailHeader t;
    t.size = readI32(rec, 0);
    int pos = 6;
    if (!readField(rec, pos, &t.name, &pos, nullptr, "name"))
        return false;
    *out = t;
    return true;
}

} // namespace Records
