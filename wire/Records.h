#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The fixed 255-byte records of the command and file connections. Every record is little-endian,
// every field sits at a fixed offset and bytes no field claims are zero. This is the one place that
// reads and writes them: servers, tests and the phone simulator all go through it, and every decoder
// checks the lengths it reads against the record before touching the bytes they describe.
namespace Records {

constexpr int kSize = 255; // every record
constexpr int kMaxCommandPayload = 245;
constexpr int kMaxHostName = 240; // host name in the authorisation reply

enum Type : qint16 {
    Device = 1,
    QueryDatabase = 2,
    QueryFilePort = 3,
    Status7 = 7,
    Offline = 8,
    Status9 = 9,
    DeleteNotice = 10,
    File = 31,
    Thumbnail = 32
};

qint32 head(const char *rec); // int32 at offset 0
qint16 type(const char *rec); // int16 at offset 4

// Phone -> PC command record: int32 (not interpreted), int16 type, int32 length n, n payload bytes at 10.
struct Command
{
    qint32 head = 0;
    qint16 type = 0;
    qint32 length = 0;
    QByteArray payload;
};
// Records that carry text (types 1, 2, 7, 8 and 9): false when n < 0 or n > 245, the length can't
// be true and the record is to be ignored. The others carry nothing: their length field is not
// read, and length and payload come back empty.
bool decodeCommand(const char *rec, Command *out);
bool carriesText(qint16 type);
// Empty when the payload is longer than 245 bytes.
QByteArray encodeCommand(qint16 type, const QByteArray &payload);

// PC -> phone command replies (each exactly 255 bytes).
QByteArray encodeAuthReply(bool authorised, const QByteArray &hostLatin1); // type 1; host cut to 240 bytes
bool decodeAuthReply(const char *rec, bool *authorised, QByteArray *host);
QByteArray encodeDatabaseReply(quint32 size); // type 2, size at offset 0; the file follows raw
bool decodeDatabaseReply(const char *rec, quint32 *size);
QByteArray encodeFilePortReply(int port); // type 3, port at offset 6
bool decodeFilePortReply(const char *rec, int *port);
QByteArray encodeBare(qint16 type); // types 9 and 10: type only, rest zero

// File connection: the header the phone sends before each file's content.
struct FileHeader
{
    qint32 fileSize = 0;
    qint32 ratio = 0;
    QByteArray name;       // Latin-1
    QByteArray mobilePath; // UTF-8
    QByteArray md5;        // UTF-8 hex text
    QByteArray createTime; // UTF-8, ISO 8601
};
// Empty when 26 + N1 + N2 + N3 + N4 > 255. The N4 field and the create time are always written.
QByteArray encodeFileHeader(const FileHeader &h);

enum class HeaderCheck { Ok, WrongType, Malformed };
// Malformed: a negative length or a field that does not fit inside the record. When N3 is 0 the
// phone sends neither md5 nor create time, so N4 is not read and createTime stays empty.
// Semantic checks (N1 == 0, N2 == 0, file names, negative size) belong to the file server.
HeaderCheck decodeFileHeader(const char *rec, FileHeader *out, QString *why = nullptr);

struct FileAck
{
    qint32 ratio = 0;
    qint32 storedSize = 0;
    QByteArray mobilePath;
    QByteArray md5;
};
QByteArray encodeFileAck(const FileAck &a); // type 31; empty when 22 + M1 + M2 > 255
bool decodeFileAck(const char *rec, FileAck *out);

struct ThumbnailHeader
{
    qint32 size = 0;
    QByteArray name; // Latin-1
};
QByteArray encodeThumbnailHeader(const ThumbnailHeader &t); // type 32; empty when 10 + L > 255
bool decodeThumbnailHeader(const char *rec, ThumbnailHeader *out);

} // namespace Records
