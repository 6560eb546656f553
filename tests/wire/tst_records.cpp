#include "wire/Records.h"

#include <QtTest>

// The expected bytes are built here the way a phone reads the tables: one byte at a time at fixed
// offsets, with its own little-endian arithmetic, so the codec is checked against the layout and not
// only against itself.
namespace {

class Phone
{
public:
    Phone() : bytes(Records::kSize, '\0') { }
    Phone &i32(int offset, qint64 v)
    {
        const quint32 u = quint32(qint32(v));
        for (int i = 0; i < 4; ++i)
            bytes[offset + i] = char((u >> (8 * i)) & 0xff);
        return *this;
    }
    Phone &i16(int offset, int v)
    {
        const quint16 u = quint16(qint16(v));
        bytes[offset] = char(u & 0xff);
        bytes[offset + 1] = char(u >> 8);
        return *this;
    }
    Phone &u8(int offset, int v)
    {
        bytes[offset] = char(v);
        return *this;
    }
    Phone &raw(int offset, const QByteArray &b)
    {
        for (int i = 0; i < b.size(); ++i)
            bytes[offset + i] = b[i];
        return *this;
    }
    QByteArray bytes;
};

QByteArray ascii(int n, char c = 'a')
{
    return QByteArray(n, c);
}

const QByteArray kChinese = QStringLiteral("张三的手机").toUtf8(); // 15 bytes

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT
private slots:
    void command_data();
    void command();
    void commandDecodeRefusesImpossibleLengths_data();
    void commandDecodeRefusesImpossibleLengths();
    void replies();
    void authReply_data();
    void authReply();
    void fileHeader_data();
    void fileHeader();
    void fileHeaderRefused_data();
    void fileHeaderRefused();
    void fileHeaderDecodeChecks_data();
    void fileHeaderDecodeChecks();
    void fileAck_data();
    void fileAck();
    void thumbnail_data();
    void thumbnail();
};

void TestRecords::command_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("device name ascii") << 1 << QByteArray("Pixel 7");
    QTest::newRow("device name chinese") << 1 << kChinese;
    QTest::newRow("query database chinese") << 2 << kChinese;
    QTest::newRow("file port, no payload") << 3 << QByteArray();
    QTest::newRow("status 245 bytes, no NUL") << 7 << ascii(245, 'x');
    QTest::newRow("offline") << 8 << QByteArray("Pixel 7");
    QTest::newRow("status with NUL inside") << 9 << QByteArray("ab\0cd", 5);
}

void TestRecords::command()
{
    QFETCH(int, type);
    QFETCH(QByteArray, payload);
    Phone phone;
    phone.i32(0, 0).i16(4, type).i32(6, payload.size()).raw(10, payload);

    const QByteArray encoded = Records::encodeCommand(qint16(type), payload);
    QCOMPARE(encoded.size(), Records::kSize);
    QCOMPARE(encoded.toHex(), phone.bytes.toHex());

    phone.i32(0, 0x12345678); // the head is not interpreted but is read
    Records::Command c;
    QVERIFY(Records::decodeCommand(phone.bytes.constData(), &c));
    QCOMPARE(c.head, 0x12345678);
    QCOMPARE(int(c.type), type);
    QCOMPARE(c.length, payload.size());
    QCOMPARE(c.payload, payload);
    QCOMPARE(int(Records::type(phone.bytes.constData())), type);
    QCOMPARE(Records::head(phone.bytes.constData()), 0x12345678);
}

void TestRecords::commandDecodeRefusesImpossibleLengths_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("245 fills the payload area") << 1 << qint64(245) << true;
    QTest::newRow("246 is one byte over") << 1 << qint64(246) << false;
    QTest::newRow("-1") << 2 << qint64(-1) << false;
    QTest::newRow("most negative") << 7 << qint64(-2147483647 - 1) << false;
    QTest::newRow("largest int32") << 9 << qint64(2147483647) << false;
    // A record that carries no text is taken whatever its length field says.
    QTest::newRow("port query, length 1") << 3 << qint64(1) << true;
    QTest::newRow("port query, largest int32") << 3 << qint64(2147483647) << true;
    QTest::newRow("port query, -1") << 3 << qint64(-1) << true;
}

void TestRecords::commandDecodeRefusesImpossibleLengths()
{
    QFETCH(int, type);
    QFETCH(qint64, length);
    QFETCH(bool, accepted);
    Phone phone;
    phone.i16(4, type).i32(6, length).raw(10, ascii(245, 'n'));
    Records::Command c;
    QCOMPARE(Records::decodeCommand(phone.bytes.constData(), &c), accepted);
    QCOMPARE(int(c.type), type);
    if (accepted)
        QCOMPARE(c.payload, Records::carriesText(qint16(type)) ? ascii(int(length), 'n') : QByteArray());
    QVERIFY(Records::encodeCommand(1, ascii(246)).isEmpty());
}

void TestRecords::replies()
{
    // Database reply: size at offset 0 (low 32 bits), type 2, rest zero.
    for (quint32 size : {0u, 12345u, 0xfffffffeu}) {
        const QByteArray rec = Records::encodeDatabaseReply(size);
        QCOMPARE(rec.toHex(), Phone().i32(0, qint64(size)).i16(4, 2).bytes.toHex());
        quint32 back = 1;
        QVERIFY(Records::decodeDatabaseReply(rec.constData(), &back));
        QCOMPARE(back, size);
    }
    // File-port reply: port at offset 6.
    for (int port : {0, 1, 54321, 65535}) {
        const QByteArray rec = Records::encodeFilePortReply(port);
        QCOMPARE(rec.toHex(), Phone().i16(4, 3).i32(6, port).bytes.toHex());
        int back = -1;
        QVERIFY(Records::decodeFilePortReply(rec.constData(), &back));
        QCOMPARE(back, port);
    }
    // Status acknowledgement and deletion notice: the type and nothing else.
    QCOMPARE(Records::encodeBare(9).toHex(), Phone().i16(4, 9).bytes.toHex());
    QCOMPARE(Records::encodeBare(10).toHex(), Phone().i16(4, 10).bytes.toHex());
    // Decoders refuse a record of another type.
    quint32 size = 0;
    int port = 0;
    QVERIFY(!Records::decodeDatabaseReply(Records::encodeBare(3).constData(), &size));
    QVERIFY(!Records::decodeFilePortReply(Records::encodeBare(2).constData(), &port));
}

void TestRecords::authReply_data()
{
    QTest::addColumn<bool>("authorised");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("yes") << true << QByteArray("DESKTOP-01") << QByteArray("DESKTOP-01");
    QTest::newRow("no") << false << QByteArray("DESKTOP-01") << QByteArray("DESKTOP-01");
    QTest::newRow("empty host") << true << QByteArray() << QByteArray();
    QTest::newRow("240 bytes fill the record") << true << ascii(240, 'h') << ascii(240, 'h');
    QTest::newRow("241 bytes are cut to 240") << true << ascii(241, 'h') << ascii(240, 'h');
    QTest::newRow("latin-1 byte kept") << true << QByteArray("PC-\xe9") << QByteArray("PC-\xe9");
}

void TestRecords::authReply()
{
    QFETCH(bool, authorised);
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, sent);
    Phone phone;
    phone.i32(0, 0).i16(4, 1).i32(6, 1).u8(10, authorised ? 1 : 0).i32(11, sent.size()).raw(15, sent);
    const QByteArray rec = Records::encodeAuthReply(authorised, host);
    QCOMPARE(rec.toHex(), phone.bytes.toHex());

    bool flag = !authorised;
    QByteArray back;
    QVERIFY(Records::decodeAuthReply(rec.constData(), &flag, &back));
    QCOMPARE(flag, authorised);
    QCOMPARE(back, sent);

    Phone tooLong = phone;
    tooLong.i32(11, 241);
    QVERIFY(!Records::decodeAuthReply(tooLong.bytes.constData(), &flag, &back));
}

void TestRecords::fileHeader_data()
{
    QTest::addColumn<int>("fileSize");
    QTest::addColumn<int>("ratio");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("md5");
    QTest::addColumn<QByteArray>("createTime");

    const QByteArray md5("0123456789abcdef0123456789ABCDEF");
    const QByteArray when("2019-05-01T08:30:00");
    QTest::newRow("typical") << 3456789 << 4 << QByteArray("IMG_1.jpg") << QByteArray("/DCIM/IMG_1.jpg") << md5 << when;
    QTest::newRow("chinese path") << 10 << 1 << QByteArray("a.jpg")
                                  << QStringLiteral("/相册/家庭照片/张三.jpg").toUtf8() << md5 << when;
    QTest::newRow("empty file, no thumbnail") << 0 << 0 << QByteArray("e") << QByteArray("e") << md5 << when;
    QTest::newRow("no create time") << 5 << 1 << QByteArray("n") << QByteArray("p") << md5 << QByteArray();
    // 26 + 20 + 100 + 32 + 77 = 255.
    QTest::newRow("fields fill 255 exactly") << 7 << 2 << ascii(20, 'n') << ascii(100, 'p') << md5 << ascii(77, 't');
    QTest::newRow("one path filling all") << 1 << 1 << QByteArray() << ascii(229, 'p') << QByteArray() << QByteArray();
}

void TestRecords::fileHeader()
{
    QFETCH(int, fileSize);
    QFETCH(int, ratio);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, md5);
    QFETCH(QByteArray, createTime);

    const int n1 = name.size(), n2 = path.size(), n3 = md5.size(), n4 = createTime.size();
    Phone phone;
    phone.i32(0, fileSize)
        .i16(4, 31)
        .i32(6, ratio)
        .i32(10, n1)
        .raw(14, name)
        .i32(14 + n1, n2)
        .raw(18 + n1, path)
        .i32(18 + n1 + n2, n3)
        .raw(22 + n1 + n2, md5)
        .i32(22 + n1 + n2 + n3, n4)
        .raw(26 + n1 + n2 + n3, createTime);

    Records::FileHeader h;
    h.fileSize = fileSize;
    h.ratio = ratio;
    h.name = name;
    h.mobilePath = path;
    h.md5 = md5;
    h.createTime = createTime;
    const QByteArray rec = Records::encodeFileHeader(h);
    QCOMPARE(rec.size(), Records::kSize);
    QCOMPARE(rec.toHex(), phone.bytes.toHex());

    Records::FileHeader back;
    QString why;
    QCOMPARE(Records::decodeFileHeader(phone.bytes.constData(), &back, &why), Records::HeaderCheck::Ok);
    QCOMPARE(back.fileSize, fileSize);
    QCOMPARE(back.ratio, ratio);
    QCOMPARE(back.name, name);
    QCOMPARE(back.mobilePath, path);
    QCOMPARE(back.md5, md5);
    QCOMPARE(back.createTime, createTime);
}

void TestRecords::fileHeaderRefused_data()
{
    QTest::addColumn<int>("n1");
    QTest::addColumn<int>("n2");
    QTest::addColumn<int>("n3");
    QTest::addColumn<int>("n4");
    QTest::newRow("one byte over in the create time") << 20 << 100 << 32 << 78;
    QTest::newRow("one byte over in the path") << 0 << 230 << 0 << 0;
    QTest::newRow("far over") << 100 << 100 << 100 << 100;
}

void TestRecords::fileHeaderRefused()
{
    QFETCH(int, n1);
    QFETCH(int, n2);
    QFETCH(int, n3);
    QFETCH(int, n4);
    Records::FileHeader h;
    h.name = ascii(n1);
    h.mobilePath = ascii(n2);
    h.md5 = ascii(n3);
    h.createTime = ascii(n4);
    QVERIFY(Records::encodeFileHeader(h).isEmpty());
}

void TestRecords::fileHeaderDecodeChecks_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<int>("check"); // Records::HeaderCheck

    const auto ok = int(Records::HeaderCheck::Ok);
    const auto bad = int(Records::HeaderCheck::Malformed);
    QTest::newRow("wrong type") << Phone().i16(4, 32).i32(10, 1).bytes << int(Records::HeaderCheck::WrongType);
    QTest::newRow("negative N1") << Phone().i16(4, 31).i32(10, -1).bytes << bad;
    QTest::newRow("N1 past the record") << Phone().i16(4, 31).i32(10, 242).bytes << bad;
    QTest::newRow("N1 huge, no wrap-around") << Phone().i16(4, 31).i32(10, 0x7fffffff).bytes << bad;
    QTest::newRow("negative N2") << Phone().i16(4, 31).i32(10, 1).i32(15, -5).bytes << bad;
    QTest::newRow("negative N3") << Phone().i16(4, 31).i32(10, 1).i32(15, 1).i32(20, -1).bytes << bad;
    QTest::newRow("negative N4") << Phone().i16(4, 31).i32(10, 1).i32(15, 1).i32(20, 2).i32(26, -1).bytes << bad;
    QTest::newRow("N4 one byte past the end") // 26 + 1 + 1 + 2 + 226 = 256
        << Phone().i16(4, 31).i32(10, 1).i32(15, 1).i32(20, 2).i32(26, 226).bytes << bad;
    QTest::newRow("N4 ends on the last byte")
        << Phone().i16(4, 31).i32(10, 1).i32(15, 1).i32(20, 2).i32(26, 225).bytes << ok;
    // No md5: the phone sends neither md5 nor create time, so what follows is not read at all.
    QTest::newRow("N3 zero, garbage after it")
        << Phone().i16(4, 31).i32(10, 1).i32(15, 1).i32(20, 0).i32(24, -7).bytes << ok;
    QTest::newRow("no room for N4 after a full md5") // 22 + 0 + 0 + 233 = 255: N4 can't be there
        << Phone().i16(4, 31).i32(10, 0).i32(14, 0).i32(18, 233).bytes << bad;
}

void TestRecords::fileHeaderDecodeChecks()
{
    QFETCH(QByteArray, record);
    QFETCH(int, check);
    Records::FileHeader h;
    h.name = "untouched";
    QString why;
    const Records::HeaderCheck result = Records::decodeFileHeader(record.constData(), &h, &why);
    QCOMPARE(int(result), check);
    if (result != Records::HeaderCheck::Ok) {
        QVERIFY(!why.isEmpty());
        QCOMPARE(h.name, QByteArray("untouched"));
    } else {
        QVERIFY(h.createTime.isEmpty() || h.md5.size() > 0);
    }
}

void TestRecords::fileAck_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("md5");
    QTest::addColumn<bool>("fits");
    QTest::newRow("typical") << QByteArray("/DCIM/IMG_1.jpg") << QByteArray("0123456789abcdef0123456789abcdef") << true;
    QTest::newRow("chinese") << QStringLiteral("/相册/张三.jpg").toUtf8() << QByteArray("ABC") << true;
    QTest::newRow("fills 255") << ascii(200, 'p') << ascii(33, 'm') << true;
    QTest::newRow("one over") << ascii(200, 'p') << ascii(34, 'm') << false;
}

void TestRecords::fileAck()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, md5);
    QFETCH(bool, fits);
    Records::FileAck a;
    a.ratio = 4;
    a.storedSize = -2; // low 32 bits of a 4 GiB - 2 file
    a.mobilePath = path;
    a.md5 = md5;
    const QByteArray rec = Records::encodeFileAck(a);
    if (!fits) {
        QVERIFY(rec.isEmpty());
        return;
    }
    const int m1 = path.size();
    Phone phone;
    phone.i32(0, 0)
        .i16(4, 31)
        .i32(6, 4)
        .i32(10, -2)
        .i32(14, m1)
        .raw(18, path)
        .i32(18 + m1, md5.size())
        .raw(22 + m1, md5);
    QCOMPARE(rec.toHex(), phone.bytes.toHex());
    Records::FileAck back;
    QVERIFY(Records::decodeFileAck(rec.constData(), &back));
    QCOMPARE(back.ratio, 4);
    QCOMPARE(back.storedSize, -2);
    QCOMPARE(back.mobilePath, path);
    QCOMPARE(back.md5, md5);

    Phone broken = phone;
    broken.i32(18 + m1, -1);
    QVERIFY(!Records::decodeFileAck(broken.bytes.constData(), &back));
    broken.i32(18 + m1, 255 - 22 - m1 + 1);
    QVERIFY(!Records::decodeFileAck(broken.bytes.constData(), &back));
}

void TestRecords::thumbnail_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("fits");
    QTest::newRow("typical") << QByteArray("IMG_1.jpg") << true;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("fills 255") << ascii(245, 'n') << true;
    QTest::newRow("one over") << ascii(246, 'n') << false;
}

void TestRecords::thumbnail()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, fits);
    Records::ThumbnailHeader t;
    t.size = 98765;
    t.name = name;
    const QByteArray rec = Records::encodeThumbnailHeader(t);
    if (!fits) {
        QVERIFY(rec.isEmpty());
        return;
    }
    QCOMPARE(rec.toHex(), Phone().i32(0, 98765).i16(4, 32).i32(6, name.size()).raw(10, name).bytes.toHex());
    Records::ThumbnailHeader back;
    QVERIFY(Records::decodeThumbnailHeader(rec.constData(), &back));
    QCOMPARE(back.size, 98765);
    QCOMPARE(back.name, name);
    QVERIFY(!Records::decodeThumbnailHeader(Phone().i16(4, 32).i32(6, -1).bytes.constData(), &back));
    QVERIFY(!Records::decodeThumbnailHeader(Phone().i16(4, 32).i32(6, 246).bytes.constData(), &back));
    QVERIFY(!Records::decodeThumbnailHeader(Records::encodeBare(31).constData(), &back));
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
