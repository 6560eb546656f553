// The file server against a phone on loopback: framing, folders, verification, thumbnails, refusals, churn.
#include "backup/FileClientThread.h"
#include "backup/FileServer.h"
#include "backup/IncomingFile.h"
#include "backup/LocalDataBase.h"
#include "backup/TransferMonitor.h"
#include "wire/Records.h"
#include "tests/support/ExifJpeg.h"
#include "tests/support/LoopbackPhone.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <sys/socket.h>

using TestSupport::filesUnder;
using TestSupport::patternBytes;
using TestSupport::waitFor;

namespace {

// The md5 as the records carry it.
QByteArray md5Of(const QByteArray &bytes)
{
    return TestSupport::md5Hex(bytes).toLatin1();
}

QByteArray header(const QByteArray &content, const QByteArray &mobilePath, const QByteArray &md5,
                  const QByteArray &createTime, int ratio = 1)
{
    Records::FileHeader h;
    h.fileSize = content.size();
    h.ratio = ratio;
    h.name = "n";
    h.mobilePath = mobilePath;
    h.md5 = md5;
    h.createTime = createTime;
    return Records::encodeFileHeader(h);
}

// A whole file as the phone sends it, dated May 2019 and with its md5.
QByteArray fileMessage(const QByteArray &content, const QByteArray &mobilePath, int ratio = 1)
{
    return header(content, mobilePath, md5Of(content), "2019-05-01T08:30:00", ratio) + content;
}

// A number from /proc/self/status, such as the thread count.
qint64 processStatus(const QByteArray &field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// The phone's side of one file connection.
class Phone : public TestSupport::LoopbackPhone
{
public:
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress())
    {
        socket().setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return LoopbackPhone::connectTo(port, from);
    }
    void send(const QByteArray &bytes, int piece = 0)
    {
        if (piece <= 0) {
            socket().write(bytes);
            return;
        }
        for (int at = 0; at < bytes.size(); at += piece) {
            socket().write(bytes.mid(at, piece));
            socket().flush();
            if ((at / piece) % 16 == 0)
                QCoreApplication::processEvents();
        }
    }
    // The next record from the PC (and for a thumbnail record its bytes in *extra).
    bool next(QByteArray *record, QByteArray *extra = nullptr, int timeoutMs = 5000)
    {
        *record = bytes(Records::kSize, timeoutMs);
        if (record->isEmpty())
            return false;
        if (Records::type(record->constData()) == Records::Thumbnail) {
            Records::ThumbnailHeader th;
            if (!Records::decodeThumbnailHeader(record->constData(), &th))
                return false;
            const QByteArray thumb = bytes(th.size, timeoutMs);
            if (thumb.size() != th.size)
                return false;
            if (extra)
                *extra = thumb;
        }
        return true;
    }
    bool nextAck(Records::FileAck *ack, int timeoutMs = 5000)
    {
        QByteArray rec;
        return next(&rec, nullptr, timeoutMs) && Records::type(rec.constData()) == Records::File &&
            Records::decodeFileAck(rec.constData(), ack);
    }
};

} // namespace

class TestFileServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void namingHelpers();
    void storesExactlyWhateverTheChunking();
    void filesSentJustBeforeClosingAreStored();
    void folderRules_data();
    void folderRules();
    void sameFileTwiceAndUpperCaseMd5();
    void nameClashKeepsBoth();
    void thumbnail_data();
    void thumbnail();
    void albumRowIsQueuedBeforeTheAcknowledgement();
    void neverClaimsIncompleteOrWrongContent();
    void unwritableDestinationIsNotClaimed();
    void refusedHeaders_data();
    void refusedHeaders();
    void malformedHeaderEndsConnection();
    void onlyTheOwnPhoneMayConnect();
    void reconnectChurnFreesWorkers();
    void stoppingMidFileIsPromptAndLeavesNothing();
    void leftoversOfCutTransfersAreRemoved();

private:
    QString device() const { return m_root->path() + QStringLiteral("/万特相册/设备 A"); }
    Phone *connectPhone();

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<FileServer> m_server;
    std::unique_ptr<QSignalSpy> m_reports;
    std::vector<std::unique_ptr<Phone>> m_phones;
};

void TestFileServer::initTestCase()
{
    // The server makes a folder in the home folder; keep it out of the real one.
    m_home = std::make_unique<QTemporaryDir>();
    qputenv("HOME", m_home->path().toUtf8());
}

void TestFileServer::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<FileServer>(nullptr, 100);
    QVERIFY(m_server->listen(QHostAddress::Any, 0));
    m_server->setSavePath(device());
    m_reports = std::make_unique<QSignalSpy>(m_server.get(), &FileServer::updateImageInfo);
    QVERIFY(QDir(m_home->path() + QStringLiteral("/万特相册")).exists());
}

void TestFileServer::cleanup()
{
    m_phones.clear();
    m_reports.reset();
    m_server.reset();
    m_root.reset();
}

Phone *TestFileServer::connectPhone()
{
    m_phones.push_back(std::make_unique<Phone>());
    Phone *phone = m_phones.back().get();
    if (!phone->connectTo(m_server->serverPort()))
        return nullptr;
    return phone;
}

void TestFileServer::namingHelpers()
{
    QCOMPARE(IncomingFile::numberedName(QStringLiteral("IMG_1.jpg"), 0), QStringLiteral("IMG_1.jpg"));
    QCOMPARE(IncomingFile::numberedName(QStringLiteral("IMG_1.jpg"), 1), QStringLiteral("IMG_1(1).jpg"));
    QCOMPARE(IncomingFile::numberedName(QStringLiteral("a.tar.gz"), 2), QStringLiteral("a.tar(2).gz"));
    QCOMPARE(IncomingFile::numberedName(QStringLiteral("README"), 3), QStringLiteral("README(3)"));
    QCOMPARE(IncomingFile::numberedName(QStringLiteral(".profile"), 1), QStringLiteral(".profile(1)"));

    for (const char *bad : {"", ".", "..", "a\\b", "a/b", "tab\there", "del\x7f"})
        QVERIFY2(!IncomingFile::isSafeFileName(QString::fromLatin1(bad)), bad);
    QVERIFY(!IncomingFile::isSafeFileName(QStringLiteral("nul") + QChar(0) + QStringLiteral("x")));
    QVERIFY(IncomingFile::isSafeFileName(QStringLiteral("..jpg")));
    QVERIFY(IncomingFile::isSafeFileName(QStringLiteral("照片 1.jpg")));
    // The name of a file still arriving is ours alone.
    QVERIFY(!IncomingFile::isSafeFileName(QStringLiteral(".vt-0123456789abcdef.part")));
    QVERIFY(IncomingFile::isSafeFileName(QStringLiteral(".vt-notours.part")));

    QTemporaryDir dir;
    QVERIFY(TestSupport::writeFile(dir.path() + QStringLiteral("/x.bin"), "hello"));
    QCOMPARE(FileClientThread::fileMd5(dir.path() + QStringLiteral("/x.bin")), TestSupport::md5Hex("hello"));
    QCOMPARE(FileClientThread::fileMd5(dir.path() + QStringLiteral("/missing")), QString());
}

void TestFileServer::storesExactlyWhateverTheChunking()
{
    // One file in 1-byte writes, header included.
    Phone *phone = connectPhone();
    QVERIFY(phone);
    const QByteArray content = patternBytes(3000, 1);
    phone->send(fileMessage(content, "/sdcard/DCIM/IMG_1.jpg"), 1);
    Records::FileAck ack;
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.storedSize, content.size());
    QCOMPARE(ack.mobilePath, QByteArray("/sdcard/DCIM/IMG_1.jpg"));
    QCOMPARE(ack.md5, md5Of(content));
    QCOMPARE(ack.ratio, 1);
    const QString path = device() + QStringLiteral("/2019/05/IMG_1.jpg");
    QCOMPARE(TestSupport::readFile(path), content);
    QCOMPARE(m_reports->count(), 1);
    const QList<QVariant> r = m_reports->takeFirst();
    QCOMPARE(r.at(0).toInt(), 1);
    QCOMPARE(r.at(1).toString(), path);
    QCOMPARE(r.at(2).toString(), TestSupport::md5Hex(content));
    QCOMPARE(r.at(3).toString(), QString());
    QCOMPARE(r.at(4).toString(), QStringLiteral("2019-05-01T08:30:00"));
    QCOMPARE(r.at(5).toString(), QStringLiteral("/sdcard/DCIM/IMG_1.jpg"));

    // Many files (one of them empty, one larger than the ring) in a single write, on the same connection.
    QByteArray all;
    QList<QByteArray> contents;
    for (int i = 0; i < 30; ++i) {
        const int size = i == 7 ? 0 : i == 11 ? 12 * 1024 * 1024 : 1000 + 997 * i;
        contents << patternBytes(size, 100 + i);
        all += fileMessage(contents.last(), "/sdcard/DCIM/many_" + QByteArray::number(i) + ".jpg");
    }
    phone->send(all);
    for (int i = 0; i < contents.size(); ++i) {
        QVERIFY2(phone->nextAck(&ack, 20000), qPrintable(QString::number(i)));
        QCOMPARE(ack.mobilePath, "/sdcard/DCIM/many_" + QByteArray::number(i) + ".jpg");
        QCOMPARE(ack.storedSize, contents.at(i).size());
    }
    for (int i = 0; i < contents.size(); ++i)
        QVERIFY(TestSupport::readFile(device() + QStringLiteral("/2019/05/many_%1.jpg").arg(i)) == contents.at(i));
    QCOMPARE(m_reports->count(), contents.size());
    // No temporary file stays behind.
    QCOMPARE(filesUnder(device()).filter(QStringLiteral(".part")), QStringList());
}

void TestFileServer::filesSentJustBeforeClosingAreStored()
{
    Phone *phone = connectPhone();
    QVERIFY(phone);
    QByteArray all;
    for (int i = 0; i < 3; ++i)
        all += fileMessage(patternBytes(4 * 1024 * 1024, i), "/p/last_" + QByteArray::number(i) + ".mp4");
    phone->send(all);
    // The phone closes its sending side at once, without waiting for any acknowledgement. (A full close
    // with acknowledgements still unread would make its kernel reset the connection and discard data.)
    QVERIFY(waitFor([&] { return phone->socket().bytesToWrite() == 0; }, 20000));
    QCOMPARE(::shutdown(int(phone->socket().socketDescriptor()), SHUT_WR), 0);
    QVERIFY(waitFor([&] { return m_server->workerCount() == 0; }, 20000));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(TestSupport::readFile(device() + QStringLiteral("/2019/05/last_%1.mp4").arg(i)),
                 patternBytes(4 * 1024 * 1024, i));
    QCOMPARE(m_reports->count(), 3);
}

void TestFileServer::folderRules_data()
{
    QTest::addColumn<bool>("withMd5");
    QTest::addColumn<QByteArray>("createTime");
    QTest::addColumn<QString>("folder");
    QTest::newRow("md5 and time") << true << QByteArray("2019-05-01T08:30:00") << QStringLiteral("/2019/05");
    QTest::newRow("time with offset") << true << QByteArray("2020-12-31T23:00:00+08:00") << QStringLiteral("/2020/12");
    QTest::newRow("no md5") << false << QByteArray("2019-05-01T08:30:00") << QStringLiteral("/temp");
    QTest::newRow("md5, no time") << true << QByteArray() << QStringLiteral("/temp");
    QTest::newRow("invalid time") << true << QByteArray("yesterday") << QString();
}

void TestFileServer::folderRules()
{
    QFETCH(bool, withMd5);
    QFETCH(QByteArray, createTime);
    QFETCH(QString, folder);
    Phone *phone = connectPhone();
    QVERIFY(phone);
    const QByteArray content = patternBytes(5000, 7);
    phone->send(header(content, "/storage/x/相片.jpg", withMd5 ? md5Of(content) : QByteArray(), createTime) + content);
    Records::FileAck ack;
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.storedSize, content.size());
    const QString path = device() + folder + QStringLiteral("/相片.jpg");
    QCOMPARE(TestSupport::readFile(path), content);
    QCOMPARE(filesUnder(device()), QStringList{QDir(device()).relativeFilePath(path)});
    QCOMPARE(m_reports->count(), 1);
    QCOMPARE(m_reports->first().at(1).toString(), path);
}

void TestFileServer::sameFileTwiceAndUpperCaseMd5()
{
    Phone *phone = connectPhone();
    QVERIFY(phone);
    const QByteArray content = patternBytes(20000, 3);
    const QByteArray upper = md5Of(content).toUpper();
    const QByteArray message = header(content, "/d/IMG_2.jpg", upper, "2019-05-01T08:30:00") + content;
    phone->send(message);
    Records::FileAck ack;
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.storedSize, content.size());
    QCOMPARE(ack.md5, upper); // echoed as the phone sent it
    const QString path = device() + QStringLiteral("/2019/05/IMG_2.jpg");
    const QDateTime firstWrite = QFileInfo(path).lastModified();
    QTest::qWait(20);

    // The phone never saw the first acknowledgement and sends the file again: still acknowledged,
    // the stored copy is kept as it is.
    phone->send(message);
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.storedSize, content.size());
    QCOMPARE(QFileInfo(path).lastModified(), firstWrite);
    QCOMPARE(filesUnder(device()), QStringList{QStringLiteral("2019/05/IMG_2.jpg")});
    QCOMPARE(m_reports->count(), 2);
    QCOMPARE(m_reports->at(1).at(1).toString(), path);
}

void TestFileServer::nameClashKeepsBoth()
{
    Phone *phone = connectPhone();
    QVERIFY(phone);
    const QByteArray first = patternBytes(7000, 1), second = patternBytes(8000, 2);
    Records::FileAck ack;
    phone->send(fileMessage(first, "/a/IMG_1.jpg"));
    QVERIFY(phone->nextAck(&ack));
    phone->send(fileMessage(second, "/b/IMG_1.jpg"));
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.storedSize, second.size());
    QCOMPARE(TestSupport::readFile(device() + QStringLiteral("/2019/05/IMG_1.jpg")), first);
    QCOMPARE(TestSupport::readFile(device() + QStringLiteral("/2019/05/IMG_1(1).jpg")), second);
    QCOMPARE(m_reports->at(1).at(1).toString(), device() + QStringLiteral("/2019/05/IMG_1(1).jpg"));

    // Sent once more, the second file is found under its new name and not stored a third time.
    phone->send(fileMessage(second, "/b/IMG_1.jpg"));
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(m_reports->at(2).at(1).toString(), device() + QStringLiteral("/2019/05/IMG_1(1).jpg"));
    QCOMPARE(filesUnder(device()).size(), 2);

    // A dangling link under the name is left alone too.
    QVERIFY(QFile::link(m_root->path() + QStringLiteral("/nowhere"), device() + QStringLiteral("/2019/05/IMG_8.jpg")));
    phone->send(fileMessage(first, "/a/IMG_8.jpg"));
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(TestSupport::readFile(device() + QStringLiteral("/2019/05/IMG_8(1).jpg")), first);
    QVERIFY(QFileInfo(device() + QStringLiteral("/2019/05/IMG_8.jpg")).isSymLink());
    QVERIFY(!QFileInfo::exists(m_root->path() + QStringLiteral("/nowhere")));
}

void TestFileServer::thumbnail_data()
{
    QTest::addColumn<QByteArray>("mobilePath");
    QTest::addColumn<int>("ratio");
    QTest::addColumn<bool>("rotated"); // taken with the phone on its side: orientation 6 in the Exif data
    QTest::addColumn<QSize>("expected");
    QTest::newRow("ratio 4") << QByteArray("/DCIM/IMG_5.jpg") << 4 << false << QSize(1000, 750);
    QTest::newRow("unicode name, ratio 3") << QByteArray("/DCIM/全家福 照片.jpg") << 3 << false << QSize(1333, 1000);
    QTest::newRow("upright after rotation") << QByteArray("/DCIM/IMG_7.JPG") << 4 << true << QSize(750, 1000);
    QTest::newRow("ratio 1: none") << QByteArray("/DCIM/IMG_6.jpg") << 1 << false << QSize();
}

namespace {
// The photo with an Exif orientation tag.
QByteArray withOrientation(const QByteArray &jpeg, quint16 orientation)
{
    return ExifJpeg::withExif(jpeg, {{EXIF_IFD_0, EXIF_TAG_ORIENTATION, QByteArray::number(orientation)}});
}
} // namespace

void TestFileServer::thumbnail()
{
    QFETCH(QByteArray, mobilePath);
    QFETCH(int, ratio);
    QFETCH(bool, rotated);
    QFETCH(QSize, expected);
    QImage image(4000, 3000, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(image.save(&buffer, "JPG"));
    if (rotated) {
        jpeg = withOrientation(jpeg, 6);
        QBuffer check(&jpeg);
        QImageReader reader(&check);
        QCOMPARE(reader.transformation(), QImageIOHandler::TransformationRotate90);
    }

    Phone *phone = connectPhone();
    QVERIFY(phone);
    phone->send(fileMessage(jpeg, mobilePath, ratio));
    Records::FileAck ack;
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.ratio, ratio);
    QCOMPARE(ack.storedSize, jpeg.size());
    const QString name = QString::fromUtf8(mobilePath).section(QLatin1Char('/'), -1);
    if (expected.isValid()) {
        QByteArray record, bytes;
        QVERIFY(phone->next(&record, &bytes));
        Records::ThumbnailHeader th;
        QVERIFY(Records::decodeThumbnailHeader(record.constData(), &th));
        QCOMPARE(th.size, bytes.size());
        QCOMPARE(th.name, name.toLatin1());
        QImage small;
        QVERIFY(small.loadFromData(bytes));
        QCOMPARE(small.size(), expected);
        QVERIFY(waitFor([&] { return m_reports->count() == 1; }));
        QCOMPARE(m_reports->first().at(3).toString(), TestSupport::md5Hex(bytes));
    } else {
        QByteArray record;
        QVERIFY(!phone->next(&record, nullptr, 300));
        QVERIFY(waitFor([&] { return m_reports->count() == 1; }));
        QCOMPARE(m_reports->first().at(3).toString(), QString());
    }
    QCOMPARE(filesUnder(device()), QStringList{QStringLiteral("2019/05/") + name});
}

void TestFileServer::albumRowIsQueuedBeforeTheAcknowledgement()
{
    // A database the phone downloads right after an acknowledgement holds the file: the report reaches
    // a directly connected recorder before the acknowledgement leaves. The acknowledgements are read
    // without running this thread's event loop, so nothing queued to it can help.
    const QString name = QStringLiteral("设备 A");
    m_server->setDeviceName(name);
    const QString dbPath = m_root->filePath(QStringLiteral("phone.db"));
    LocalDataBase db(dbPath);
    QObject recorder; // goes before db, and the recording with it
    connect(
        m_server.get(), &FileServer::updateImageInfo, &recorder,
        [&db](int ratio, QString path, QString md5, QString smallMd5, QString createTime, QString mobilePath) {
            LocalDataBase::PendingRow row;
            row.filename = QFileInfo(path).fileName();
            row.localpath = path;
            row.md5 = md5;
            row.lastratio = ratio;
            row.smallmd5 = smallMd5;
            row.createtime = createTime;
            row.mobilefilepath = mobilePath;
            db.recordLater(row, nullptr, {});
        },
        Qt::DirectConnection);
    QImage image(800, 600, QImage::Format_RGB32);
    image.fill(Qt::darkRed);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(image.save(&buffer, "JPG"));

    Phone *phone = connectPhone();
    QVERIFY(phone);
    QTcpSocket &socket = phone->socket();
    const QList<QByteArray> paths = {"/DCIM/IMG_1.jpg", "/DCIM/IMG_2.jpg", "/DCIM/IMG_3.jpg"};
    QByteArray burst = fileMessage(jpeg, paths.at(0), 2); // with a thumbnail
    for (int i = 1; i < paths.size(); ++i)
        burst += fileMessage(patternBytes(5000, 20 + i), paths.at(i));
    socket.write(burst);
    while (socket.bytesToWrite() > 0)
        QVERIFY(socket.waitForBytesWritten(5000));
    auto take = [&](qint64 n) {
        while (socket.bytesAvailable() < n && socket.waitForReadyRead(5000)) { }
        return socket.read(n);
    };
    QTemporaryDir copies;
    for (int i = 0; i < paths.size(); ++i) {
        const QByteArray record = take(Records::kSize);
        Records::FileAck ack;
        QVERIFY(record.size() == Records::kSize && Records::decodeFileAck(record.constData(), &ack));
        QCOMPARE(ack.mobilePath, paths.at(i));
        QVERIFY(ack.storedSize > 0);
        const QString copy = copies.filePath(QStringLiteral("copy%1.db").arg(i));
        QFile out(copy);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QVERIFY(LocalDataBase::copyConsistent(dbPath, &out));
        out.close();
        const QList<QVariantList> rows =
            TestSupport::queryRows(copy, QStringLiteral("select mobilefilepath from albumlist order by id"));
        // Later files of the burst may be recorded already; this one must be.
        QVERIFY(rows.size() > i);
        QCOMPARE(rows.at(i).value(0).toString(), QString::fromUtf8(paths.at(i)));
        if (i == 0) {
            const QByteArray thumbnailRecord = take(Records::kSize);
            Records::ThumbnailHeader th;
            QVERIFY(thumbnailRecord.size() == Records::kSize &&
                    Records::decodeThumbnailHeader(thumbnailRecord.constData(), &th));
            QCOMPARE(take(th.size).size(), qint64(th.size));
        }
    }
    QVERIFY(waitFor([&] { return TransferMonitor::instance()->activity(name).filesThisSession == 3; }));
    QVERIFY(TransferMonitor::instance()->activity(name).connected);
}

void TestFileServer::neverClaimsIncompleteOrWrongContent()
{
    // Content that does not match its md5: acknowledged with size 0, nothing stored or reported,
    // and the connection goes on with the next file.
    Phone *phone = connectPhone();
    QVERIFY(phone);
    const QByteArray content = patternBytes(10000, 9);
    QByteArray corrupted = content;
    corrupted[5000] = char(corrupted[5000] ^ 1);
    phone->send(header(content, "/d/IMG_9.jpg", md5Of(content), "2019-05-01T08:30:00") + corrupted);
    Records::FileAck ack;
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.storedSize, 0);
    QCOMPARE(ack.mobilePath, QByteArray("/d/IMG_9.jpg"));
    QCOMPARE(filesUnder(m_root->path()), QStringList());
    QCOMPARE(m_reports->count(), 0);

    phone->send(fileMessage(content, "/d/IMG_9.jpg"));
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.storedSize, content.size());
    QCOMPARE(m_reports->count(), 1);

    // A connection cut in the middle of a file leaves no file and no report.
    m_reports->clear();
    Phone *second = connectPhone();
    QVERIFY(second);
    const QByteArray big = patternBytes(3 * 1024 * 1024, 10);
    const QByteArray message = fileMessage(big, "/d/VID_1.mp4");
    second->send(message.left(message.size() / 2));
    QVERIFY(second->socket().waitForBytesWritten(5000));
    QVERIFY(waitFor(
        [&] { return !filesUnder(device() + QStringLiteral("/2019/05")).filter(QStringLiteral(".part")).isEmpty(); }));
    second->socket().abort();
    QVERIFY(waitFor([&] { return m_server->workerCount() == 1; }));
    QCOMPARE(filesUnder(device()), QStringList{QStringLiteral("2019/05/IMG_9.jpg")});
    QTest::qWait(100);
    QCOMPARE(m_reports->count(), 0);
}

void TestFileServer::unwritableDestinationIsNotClaimed()
{
    // A file where the device folder should be: nothing can be made in it (a file in the way of a year
    // or month folder is stepped around instead).
    QDir(device()).removeRecursively();
    QVERIFY(TestSupport::writeFile(device(), "in the way"));
    Phone *phone = connectPhone();
    QVERIFY(phone);
    const QByteArray content = patternBytes(4000, 4);
    phone->send(fileMessage(content, "/d/IMG_3.jpg"));
    Records::FileAck ack;
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.storedSize, 0);
    QVERIFY(QFile::remove(device()));
    phone->send(fileMessage(content, "/d/other.jpg").replace("2019-05", "2018-05"));
    QVERIFY(phone->nextAck(&ack)); // the stream stayed in step
    QCOMPARE(ack.storedSize, content.size());
    QVERIFY(waitFor([&] { return m_reports->count() == 1; }));
    QCOMPARE(m_reports->first().at(1).toString(), device() + QStringLiteral("/2018/05/other.jpg"));
}

void TestFileServer::refusedHeaders_data()
{
    QTest::addColumn<QByteArray>("refused");     // a record (with whatever content follows it)
    QTest::addColumn<QByteArray>("answeredFor"); // the mobile path of its "not stored" answer, if any
    const QByteArray content = patternBytes(600, 5);
    auto withPath = [&](const QByteArray &path) { return fileMessage(content, path); };
    const QList<QPair<const char *, QByteArray>> names = {
        {"name ..", "/a/.."},
        {"name .", "."},
        {"empty name", "/sdcard/DCIM/"},
        {"backslash", "..\\..\\evil.jpg"},
        {"control char", "/d/a\nb.jpg"},
        {"tab", "/d/a\tb.jpg"},
        {"NUL", QByteArray("/d/a\0b.jpg", 10)},
        {"empty mobile path", QByteArray()},
    };
    for (const auto &name : names)
        QTest::newRow(name.first) << withPath(name.second) << name.second;
    Records::FileHeader h;
    h.fileSize = -5;
    h.name = "n";
    h.mobilePath = "/d/neg.jpg";
    QTest::newRow("negative size") << Records::encodeFileHeader(h) << QByteArray("-");
    QByteArray other = Records::encodeFileHeader(h);
    qToLittleEndian<qint16>(7, other.data() + 4);
    QTest::newRow("other type") << other << QByteArray("-");
}

void TestFileServer::refusedHeaders()
{
    // A name that is never stored is answered "not stored" (the phone would wait for ever otherwise);
    // either way the connection stays in step for the next file.
    QFETCH(QByteArray, refused);
    QFETCH(QByteArray, answeredFor);
    QVERIFY(!refused.isEmpty());
    Phone *phone = connectPhone();
    QVERIFY(phone);
    const QByteArray good = patternBytes(900, 6);
    phone->send(refused + fileMessage(good, "/d/good.jpg"));
    Records::FileAck ack;
    if (answeredFor != "-") {
        QVERIFY(phone->nextAck(&ack));
        QCOMPARE(ack.mobilePath, answeredFor);
        QCOMPARE(ack.storedSize, 0);
    }
    QVERIFY(phone->nextAck(&ack));
    QCOMPARE(ack.mobilePath, QByteArray("/d/good.jpg"));
    QCOMPARE(ack.storedSize, good.size());
    // Nothing but the good file, and nothing outside the device folder.
    QCOMPARE(filesUnder(m_root->path()), QStringList{QStringLiteral("万特相册/设备 A/2019/05/good.jpg")});
    QCOMPARE(m_reports->count(), 1);
}

void TestFileServer::malformedHeaderEndsConnection()
{
    const QByteArray content = patternBytes(700, 8);
    QByteArray broken = header(content, "/d/m.jpg", md5Of(content), "2019-05-01T08:30:00");
    for (const qint32 n1 : {300, -1, 0x7fffffff}) {
        Phone *phone = connectPhone();
        QVERIFY(phone);
        qToLittleEndian<qint32>(n1, broken.data() + 10);
        phone->send(broken + content + fileMessage(content, "/d/after.jpg"));
        QVERIFY(waitFor([&] { return phone->socket().state() == QAbstractSocket::UnconnectedState; }));
        QCOMPARE(phone->unread(), QByteArray());
    }
    QVERIFY(waitFor([&] { return m_server->workerCount() == 0; }));
    QCOMPARE(filesUnder(m_root->path()), QStringList());
    QCOMPARE(m_reports->count(), 0);
}

void TestFileServer::onlyTheOwnPhoneMayConnect()
{
    m_server->setAllowedPeer(QHostAddress(QStringLiteral("::ffff:127.0.0.1")));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("refused a file connection from.*127\\.0\\.0\\.2")));
    m_phones.push_back(std::make_unique<Phone>());
    Phone *stranger = m_phones.back().get();
    QVERIFY(stranger->socket().bind(QHostAddress(QStringLiteral("127.0.0.2"))));
    // The server may close it before the client even sees it connected.
    stranger->connectTo(m_server->serverPort());
    stranger->send(fileMessage(patternBytes(100, 1), "/x/stranger.jpg"));
    QVERIFY(waitFor([&] { return stranger->socket().state() == QAbstractSocket::UnconnectedState; }));
    QCOMPARE(m_server->workerCount(), 0);

    Phone *own = connectPhone();
    QVERIFY(own);
    own->send(fileMessage(patternBytes(100, 2), "/x/own.jpg"));
    Records::FileAck ack;
    QVERIFY(own->nextAck(&ack));
    QCOMPARE(filesUnder(device()), QStringList{QStringLiteral("2019/05/own.jpg")});
}

void TestFileServer::reconnectChurnFreesWorkers()
{
    // A leaked worker would keep a thread and its 10 MiB ring.
    const qint64 threadsBefore = processStatus("Threads");
    for (int i = 0; i < 200; ++i) {
        Phone phone;
        QVERIFY(phone.connectTo(m_server->serverPort()));
        if (i % 2 == 0) {
            phone.send(fileMessage(patternBytes(2000, i % 10), "/c/f" + QByteArray::number(i % 10) + ".jpg"));
            Records::FileAck ack;
            QVERIFY(phone.nextAck(&ack));
        }
        phone.socket().disconnectFromHost();
        if (i % 20 == 0)
            QVERIFY(waitFor([&] { return m_server->workerCount() == 0; }));
    }
    QVERIFY(waitFor([&] { return m_server->workerCount() == 0; }, 10000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(waitFor([&] { return processStatus("Threads") <= threadsBefore + 1; }, 5000));
    QCOMPARE(FileClientThread::instanceCount(), 0);
    QCOMPARE(filesUnder(device()).size(), 5); // f0, f2 ... f8, each stored once
}

void TestFileServer::stoppingMidFileIsPromptAndLeavesNothing()
{
    Phone *phone = connectPhone();
    QVERIFY(phone);
    const QByteArray big = patternBytes(2 * 1024 * 1024, 11);
    phone->send(fileMessage(big, "/d/half.mp4").left(1024 * 1024));
    QVERIFY(waitFor([&] { return !filesUnder(device()).isEmpty(); }));
    QElapsedTimer timer;
    timer.start();
    m_server.reset();
    QVERIFY2(timer.elapsed() < 2000, "workers did not stop promptly");
    QCOMPARE(filesUnder(m_root->path()), QStringList());
    QCOMPARE(m_reports->count(), 0);
}

void TestFileServer::leftoversOfCutTransfersAreRemoved()
{
    const QString month = device() + QStringLiteral("/2019/05");
    const QString stale = month + QStringLiteral("/.vt-00000000000000aa.part");
    const QString fresh = month + QStringLiteral("/.vt-00000000000000bb.part");
    const QString photo = month + QStringLiteral("/.vt-holiday.part"); // a phone's own (odd) name
    for (const QString &f : {stale, fresh, photo})
        QVERIFY(TestSupport::writeFile(f, "partial"));
    const QDateTime twoHoursAgo = QDateTime::currentDateTime().addSecs(-7200);
    for (const QString &f : {stale, photo}) {
        QFile file(f);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(twoHoursAgo, QFileDevice::FileModificationTime));
    }

    // The next connection of the phone sets its file server up, which clears the leftovers.
    FileServer next(nullptr, 100);
    next.setSavePath(device());
    QVERIFY(TestSupport::waitFor([&] { return !QFile::exists(stale); }, 5000));
    QVERIFY(QFile::exists(fresh)); // may still be arriving over another connection
    QVERIFY(QFile::exists(photo));
}

QTEST_GUILESS_MAIN(TestFileServer)
#include "tst_fileserver.moc"
