// The command server and its connections, driven by a plain socket that plays the phone.
#include "backup/FileServer.h"
#include "backup/LocalDataBase.h"
#include "link/CmdClientThread.h"
#include "link/CmdServer.h"
#include "link/DeviceName.h"
#include "wire/Records.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/LoopbackPhone.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using TestSupport::waitFor;

namespace {

// A phone's end of the command connection.
class Phone : public TestSupport::LoopbackPhone
{
public:
    // from: a loopback address of its own (127.0.0.x), to play another device.
    explicit Phone(quint16 port, const QHostAddress &from = QHostAddress()) { connectTo(port, from); }

    void send(qint16 type, const QByteArray &payload) { write(Records::encodeCommand(type, payload)); }
    // A raw record: type and a length field that need not match the payload.
    void sendRaw(qint16 type, qint32 length, const QByteArray &payload = QByteArray())
    {
        QByteArray rec(Records::kSize, '\0');
        qToLittleEndian<qint16>(type, rec.data() + 4);
        qToLittleEndian<qint32>(length, rec.data() + 6);
        memcpy(rec.data() + 10, payload.constData(), size_t(qMin(payload.size(), 245)));
        write(rec);
    }
    // From now on the socket takes nothing more from the system: replies pile up at the PC.
    void stopReading() { socket().setReadBufferSize(1); }
    void resumeReading() { socket().setReadBufferSize(0); }
    // The next 255-byte record, or an empty array after timeoutMs.
    QByteArray record(int timeoutMs = 5000) { return bytes(Records::kSize, timeoutMs); }
    // Names itself and returns the authorisation flag (-1: no answer).
    int hello(const QString &name)
    {
        send(Records::Device, name.toUtf8());
        return authReply();
    }
    // The authorisation flag of the next reply (-1: no answer).
    int authReply()
    {
        const QByteArray r = record();
        bool ok = false;
        QByteArray host;
        if (r.isEmpty() || !Records::decodeAuthReply(r.constData(), &ok, &host))
            return -1;
        return ok ? 1 : 0;
    }
    // Asks for the file port (-1: no answer).
    int filePort(int timeoutMs = 5000)
    {
        send(Records::QueryFilePort, QByteArray());
        const QByteArray r = record(timeoutMs);
        int port = -1;
        if (r.isEmpty() || !Records::decodeFilePortReply(r.constData(), &port))
            return -1;
        return port;
    }
};

// Waits until the row for localPath is committed to dbPath. Rows are written off the GUI thread, and
// the file exists (and grows) before its row is in it.
bool rowCommitted(const QString &dbPath, const QString &localPath)
{
    const QList<QVariantList> row{{localPath}};
    return waitFor([&] {
        return QFileInfo::exists(dbPath) &&
            TestSupport::queryRows(dbPath, QStringLiteral("select localpath from albumlist")) == row;
    });
}

} // namespace

class TstCmdServer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void deviceNameCheck_data();
    void deviceNameCheck();
    void knownDeviceIsAcceptedWithoutDialog();
    void newDeviceAcceptedWithOk();
    void refusedDeviceGetsNoFileServer();
    void badNamesAreRefusedBeforeAnythingIsCreated_data();
    void badNamesAreRefusedBeforeAnythingIsCreated();
    void chineseNameKeptExactly();
    void portQueryBeforeDeviceRecordIsNotAnswered();
    void repeatedDeviceRecordDoesNotReconfigure();
    void twoRecordsInOneSegmentAnsweredInOrder();
    void statusRecords();
    void ignoredRecordsKeepTheStreamAligned();
    void databaseReply();
    void databaseReplyKeepsLaterRepliesBehindIt();
    void recordingReceivedFiles();
    void disconnectReportsOfflineThenClosed();
    void deletingConnectedDeviceWipesAfterDisconnect();
    void deletingUnconnectedDeviceWipesAtOnce();
    void peerAskingFasterThanItReadsLosesItsConnection();
    void connectionsAreCappedAndUnnamedOnesClosed();
    void newNamesAreAskedOneAtATime();
    void householdBehindOneAddressIsNeverShutOut();
    void fileConnectionsPerPhoneAreCapped();

private:
    std::unique_ptr<CmdServer> makeServer();
    CmdClientThread *onlyConnection(CmdServer *server);

    std::unique_ptr<QTemporaryDir> m_programDir;
    std::unique_ptr<QTemporaryDir> m_storage;
    QString m_savePath;
};

void TstCmdServer::init()
{
    m_programDir = TestSupport::makeProgramDir();
    m_storage = std::make_unique<QTemporaryDir>();
    m_savePath = m_storage->path() + QLatin1Char('/');
    Dialogs::setNonInteractive(true);
    Dialogs::clearRecords();
}

void TstCmdServer::cleanup()
{
    QCOMPARE(Dialogs::pendingAnswers(), 0);
    m_storage.reset();
    m_programDir.reset();
}

std::unique_ptr<CmdServer> TstCmdServer::makeServer()
{
    auto server = std::make_unique<CmdServer>(nullptr, 20, m_savePath);
    if (!server->listen(QHostAddress::Any, 0))
        return nullptr;
    return server;
}

CmdClientThread *TstCmdServer::onlyConnection(CmdServer *server)
{
    waitFor([server] { return server->connectionCount() == 1; }, 3000);
    const QList<CmdClientThread *> all = server->connections();
    return all.size() == 1 ? all.first() : nullptr;
}

void TstCmdServer::deviceNameCheck_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "Pixel 7" << true;
    QTest::newRow("chinese") << QStringLiteral("小米手机 9") << true;
    QTest::newRow("200 bytes") << QString(200, QLatin1Char('a')) << true;
    QTest::newRow("66 chinese = 198 bytes") << QString(66, QChar(0x624b)) << true;
    QTest::newRow("201 bytes") << QString(201, QLatin1Char('a')) << false;
    QTest::newRow("67 chinese = 201 bytes") << QString(67, QChar(0x624b)) << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dotdot") << ".." << false;
    QTest::newRow("dots inside") << "a..b" << true;
    QTest::newRow("slash") << "../etc/x" << false;
    QTest::newRow("backslash") << "a\\b" << false;
    QTest::newRow("nul") << QString::fromLatin1("a\0b", 3) << false;
    QTest::newRow("newline") << "a\nb" << false;
    QTest::newRow("del") << QString::fromLatin1("a\x7f") << false;
    QTest::newRow("bad utf-8") << DeviceName::fromUtf8(QByteArray("ab\xff\xfe")) << false;
    QTest::newRow("local album db") << "LocalFiles" << false;
}

void TstCmdServer::deviceNameCheck()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(DeviceName::isValid(name), valid);
}

void TstCmdServer::knownDeviceIsAcceptedWithoutDialog()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Pixel"), QStringLiteral("/old"),
                                             QStringLiteral("2020-01-01 00:00:00"));
    auto server = makeServer();
    QVERIFY(server);
    QSignalSpy remote(server.get(), &CmdServer::UpdateRemoteInfo);
    Phone phone(server->serverPort());
    QVERIFY(phone.connected());
    QCOMPARE(phone.hello(QStringLiteral("Pixel")), 1);
    QVERIFY(Dialogs::records().isEmpty());
    QCOMPARE(remote.size(), 1);
    QCOMPARE(remote.at(0).at(0).toString(), QStringLiteral("Pixel"));
    QCOMPARE(remote.at(0).at(1).toBool(), false);

    const QString folder = m_savePath + QStringLiteral("万特相册/Pixel");
    QVERIFY(QDir(folder).exists());
    const QList<UserEntry> users = ReadWriteSetting::getInstance()->getUserList();
    QCOMPARE(users.size(), 1);
    QCOMPARE(users.at(0).path, folder);
    const QDateTime seen = QDateTime::fromString(users.at(0).time, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    QVERIFY(qAbs(seen.secsTo(QDateTime::currentDateTime())) < 60);

    const int port = phone.filePort();
    QVERIFY(port > 0);
    CmdClientThread *conn = onlyConnection(server.get());
    QVERIFY(conn && conn->fileServer());
    QCOMPARE(int(conn->fileServer()->serverPort()), port);
    QCOMPARE(conn->savePath(), folder);
}

void TstCmdServer::newDeviceAcceptedWithOk()
{
    auto server = makeServer();
    QVERIFY(server);
    QSignalSpy remote(server.get(), &CmdServer::UpdateRemoteInfo);
    Dialogs::setNextAnswer(Dialogs::Ok);
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(QStringLiteral("NewPhone")), 1);

    const QList<Dialogs::Record> asked = Dialogs::records();
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked.at(0).icon, Dialogs::Information);
    QCOMPARE(asked.at(0).title, QStringLiteral("授权"));
    QCOMPARE(asked.at(0).text, QStringLiteral("你确定授权给 NewPhone 备份？\n（手机地址：127.0.0.1）"));
    QVERIFY(asked.at(0).buttons.contains(QStringLiteral("确 定")));
    QVERIFY(asked.at(0).buttons.contains(QStringLiteral("取 消")));

    QCOMPARE(remote.size(), 1);
    QCOMPARE(remote.at(0).at(1).toBool(), true);
    QVERIFY(ReadWriteSetting::getInstance()->userExists(QStringLiteral("NewPhone")));
    QVERIFY(QDir(m_savePath + QStringLiteral("万特相册/NewPhone")).exists());
    QVERIFY(phone.filePort() > 0);
}

void TstCmdServer::refusedDeviceGetsNoFileServer()
{
    auto server = makeServer();
    QVERIFY(server);
    QSignalSpy remote(server.get(), &CmdServer::UpdateRemoteInfo);
    Dialogs::setNextAnswer(Dialogs::Cancel);
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(QStringLiteral("Stranger")), 0);
    QCOMPARE(Dialogs::records().size(), 1);
    QCOMPARE(remote.size(), 0);
    QCOMPARE(phone.filePort(), 0);

    CmdClientThread *conn = onlyConnection(server.get());
    QVERIFY(conn);
    QVERIFY(!conn->fileServer());
    // A file report reaching a refused connection records nothing.
    const QString stray = m_storage->path() + QStringLiteral("/stray.jpg");
    QVERIFY(TestSupport::writeFile(stray, "x"));
    conn->updateImageInfoSlot(1, stray, TestSupport::md5Hex("x"), QString(), QString(), QStringLiteral("/p/x"));

    QVERIFY(!ReadWriteSetting::getInstance()->userExists(QStringLiteral("Stranger")));
    QVERIFY(!QFileInfo::exists(m_savePath + QStringLiteral("万特相册/Stranger")));
    QVERIFY(!QFileInfo::exists(AppPaths::programFile(QStringLiteral("Stranger.db"))));
    // The phone stays connected.
    QVERIFY(phone.connected());
}

void TstCmdServer::badNamesAreRefusedBeforeAnythingIsCreated_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("dot") << QByteArray(".");
    QTest::newRow("dotdot") << QByteArray("..");
    QTest::newRow("parent path") << QByteArray("../../evil");
    QTest::newRow("slash") << QByteArray("a/b");
    QTest::newRow("backslash") << QByteArray("a\\b");
    QTest::newRow("nul inside") << QByteArray("ab\0cd", 5);
    QTest::newRow("control") << QByteArray("a\tb");
    QTest::newRow("201 bytes") << QByteArray(201, 'n');
    QTest::newRow("bad utf-8") << QByteArray("\xc3\x28");
    QTest::newRow("local album") << QByteArray("localfiles");
    QTest::newRow("local album's folder") << QByteArray("本地");
}

void TstCmdServer::badNamesAreRefusedBeforeAnythingIsCreated()
{
    QFETCH(QByteArray, payload);
    auto server = makeServer();
    QVERIFY(server);
    QSignalSpy remote(server.get(), &CmdServer::UpdateRemoteInfo);
    ReadWriteSetting::getInstance(); // global.xml exists from the start, as in the program
    const QStringList before = QDir(m_programDir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    Phone phone(server->serverPort());
    phone.send(Records::Device, payload);
    const QByteArray reply = phone.record();
    bool authorised = true;
    QByteArray host;
    QVERIFY(Records::decodeAuthReply(reply.constData(), &authorised, &host));
    QVERIFY(!authorised);
    QCOMPARE(phone.filePort(), 0);

    QVERIFY(Dialogs::records().isEmpty());
    QCOMPARE(remote.size(), 0);
    QVERIFY(ReadWriteSetting::getInstance()->getUserList().isEmpty());
    QCOMPARE(QDir(m_savePath + QStringLiteral("万特相册")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
    QCOMPARE(QDir(m_programDir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QVERIFY(!QFileInfo::exists(m_storage->path() + QStringLiteral("/evil")));
}

void TstCmdServer::chineseNameKeptExactly()
{
    const QString name = QStringLiteral("张三的手机");
    auto server = makeServer();
    QVERIFY(server);
    QSignalSpy remote(server.get(), &CmdServer::UpdateRemoteInfo);
    Dialogs::setNextAnswer(Dialogs::Ok);
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(name), 1);
    QVERIFY(
        Dialogs::records().at(0).text.startsWith(QStringLiteral("你确定授权给 ") + name + QStringLiteral(" 备份？")));
    QCOMPARE(remote.at(0).at(0).toString(), name);
    QVERIFY(QDir(m_savePath + QStringLiteral("万特相册/") + name).exists());
    QCOMPARE(ReadWriteSetting::getInstance()->getUserList().at(0).name, name);
    QCOMPARE(onlyConnection(server.get())->getDevName(), name);

    // A received file lands in the database named after the device.
    const QString stored = m_savePath + QStringLiteral("万特相册/") + name + QStringLiteral("/2020/01/a.jpg");
    QVERIFY(TestSupport::writeFile(stored, "photo"));
    onlyConnection(server.get())
        ->updateImageInfoSlot(1, stored, TestSupport::md5Hex("photo"), QString(), QStringLiteral("2020-01-02T03:04:05"),
                              QStringLiteral("/DCIM/a.jpg"));
    QVERIFY(rowCommitted(AppPaths::programFile(name + QStringLiteral(".db")), stored));

    // The database can be asked for by that name.
    phone.send(Records::QueryDatabase, name.toUtf8());
    quint32 size = 0;
    QVERIFY(Records::decodeDatabaseReply(phone.record().constData(), &size));
    QCOMPARE(qint64(size), QFileInfo(AppPaths::programFile(name + QStringLiteral(".db"))).size());
    QCOMPARE(phone.bytes(int(size)).size(), int(size));
}

void TstCmdServer::portQueryBeforeDeviceRecordIsNotAnswered()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Early"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    Phone phone(server->serverPort());
    phone.send(Records::QueryFilePort, QByteArray());
    QVERIFY(phone.silentFor(300));
    QCOMPARE(phone.hello(QStringLiteral("Early")), 1);
    const int port = phone.filePort();
    QVERIFY(port > 0);
    // The early query stays unanswered: exactly one port reply.
    QVERIFY(phone.silentFor(200));
    // A port query's length field carries nothing and is not read.
    phone.sendRaw(Records::QueryFilePort, 7, "garbage");
    int again = -1;
    QVERIFY(Records::decodeFilePortReply(phone.record().constData(), &again));
    QCOMPARE(again, port);
}

void TstCmdServer::repeatedDeviceRecordDoesNotReconfigure()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Twice"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    QSignalSpy remote(server.get(), &CmdServer::UpdateRemoteInfo);
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(QStringLiteral("Twice")), 1);
    const int port = phone.filePort();
    QVERIFY(port > 0);
    CmdClientThread *conn = onlyConnection(server.get());
    FileServer *first = conn->fileServer();

    QCOMPARE(phone.hello(QStringLiteral("Twice")), 1);
    QCOMPARE(phone.hello(QStringLiteral("Other")), 0);
    QCOMPARE(conn->fileServer(), first);
    QCOMPARE(conn->getDevName(), QStringLiteral("Twice"));
    // One port-query connection: one answer, the same port.
    QCOMPARE(phone.filePort(), port);
    QVERIFY(phone.silentFor(200));
    QCOMPARE(remote.size(), 1);
    QVERIFY(Dialogs::records().isEmpty());
}

void TstCmdServer::twoRecordsInOneSegmentAnsweredInOrder()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Seg"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(QStringLiteral("Seg")), 1);
    QVERIFY(phone.filePort() > 0);

    // Five records in one segment: answered in the order sent, one per 50 ms poll. Measured over
    // the whole run so that one late wake-up of this thread can't hide the pacing.
    const QList<qint16> sent{Records::Status9, Records::QueryFilePort, Records::Status9, Records::QueryFilePort,
                             Records::Status9};
    QByteArray segment;
    for (qint16 t : sent)
        segment += Records::encodeCommand(t, t == Records::Status9 ? QByteArray("Seg") : QByteArray());
    phone.write(segment);
    QElapsedTimer clock;
    QList<qint16> answered;
    qint64 firstAt = -1;
    for (int i = 0; i < sent.size(); ++i) {
        const QByteArray r = phone.record();
        QVERIFY(!r.isEmpty());
        if (firstAt < 0) {
            clock.start();
            firstAt = 0;
        }
        answered << Records::type(r.constData());
    }
    const qint64 spread = clock.elapsed();
    QCOMPARE(answered, sent);
    QVERIFY2(spread >= 4 * CmdClientThread::kPollMs - 60, qPrintable(QString::number(spread)));
}

void TstCmdServer::statusRecords()
{
    auto server = makeServer();
    QVERIFY(server);
    QSignalSpy status(server.get(), &CmdServer::UpdatePublicInfo);
    Phone phone(server->serverPort());
    // Status records are taken at any time, before the phone has named itself too.
    phone.send(Records::Status7, "Phone7");
    QVERIFY(waitFor([&] { return status.size() == 1; }));
    QCOMPARE(status.at(0).at(0).toInt(), 7);
    QCOMPARE(status.at(0).at(1).toString(), QStringLiteral("Phone7"));
    QVERIFY(phone.silentFor(150));

    phone.send(Records::Status9, QByteArray("Nine\0junk", 9));
    const QByteArray ack = phone.record();
    QCOMPARE(ack, Records::encodeBare(Records::Status9));
    QCOMPARE(status.last().at(0).toInt(), 9);
    QCOMPARE(status.last().at(1).toString(), QStringLiteral("Nine"));

    const QByteArray full(245, 'L');
    phone.send(Records::Offline, full);
    QVERIFY(waitFor([&] { return status.size() == 3; }));
    QCOMPARE(status.last().at(0).toInt(), 8);
    QCOMPARE(status.last().at(1).toString(), QString::fromLatin1(full));
    QVERIFY(phone.silentFor(150));
}

void TstCmdServer::ignoredRecordsKeepTheStreamAligned()
{
    auto server = makeServer();
    QVERIFY(server);
    QSignalSpy status(server.get(), &CmdServer::UpdatePublicInfo);
    Phone phone(server->serverPort());
    for (qint16 t : {0, 4, 5, 6, 10, 11, 31, -1})
        phone.sendRaw(t, 3, "abc");
    phone.sendRaw(Records::Device, 246, "Pixel"); // length can't be true
    phone.sendRaw(Records::Status9, -5, "Pixel");
    phone.sendRaw(Records::Status9, 0); // empty status
    phone.sendRaw(Records::Device, 0);  // empty name
    QVERIFY(phone.silentFor(900));
    QVERIFY(status.isEmpty());
    QVERIFY(Dialogs::records().isEmpty());
    // The stream is still aligned: the next record is answered.
    phone.send(Records::Status9, "after");
    QCOMPARE(phone.record(), Records::encodeBare(Records::Status9));
}

void TstCmdServer::databaseReply()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Reader"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    // A large file arrives whole and exactly, in order.
    QByteArray content(300 * 1024 + 7, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 31 + (i >> 9));
    QVERIFY(TestSupport::writeFile(AppPaths::programFile(QStringLiteral("Big.db")), content));
    QVERIFY(TestSupport::writeFile(m_storage->path() + QStringLiteral("/secret.db"), "secret"));

    // A connection that has not named an authorised phone reads no album.
    Phone stranger(server->serverPort());
    stranger.send(Records::QueryDatabase, "Big");
    QCOMPARE(stranger.record(), Records::encodeDatabaseReply(0));
    QCOMPARE(stranger.hello(QStringLiteral("../x")), 0);
    stranger.send(Records::QueryDatabase, "Big");
    QCOMPARE(stranger.record(), Records::encodeDatabaseReply(0));

    Phone phone(server->serverPort(), QHostAddress(QStringLiteral("127.0.0.2")));
    QCOMPARE(phone.hello(QStringLiteral("Reader")), 1);
    phone.send(Records::QueryDatabase, "Big");
    quint32 size = 0;
    QVERIFY(Records::decodeDatabaseReply(phone.record().constData(), &size));
    QCOMPARE(int(size), content.size());
    QCOMPARE(phone.bytes(content.size(), 10000), content);

    // No database, or a name that is not a device name: a header with size 0 and nothing after it.
    const QByteArray up = "../" + QFileInfo(m_storage->path()).fileName().toUtf8() + "/secret";
    for (const QByteArray &name : {QByteArray("Missing"), up, QByteArray("a/b"), QByteArray("localfiles")}) {
        phone.send(Records::QueryDatabase, name);
        QCOMPARE(phone.record(), Records::encodeDatabaseReply(0));
    }
    QVERIFY(phone.silentFor(150));

    // A database that exists but cannot be copied for the reply (here: unreadable, a folder) is
    // never "no database": the connection closes and the phone asks again later.
    QVERIFY(QDir().mkpath(AppPaths::programFile(QStringLiteral("Unreadable.db"))));
    phone.send(Records::QueryDatabase, "Unreadable");
    QVERIFY(phone.closedByPeer());
    QVERIFY(phone.unread().isEmpty());
}

void TstCmdServer::databaseReplyKeepsLaterRepliesBehindIt()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Order"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    const QByteArray content(2 * 1024 * 1024, 'd');
    QVERIFY(TestSupport::writeFile(AppPaths::programFile(QStringLiteral("Order.db")), content));
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(QStringLiteral("Order")), 1);
    phone.write(Records::encodeCommand(Records::QueryDatabase, "Order") +
                Records::encodeCommand(Records::Status9, "Order"));
    quint32 size = 0;
    QVERIFY(Records::decodeDatabaseReply(phone.record().constData(), &size));
    QCOMPARE(int(size), content.size());
    // The acknowledgement comes after the file, never inside it.
    QCOMPARE(phone.bytes(content.size(), 10000), content);
    QCOMPARE(phone.record(), Records::encodeBare(Records::Status9));
}

void TstCmdServer::recordingReceivedFiles()
{
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    settings->addUser(QStringLiteral("Rec"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    QSignalSpy names(server.get(), &CmdServer::UpdateText);
    QSignalSpy counts(server.get(), &CmdServer::UpdateDBNumberInfo);
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(QStringLiteral("Rec")), 1);
    CmdClientThread *conn = onlyConnection(server.get());
    const QString folder = m_savePath + QStringLiteral("万特相册/Rec");
    const QString a = folder + QStringLiteral("/2021/03/a.jpg");
    const QString b = folder + QStringLiteral("/2021/03/b.jpg");
    QVERIFY(TestSupport::writeFile(a, "same"));
    QVERIFY(TestSupport::writeFile(b, "same"));
    const QString md5 = TestSupport::md5Hex("same");

    conn->updateImageInfoSlot(4, a, md5, QStringLiteral("abc"), QStringLiteral("2021-03-04T05:06:07"),
                              QStringLiteral("/DCIM/a.jpg"));
    QVERIFY(waitFor([&] { return names.size() == 1; })); // rows are written off the GUI thread
    QCOMPARE(names.last().at(0).toString(), QStringLiteral("a.jpg"));
    QCOMPARE(counts.size(), 1);
    QCOMPARE(counts.last().at(0).toInt(), 1);
    QCOMPARE(counts.last().at(1).toString(), QStringLiteral("Rec"));

    // The same phone path and md5 again: nothing at all.
    conn->updateImageInfoSlot(4, a, md5.toUpper(), QString(), QString(), QStringLiteral("/DCIM/a.jpg"));
    // (Rows are handled in order: the next announcement shows this one added nothing.)

    // With doubleFile on, the same content from another phone path is announced, not recorded,
    // and no file is removed.
    settings->setGlobalValue(QStringLiteral("doubleFile"), QStringLiteral("1"));
    conn->updateImageInfoSlot(4, b, md5, QString(), QString(), QStringLiteral("/DCIM/b.jpg"));
    QVERIFY(waitFor([&] { return names.size() >= 2; }));
    QCOMPARE(names.size(), 2);
    QCOMPARE(names.last().at(0).toString(), QStringLiteral("b.jpg"));
    QCOMPARE(counts.size(), 1);
    // Reported with the recorded copy's own path (the file connection found it identical).
    conn->updateImageInfoSlot(4, a, md5, QString(), QString(), QStringLiteral("/DCIM/c.jpg"));
    QVERIFY(QFileInfo::exists(a));
    QVERIFY(QFileInfo::exists(b));

    // With it off, the same content from another phone path gets its own row.
    settings->setGlobalValue(QStringLiteral("doubleFile"), QStringLiteral("0"));
    conn->updateImageInfoSlot(4, b, md5, QString(), QString(), QStringLiteral("/DCIM/b.jpg"));
    QVERIFY(waitFor([&] { return counts.size() >= 2; }));
    QCOMPARE(counts.size(), 2);
    QCOMPARE(counts.last().at(0).toInt(), 2);

    LocalDataBase db(AppPaths::programFile(QStringLiteral("Rec.db")));
    QCOMPARE(db.findMobileRecord(QStringLiteral("/DCIM/a.jpg"), md5), 0);
    QCOMPARE(db.findMobileRecord(QStringLiteral("/DCIM/b.jpg"), md5), 0);
    QCOMPARE(db.findMobileRecord(QStringLiteral("/DCIM/c.jpg"), md5), -1);
    QCOMPARE(db.countExistFiles(), 2);
}

void TstCmdServer::disconnectReportsOfflineThenClosed()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Bye"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    QList<QString> events;
    connect(server.get(), &CmdServer::UpdatePublicInfo, this,
            [&](int type, QString name) { events << QStringLiteral("public %1 %2").arg(type).arg(name); });
    connect(server.get(), &CmdServer::ClientClosed, this,
            [&](int, QString name) { events << QStringLiteral("closed %1").arg(name); });
    {
        Phone anonymous(server->serverPort());
        Phone phone(server->serverPort());
        QCOMPARE(phone.hello(QStringLiteral("Bye")), 1);
        QVERIFY(waitFor([&] { return server->connectionCount() == 2; }));
        phone.close();
        QVERIFY(waitFor([&] { return server->connectionCount() == 1; }));
        QCOMPARE(events, QList<QString>({QStringLiteral("public 8 Bye"), QStringLiteral("closed Bye")}));
        anonymous.close();
    }
    QVERIFY(waitFor([&] { return server->connectionCount() == 0; }));
    QCOMPARE(events.mid(2), QList<QString>({QStringLiteral("public 8 "), QStringLiteral("closed ")}));
}

void TstCmdServer::deletingConnectedDeviceWipesAfterDisconnect()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Del"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(QStringLiteral("Del")), 1);
    CmdClientThread *conn = onlyConnection(server.get());
    const QString stored = m_savePath + QStringLiteral("万特相册/Del/2022/01/x.jpg");
    QVERIFY(TestSupport::writeFile(stored, "xx"));
    conn->updateImageInfoSlot(1, stored, TestSupport::md5Hex("xx"), QString(), QString(),
                              QStringLiteral("/DCIM/x.jpg"));
    const QString dbPath = AppPaths::programFile(QStringLiteral("Del.db"));
    QVERIFY(rowCommitted(dbPath, stored));

    QMetaObject::invokeMethod(server.get(), "recvDeleteSlot", Q_ARG(QString, QStringLiteral("Del")));
    QCOMPARE(phone.record(), Records::encodeBare(Records::DeleteNotice));
    QVERIFY(conn->getDeleteFlag());
    QVERIFY(QFileInfo::exists(dbPath));

    phone.close();
    QVERIFY(waitFor([&] { return !QFileInfo::exists(dbPath); }));
    // The folder and the received files stay.
    QVERIFY(QFileInfo::exists(stored));
}

void TstCmdServer::deletingUnconnectedDeviceWipesAtOnce()
{
    const QString dbPath = AppPaths::programFile(QStringLiteral("Gone.db"));
    {
        LocalDataBase db(dbPath);
        QCOMPARE(db.insertRecord(QStringLiteral("a.jpg"), QStringLiteral("/x/a.jpg"), 1, QStringLiteral("00"),
                                 QStringLiteral("Gone"), 1, QString(), QString(), QStringLiteral("/a.jpg")),
                 1);
    }
    auto server = makeServer();
    QVERIFY(server);
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Other"), QString(), QString());
    Phone other(server->serverPort());
    QCOMPARE(other.hello(QStringLiteral("Other")), 1);
    QMetaObject::invokeMethod(server.get(), "recvDeleteSlot", Q_ARG(QString, QStringLiteral("Gone")));
    QVERIFY(!QFileInfo::exists(dbPath));
    // Other phones hear nothing; a device without a database is simply ignored.
    QVERIFY(other.silentFor(150));
    QMetaObject::invokeMethod(server.get(), "recvDeleteSlot", Q_ARG(QString, QStringLiteral("Never")));
    // A name that is not a device name never reaches the file system.
    QVERIFY(TestSupport::writeFile(m_storage->path() + QStringLiteral("/keep.db"), "k"));
    QMetaObject::invokeMethod(
        server.get(), "recvDeleteSlot",
        Q_ARG(QString, QStringLiteral("../") + QFileInfo(m_storage->path()).fileName() + QStringLiteral("/keep")));
    QVERIFY(QFileInfo::exists(m_storage->path() + QStringLiteral("/keep.db")));
}

void TstCmdServer::peerAskingFasterThanItReadsLosesItsConnection()
{
    // Large enough that the first reply stalls in the socket buffers while the peer reads nothing.
    QVERIFY(TestSupport::writeFile(AppPaths::programFile(QStringLiteral("Big.db")), QByteArray(24 << 20, 'b')));
    auto server = makeServer();
    QVERIFY(server);
    CmdServer::Limits limits;
    limits.nameTimeoutMs = 120000; // it must go for asking too much, not for staying unnamed
    server->setLimits(limits);
    // An authorised name: strangers get no album at all.
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Rogue"), QString(), QString());
    Phone hostile(server->serverPort());
    QCOMPARE(hostile.hello(QStringLiteral("Rogue")), 1);
    hostile.stopReading();
    QByteArray burst;
    for (int i = 0; i < 25; ++i)
        burst += Records::encodeCommand(Records::QueryDatabase, "Big");
    // Each of these used to be sent by a deeper recursion once the stream ended.
    for (int i = 0; i < 130; ++i)
        burst += Records::encodeCommand(Records::QueryDatabase, "Missing");
    hostile.write(burst);
    QVERIFY(waitFor([&] { return server->connectionCount() == 0; }, 20000));
    hostile.resumeReading();
    QVERIFY(hostile.closedByPeer());

    // The server goes on serving.
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Fine"), QString(), QString());
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(QStringLiteral("Fine")), 1);
    phone.send(Records::QueryDatabase, "Missing");
    QCOMPARE(phone.record(), Records::encodeDatabaseReply(0));
}

void TstCmdServer::connectionsAreCappedAndUnnamedOnesClosed()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Known"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    CmdServer::Limits limits;
    limits.perAddress = 2;
    limits.total = 3;
    limits.nameTimeoutMs = 60000;
    server->setLimits(limits);

    Phone known(server->serverPort());
    QCOMPARE(known.hello(QStringLiteral("Known")), 1);
    // Strangers share two places per address beside the authorised phone; a third stranger from
    // there takes the place of the oldest.
    Phone idle1(server->serverPort());
    Phone idle2(server->serverPort());
    QVERIFY(waitFor([&] { return server->connectionCount() == 3; }));
    Phone idle3(server->serverPort());
    QVERIFY(idle1.closedByPeer());
    QVERIFY(idle2.connected() && idle3.connected());
    // Past the total, the oldest connection that is not an authorised phone gives way.
    Phone other(server->serverPort(), QHostAddress(QStringLiteral("127.0.0.2")));
    QVERIFY(idle2.closedByPeer());
    Phone third(server->serverPort(), QHostAddress(QStringLiteral("127.0.0.3")));
    QVERIFY(idle3.closedByPeer());
    QVERIFY(waitFor([&] { return server->connectionCount() == 3; }));
    QVERIFY(other.connected() && third.connected());
    QCOMPARE(known.filePort() > 0, true);

    // Authorised phones are never pushed out: with no room left a newcomer is closed at once.
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Known2"), QString(), QString());
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Known3"), QString(), QString());
    QCOMPARE(other.hello(QStringLiteral("Known2")), 1);
    QCOMPARE(third.hello(QStringLiteral("Known3")), 1);
    Phone late(server->serverPort(), QHostAddress(QStringLiteral("127.0.0.4")));
    QVERIFY(late.closedByPeer());
    QCOMPARE(server->connectionCount(), 3);
    QVERIFY(known.connected() && other.connected() && third.connected());

    // A connection that does not name itself validly in time is closed; a named one stays.
    known.close();
    third.close();
    QVERIFY(waitFor([&] { return server->connectionCount() == 1; }));
    limits.nameTimeoutMs = 300;
    server->setLimits(limits);
    Phone silent(server->serverPort());
    Phone badName(server->serverPort(), QHostAddress(QStringLiteral("127.0.0.5")));
    QCOMPARE(badName.hello(QStringLiteral("../x")), 0);
    QVERIFY(silent.closedByPeer());
    QVERIFY(badName.closedByPeer());
    QVERIFY(other.silentFor(400));
    QVERIFY(other.connected());
}

void TstCmdServer::newNamesAreAskedOneAtATime()
{
    auto server = makeServer();
    QVERIFY(server);
    CmdServer::Limits limits;
    limits.waitingQuestions = 1;
    server->setLimits(limits);

    Phone first(server->serverPort());
    first.send(Records::Device, "First");
    QVERIFY(waitFor([] { return Dialogs::openQuestions().size() == 1; }));
    const int firstQuestion = Dialogs::openQuestions().first();
    Phone second(server->serverPort(), QHostAddress(QStringLiteral("127.0.0.2")));
    second.send(Records::Device, "Second");
    QVERIFY(waitFor([&] { return server->waitingNames() == 1; }));
    // Beyond the queue: refused at once, nobody asked.
    Phone third(server->serverPort(), QHostAddress(QStringLiteral("127.0.0.3")));
    QCOMPARE(third.hello(QStringLiteral("Third")), 0);
    QCOMPARE(third.filePort(), 0);

    // The first phone tries again on a new connection (its old one vanished without a word): the
    // old connection is let go, and the name is still one question.
    Phone again(server->serverPort());
    again.send(Records::Device, "First");
    QVERIFY(first.closedByPeer());
    // Its phone going does not withdraw the question.
    again.close();
    QVERIFY(second.silentFor(100));
    QCOMPARE(Dialogs::openQuestions(), QList<int>{firstQuestion});
    QCOMPARE(Dialogs::records().size(), 1);
    QVERIFY(Dialogs::records().at(0).text.contains(QStringLiteral("First")));

    // The answer counts although no connection waits for it: the phone's next one is let in.
    QVERIFY(Dialogs::answer(firstQuestion, Dialogs::Ok));
    QVERIFY(waitFor([] { return ReadWriteSetting::getInstance()->userExists(QStringLiteral("First")); }));
    Phone back(server->serverPort());
    QCOMPARE(back.hello(QStringLiteral("First")), 1);
    QVERIFY(back.filePort() > 0);

    // The waiting name is asked next, with its address; a refusal reaches its phone.
    QVERIFY(waitFor([] { return Dialogs::records().size() == 2; }));
    QCOMPARE(Dialogs::records().at(1).text, QStringLiteral("你确定授权给 Second 备份？\n（手机地址：127.0.0.2）"));
    QVERIFY(Dialogs::answer(Dialogs::openQuestions().first(), Dialogs::Cancel));
    QCOMPARE(second.authReply(), 0);
    QCOMPARE(second.filePort(), 0);
    QVERIFY(!ReadWriteSetting::getInstance()->userExists(QStringLiteral("Second")));
    QVERIFY(!ReadWriteSetting::getInstance()->userExists(QStringLiteral("Third")));
    QVERIFY(Dialogs::openQuestions().isEmpty());
}

void TstCmdServer::householdBehindOneAddressIsNeverShutOut()
{
    auto server = makeServer();
    QVERIFY(server);
    CmdServer::Limits limits;
    limits.perAddress = 2;
    limits.nameTimeoutMs = 60000;
    server->setLimits(limits);

    // Ten phones behind one router name themselves at once, before any answer.
    std::vector<std::unique_ptr<Phone>> phones;
    for (int i = 0; i < 10; ++i) {
        const QString name = QStringLiteral("Home%1").arg(i);
        ReadWriteSetting::getInstance()->addUser(name, QString(), QString());
        phones.push_back(std::make_unique<Phone>(server->serverPort()));
        phones.back()->send(Records::Device, name.toUtf8());
    }
    for (const auto &phone : phones)
        QCOMPARE(phone->authReply(), 1);
    // A phone whose connection vanished (no FIN ever came) is back: the old connection goes.
    Phone back(server->serverPort());
    QCOMPARE(back.hello(QStringLiteral("Home0")), 1);
    QVERIFY(phones.front()->closedByPeer());
    QVERIFY(back.filePort() > 0);
    // Strangers from that address still share two places.
    Phone s1(server->serverPort()), s2(server->serverPort()), s3(server->serverPort());
    QVERIFY(s1.closedByPeer());
    QVERIFY(s2.connected() && s3.connected());
    QVERIFY(waitFor([&] { return server->connectionCount() == 12; }));
    // Dead connections are also found by the system: keepalive after a minute of silence.
    for (CmdClientThread *conn : server->connections()) {
        int keepAlive = 0, idle = 0;
        socklen_t length = sizeof keepAlive;
        QCOMPARE(getsockopt(conn->sockid(), SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &length), 0);
        length = sizeof idle;
        QCOMPARE(getsockopt(conn->sockid(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, &length), 0);
        QVERIFY(keepAlive && idle == 60);
    }
}

void TstCmdServer::fileConnectionsPerPhoneAreCapped()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Many"), QString(), QString());
    auto server = makeServer();
    QVERIFY(server);
    Phone phone(server->serverPort());
    QCOMPARE(phone.hello(QStringLiteral("Many")), 1);
    const int port = phone.filePort();
    QVERIFY(port > 0);
    CmdClientThread *conn = onlyConnection(server.get());
    QVERIFY(conn && conn->fileServer());

    std::vector<std::unique_ptr<QTcpSocket>> files;
    for (int i = 0; i < 12; ++i) {
        files.push_back(std::make_unique<QTcpSocket>());
        files.back()->connectToHost(QHostAddress::LocalHost, quint16(port));
    }
    QVERIFY(waitFor([&] { return conn->fileServer()->workerCount() == 8; }));
    // The ones past the cap are closed at once; the others stay.
    QVERIFY(waitFor([&] {
        int closed = 0;
        for (const auto &s : files)
            closed += s->state() == QAbstractSocket::UnconnectedState;
        return closed == 4;
    }));
    QCOMPARE(conn->fileServer()->workerCount(), 8);
    QVERIFY(phone.connected());
}

QTEST_MAIN(TstCmdServer)
#include "tst_cmdserver.moc"
