#include "PhoneSim.h"

#include "PhotoInfo.h"
#include "wire/Records.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>

#include <cstdio>

namespace {
constexpr quint16 kDiscoveryPort = 18888;
constexpr int kContentChunk = 64 * 1024;
constexpr qint64 kSendWindow = 1024 * 1024;

QString human(qint64 bytes)
{
    if (bytes >= 1024 * 1024)
        return QString::number(bytes / 1048576.0, 'f', 1) + QStringLiteral(" MiB");
    if (bytes >= 1024)
        return QString::number(bytes / 1024.0, 'f', 1) + QStringLiteral(" KiB");
    return QString::number(bytes) + QStringLiteral(" B");
}
} // namespace

PhoneSim::PhoneSim(const Options &options) : m_opt(options), m_out(stdout), m_err(stderr)
{
    m_out.setCodec("UTF-8");
    m_err.setCodec("UTF-8");
}

void PhoneSim::fail(const QString &why)
{
    m_failures.append(why);
    m_err << "FAIL: " << why << '\n';
    m_err.flush();
}

void PhoneSim::note(const QString &text)
{
    if (m_opt.quiet)
        return;
    m_out << text << '\n';
    m_out.flush();
}

int PhoneSim::run()
{
    if (m_opt.name.isEmpty()) {
        m_err << "a device name is needed (--name)\n";
        return Usage;
    }
    if (m_opt.host.isEmpty()) {
        if (!discover())
            return Unreachable;
    } else {
        m_host = QHostAddress(m_opt.host);
        m_port = m_opt.port;
        if (m_host.isNull() || m_port <= 0 || m_port > 65535) {
            m_err << "--host needs an IP address and --port a port\n";
            return Usage;
        }
    }
    QTcpSocket cmd;
    m_cmd = &cmd;
    if (!connectCommand())
        return Unreachable;

    // Name ourselves and wait for the PC's decision (the user may be asked first).
    QByteArray reply;
    if (!sendCommand(Records::Device, m_opt.name.toUtf8()) || !waitForCommandRecord(Records::Device, &reply)) {
        fail(QStringLiteral("no answer to the device record"));
        return Failed;
    }
    bool authorised = false;
    QByteArray host;
    if (!Records::decodeAuthReply(reply.constData(), &authorised, &host)) {
        fail(QStringLiteral("malformed authorisation reply"));
        return Failed;
    }
    note(QStringLiteral("PC %1 %2 this phone as \"%3\"")
             .arg(QString::fromLatin1(host), authorised ? QStringLiteral("accepted") : QStringLiteral("refused"),
                  m_opt.name));

    if (m_opt.status) {
        QByteArray ack;
        if (!sendCommand(Records::Status7, m_opt.name.toLatin1()) ||
            !sendCommand(Records::Status9, m_opt.name.toLatin1()) || !waitForCommandRecord(Records::Status9, &ack))
            fail(QStringLiteral("status 9 was not acknowledged"));
        else
            note(QStringLiteral("status 9 acknowledged"));
    }

    QByteArray portRecord;
    int filePort = 0;
    if (!sendCommand(Records::QueryFilePort, QByteArray()) ||
        !waitForCommandRecord(Records::QueryFilePort, &portRecord) ||
        !Records::decodeFilePortReply(portRecord.constData(), &filePort)) {
        fail(QStringLiteral("no answer to the file-port query"));
        return Failed;
    }
    note(QStringLiteral("file port %1").arg(filePort));

    if (m_opt.expectRefused) {
        if (authorised)
            fail(QStringLiteral("expected to be refused, was accepted"));
        if (filePort != 0)
            fail(QStringLiteral("refused, yet a file port (%1) was given").arg(filePort));
    } else if (!authorised) {
        m_err << "the PC refused this phone\n";
        return Refused;
    } else if (!m_opt.dir.isEmpty()) {
        if (filePort <= 0)
            fail(QStringLiteral("accepted but no file server runs"));
        else
            sendFiles(filePort);
    }

    if (m_opt.downloadDb)
        downloadDatabase();

    if (m_opt.waitDeleteNotice || m_opt.holdMs > 0) {
        // Stay connected; a deletion notice from the PC may arrive meanwhile.
        QDeadlineTimer hold(m_opt.waitDeleteNotice ? m_opt.timeoutMs : m_opt.holdMs);
        while (!hold.hasExpired() && !(m_opt.waitDeleteNotice && m_deleteNotice)) {
            if (m_cmd->state() != QAbstractSocket::ConnectedState)
                break;
            if (m_cmd->bytesAvailable() > 0 || m_cmd->waitForReadyRead(50)) {
                m_cmdBuffer += m_cmd->readAll();
                while (m_cmdBuffer.size() >= Records::kSize) {
                    if (Records::type(m_cmdBuffer.constData()) == Records::DeleteNotice) {
                        m_deleteNotice = true;
                        note(QStringLiteral("the PC deleted this device"));
                    }
                    m_cmdBuffer.remove(0, Records::kSize);
                }
            }
        }
        if (m_opt.waitDeleteNotice && !m_deleteNotice)
            fail(QStringLiteral("no deletion notice arrived"));
    }

    sendCommand(Records::Offline, m_opt.name.toLatin1());
    m_cmd->flush();
    m_cmd->disconnectFromHost();
    if (m_cmd->state() != QAbstractSocket::UnconnectedState)
        m_cmd->waitForDisconnected(2000);
    m_cmd = nullptr;

    const double mbps = m_seconds > 0 ? m_bytes / 1048576.0 / m_seconds : 0.0;
    m_out << QStringLiteral("summary: files=%1 acked=%2 thumbnails=%3 bytes=%4 seconds=%5 MBps=%6 failures=%7")
                 .arg(m_files)
                 .arg(m_acked)
                 .arg(m_thumbnails)
                 .arg(m_bytes)
                 .arg(m_seconds, 0, 'f', 3)
                 .arg(mbps, 0, 'f', 1)
                 .arg(m_failures.size())
          << '\n';
    m_out.flush();
    return m_failures.isEmpty() ? Ok : Failed;
}

bool PhoneSim::discover()
{
    QUdpSocket udp;
    if (!udp.bind(QHostAddress::AnyIPv4, kDiscoveryPort, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        m_err << "cannot listen on UDP " << kDiscoveryPort << ": " << udp.errorString() << '\n';
        return false;
    }
    note(QStringLiteral("listening for the PC's broadcast on UDP %1").arg(kDiscoveryPort));
    QDeadlineTimer deadline(m_opt.discoverMs);
    while (!deadline.hasExpired()) {
        if (!udp.hasPendingDatagrams() && !udp.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 500))))
            continue;
        while (udp.hasPendingDatagrams()) {
            QByteArray data(int(qMax<qint64>(udp.pendingDatagramSize(), 0)), '\0');
            QHostAddress from;
            udp.readDatagram(data.data(), data.size(), &from);
            const QJsonObject o = QJsonDocument::fromJson(data).object();
            if (o.value(QStringLiteral("PCFunction")).toString() != QLatin1String("vanteoServer"))
                continue;
            if (!m_opt.pcName.isEmpty() && o.value(QStringLiteral("HostName")).toString() != m_opt.pcName)
                continue;
            const int port = o.value(QStringLiteral("Port")).toInt();
            QHostAddress ip(o.value(QStringLiteral("IP")).toString());
            // A PC that could not pick an address announces "": the datagram's source will do.
            if (ip.isNull())
                ip = QHostAddress(from.toIPv4Address());
            if (port <= 0 || port > 65535 || ip.isNull())
                continue;
            m_host = ip;
            m_port = port;
            note(QStringLiteral("found PC %1 at %2:%3")
                     .arg(o.value(QStringLiteral("HostName")).toString(), ip.toString())
                     .arg(port));
            return true;
        }
    }
    m_err << "no broadcast heard within " << m_opt.discoverMs << " ms\n";
    return false;
}

bool PhoneSim::connectCommand()
{
    m_cmd->connectToHost(m_host, quint16(m_port));
    if (!m_cmd->waitForConnected(m_opt.timeoutMs)) {
        m_err << "cannot connect to " << m_host.toString() << ':' << m_port << ": " << m_cmd->errorString() << '\n';
        return false;
    }
    return true;
}

bool PhoneSim::sendCommand(qint16 type, const QByteArray &payload)
{
    if (!m_cmd || m_cmd->state() != QAbstractSocket::ConnectedState)
        return false;
    const QByteArray rec = Records::encodeCommand(type, payload);
    if (rec.isEmpty()) {
        fail(QStringLiteral("payload of a type-%1 record is longer than 245 bytes").arg(type));
        return false;
    }
    m_cmd->write(rec);
    return m_cmd->waitForBytesWritten(m_opt.timeoutMs) || m_cmd->bytesToWrite() == 0;
}

bool PhoneSim::readExact(QTcpSocket *socket, QByteArray *buffer, int n, QByteArray *out, QDeadlineTimer deadline)
{
    while (buffer->size() < n) {
        if (socket->bytesAvailable() > 0) {
            *buffer += socket->readAll();
            continue;
        }
        if (deadline.hasExpired() || socket->state() != QAbstractSocket::ConnectedState)
            return false;
        socket->waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 500)));
    }
    *out = buffer->left(n);
    buffer->remove(0, n);
    return true;
}

bool PhoneSim::waitForCommandRecord(qint16 type, QByteArray *record)
{
    QDeadlineTimer deadline(m_opt.timeoutMs);
    for (;;) {
        QByteArray rec;
        if (!readExact(m_cmd, &m_cmdBuffer, Records::kSize, &rec, deadline))
            return false;
        const qint16 t = Records::type(rec.constData());
        if (t == type) {
            *record = rec;
            return true;
        }
        if (t == Records::DeleteNotice) {
            m_deleteNotice = true;
            note(QStringLiteral("the PC deleted this device"));
        } else {
            note(QStringLiteral("skipped a type-%1 record").arg(t));
        }
    }
}

bool PhoneSim::sendFiles(int filePort)
{
    QStringList paths;
    QDirIterator it(m_opt.dir, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    paths.sort();
    if (paths.isEmpty()) {
        note(QStringLiteral("no files in %1").arg(m_opt.dir));
        return true;
    }
    QTcpSocket file;
    file.connectToHost(m_host, quint16(filePort));
    if (!file.waitForConnected(m_opt.timeoutMs)) {
        fail(QStringLiteral("cannot connect to the file port: %1").arg(file.errorString()));
        return false;
    }
    const QDir root(m_opt.dir);
    QByteArray buffer;
    QList<Sent> pending;
    qint64 totalBytes = 0;
    for (const QString &p : qAsConst(paths))
        totalBytes += QFileInfo(p).size();
    note(QStringLiteral("sending %1 files, %2").arg(paths.size()).arg(human(totalBytes)));

    struct Prepared
    {
        QString path;
        QByteArray header;
        Records::FileHeader h;
        qint64 size = 0;
    };
    QList<Prepared> prepared;
    for (const QString &path : qAsConst(paths)) {
        const QFileInfo info(path);
        if (info.size() > 0x7fffffffLL) {
            fail(QStringLiteral("%1: 2 GiB or more can't be described").arg(path));
            continue;
        }
        Records::FileHeader h;
        h.fileSize = qint32(info.size());
        h.ratio = m_opt.ratio;
        h.mobilePath = (m_opt.mobilePrefix + root.relativeFilePath(path)).toUtf8();
        h.md5 = PhotoInfo::md5Of(path).toLatin1();
        h.createTime = PhotoInfo::createTimeOf(path).toUtf8();
        h.name = info.fileName().toLatin1();
        // The name is not used by the PC; shorten it rather than give up on a long path.
        const int room = Records::kSize - 26 - h.mobilePath.size() - h.md5.size() - h.createTime.size();
        if (room < 1) {
            fail(QStringLiteral("%1: phone path too long for the header").arg(path));
            continue;
        }
        h.name = h.name.left(room);
        const QByteArray header = Records::encodeFileHeader(h);
        if (header.isEmpty() || h.md5.isEmpty()) {
            fail(QStringLiteral("%1: cannot be read").arg(path));
            continue;
        }
        prepared.append(Prepared{path, header, h, info.size()});
    }

    // The clock covers the transfer only (hashing happened above, as a phone does beforehand).
    m_total = prepared.size();
    QElapsedTimer clock;
    clock.start();
    for (const Prepared &p : qAsConst(prepared)) {
        const QString &path = p.path;
        const Records::FileHeader &h = p.h;
        const QByteArray &header = p.header;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly) || f.size() != p.size) {
            fail(QStringLiteral("%1: cannot be read").arg(path));
            continue;
        }
        file.write(header);
        qint64 left = p.size;
        QByteArray chunk;
        while (left > 0) {
            chunk = f.read(qMin<qint64>(kContentChunk, left));
            if (chunk.isEmpty()) {
                // Shrunk while being sent: keep the promised length so the stream stays aligned.
                chunk = QByteArray(int(qMin<qint64>(kContentChunk, left)), '\0');
                fail(QStringLiteral("%1: changed while being sent").arg(path));
            }
            file.write(chunk);
            left -= chunk.size();
            while (file.bytesToWrite() > kSendWindow) {
                if (!file.waitForBytesWritten(m_opt.timeoutMs)) {
                    fail(QStringLiteral("file connection stalled: %1").arg(file.errorString()));
                    return false;
                }
                if (!processFileReplies(&file, &buffer, &pending, &m_acked))
                    return false;
            }
        }
        ++m_files;
        m_bytes += p.size;
        pending.append(Sent{path, h.mobilePath, h.md5, p.size, false});
        if (!processFileReplies(&file, &buffer, &pending, &m_acked))
            return false;
    }
    // Every file is answered with an acknowledgement (and, for a ratio above 1, a thumbnail).
    QDeadlineTimer deadline(m_opt.timeoutMs);
    while (!pending.isEmpty() || m_thumbLeft > 0) {
        if (deadline.hasExpired() || file.state() != QAbstractSocket::ConnectedState) {
            fail(QStringLiteral("%1 files were not acknowledged").arg(pending.size()));
            break;
        }
        const int before = m_acked;
        if (file.bytesAvailable() == 0)
            file.waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 200)));
        if (!processFileReplies(&file, &buffer, &pending, &m_acked))
            return false;
        if (m_acked != before)
            deadline = QDeadlineTimer(m_opt.timeoutMs);
    }
    m_seconds = clock.nsecsElapsed() / 1e9;
    // Thumbnails follow their acknowledgement, and a stray record would be a fault: give the
    // connection a moment before leaving it.
    QDeadlineTimer grace(m_opt.ratio > 1 ? 500 : 200);
    while (!grace.hasExpired()) {
        if (file.bytesAvailable() == 0 && !file.waitForReadyRead(int(qMax<qint64>(1, grace.remainingTime()))))
            break;
        if (!processFileReplies(&file, &buffer, &pending, &m_acked))
            return false;
    }
    if (m_thumbLeft > 0)
        fail(QStringLiteral("a thumbnail ended early"));
    file.disconnectFromHost();
    if (file.state() != QAbstractSocket::UnconnectedState)
        file.waitForDisconnected(2000);
    return true;
}

bool PhoneSim::processFileReplies(QTcpSocket *socket, QByteArray *buffer, QList<Sent> *pending, int *acked)
{
    *buffer += socket->readAll();
    for (;;) {
        if (m_thumbLeft > 0) {
            const int take = int(qMin<qint64>(m_thumbLeft, buffer->size()));
            if (take == 0)
                return true;
            m_thumbData += buffer->left(take);
            buffer->remove(0, take);
            m_thumbLeft -= take;
            if (m_thumbLeft == 0) {
                ++m_thumbnails;
                if (!m_opt.thumbsDir.isEmpty()) {
                    QDir().mkpath(m_opt.thumbsDir);
                    QFile out(m_opt.thumbsDir + QLatin1Char('/') + QString::fromLatin1(m_thumbName));
                    if (out.open(QIODevice::WriteOnly))
                        out.write(m_thumbData);
                }
                m_thumbData.clear();
            }
            continue;
        }
        if (buffer->size() < Records::kSize)
            return true;
        const QByteArray rec = buffer->left(Records::kSize);
        buffer->remove(0, Records::kSize);
        const qint16 t = Records::type(rec.constData());
        if (t == Records::File) {
            Records::FileAck ack;
            if (!Records::decodeFileAck(rec.constData(), &ack)) {
                fail(QStringLiteral("malformed acknowledgement"));
                return false;
            }
            if (pending->isEmpty()) {
                fail(
                    QStringLiteral("acknowledgement for a file never sent: %1").arg(QString::fromUtf8(ack.mobilePath)));
                continue;
            }
            const Sent s = pending->takeFirst();
            ++*acked;
            QStringList wrong;
            if (ack.mobilePath != s.mobilePath)
                wrong << QStringLiteral("phone path %1").arg(QString::fromUtf8(ack.mobilePath));
            if (QString::fromUtf8(ack.md5).compare(QString::fromLatin1(s.md5), Qt::CaseInsensitive) != 0)
                wrong << QStringLiteral("md5 %1").arg(QString::fromUtf8(ack.md5));
            if (ack.storedSize != qint32(s.size))
                wrong << QStringLiteral("stored size %1 of %2").arg(ack.storedSize).arg(s.size);
            if (ack.ratio != m_opt.ratio)
                wrong << QStringLiteral("ratio %1").arg(ack.ratio);
            if (!wrong.isEmpty())
                fail(QStringLiteral("%1: %2").arg(QString::fromUtf8(s.mobilePath), wrong.join(QStringLiteral(", "))));
            else
                note(QStringLiteral("[%1/%2] ok %3 (%4)")
                         .arg(*acked)
                         .arg(m_total)
                         .arg(QString::fromUtf8(s.mobilePath), human(s.size)));
            m_sent.append(s);
            m_sent.last().acked = wrong.isEmpty();
        } else if (t == Records::Thumbnail) {
            Records::ThumbnailHeader th;
            if (!Records::decodeThumbnailHeader(rec.constData(), &th) || th.size < 0) {
                fail(QStringLiteral("malformed thumbnail record"));
                return false;
            }
            m_thumbName = th.name;
            m_thumbLeft = th.size;
            m_thumbData.clear();
            if (th.size == 0)
                ++m_thumbnails;
        } else {
            fail(QStringLiteral("unexpected type-%1 record on the file connection").arg(t));
            return false;
        }
    }
}

bool PhoneSim::downloadDatabase()
{
    const QString name = m_opt.dbName.isEmpty() ? m_opt.name : m_opt.dbName;
    QByteArray rec;
    if (!sendCommand(Records::QueryDatabase, name.toUtf8()) || !waitForCommandRecord(Records::QueryDatabase, &rec)) {
        fail(QStringLiteral("no answer to the database query"));
        return false;
    }
    quint32 size = 0;
    Records::decodeDatabaseReply(rec.constData(), &size);
    QByteArray content;
    if (size > 0 && !readExact(m_cmd, &m_cmdBuffer, int(size), &content, QDeadlineTimer(m_opt.timeoutMs))) {
        fail(QStringLiteral("database reply ended early"));
        return false;
    }
    note(QStringLiteral("album database of \"%1\": %2").arg(name, human(size)));
    if (size == 0) {
        if (m_opt.checkDb && !m_sent.isEmpty())
            fail(QStringLiteral("the PC has no database for files it acknowledged"));
        return true;
    }
    m_dbPath = m_opt.saveDb;
    if (m_dbPath.isEmpty())
        m_dbPath = QDir::tempPath() + QStringLiteral("/phonesim-%1.db").arg(QCoreApplication::applicationPid());
    QFile out(m_dbPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(content) != content.size()) {
        fail(QStringLiteral("cannot write %1").arg(m_dbPath));
        return false;
    }
    out.close();
    const bool ok = listDatabase(m_dbPath);
    if (m_opt.saveDb.isEmpty())
        QFile::remove(m_dbPath);
    return ok;
}

bool PhoneSim::listDatabase(const QString &path)
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("phonesim"));
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            fail(QStringLiteral("downloaded database does not open"));
            ok = false;
        } else {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("select * from albumlist"))) {
                fail(QStringLiteral("downloaded database has no album table"));
                ok = false;
            } else {
                QList<QPair<QByteArray, QString>> rows; // phone path, md5
                int count = 0;
                while (q.next()) {
                    ++count;
                    const QString mobile = q.value(10).toString();
                    rows.append({mobile.toUtf8(), q.value(4).toString()});
                    if (m_opt.listDb)
                        m_out << QStringLiteral("  row %1: %2 | %3 | %4 bytes | %5 | %6\n")
                                     .arg(q.value(0).toInt())
                                     .arg(mobile, q.value(2).toString())
                                     .arg(q.value(3).toLongLong())
                                     .arg(q.value(4).toString(), q.value(6).toString());
                }
                note(QStringLiteral("the PC holds %1 rows for this device").arg(count));
                if (m_opt.checkDb) {
                    for (const Sent &s : qAsConst(m_sent)) {
                        bool found = false;
                        for (const auto &r : qAsConst(rows))
                            found = found ||
                                (r.first == s.mobilePath &&
                                 r.second.compare(QString::fromLatin1(s.md5), Qt::CaseInsensitive) == 0);
                        if (!found)
                            fail(QStringLiteral("no row for %1").arg(QString::fromUtf8(s.mobilePath)));
                    }
                }
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("phonesim"));
    return ok;
}
