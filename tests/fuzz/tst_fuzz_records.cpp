// Every record decoder of wire/Records against mutated records: valid records of every type,
// mutated a few bytes at a time (lengths set to the edges of their fields), and random records.
// A decoder must never read outside the record, and what it accepts must be what the record says
// and survive encoding again. The seed is printed; VANTEO_FUZZ_SEED repeats a run.
#include "Mutator.h"
#include "RecordChecks.h"

#include "wire/Records.h"

#include <QtTest>

#include <memory>

class TstFuzzRecords : public QObject
{
    Q_OBJECT
private slots:
    void decodersSurviveMutatedRecords();
};

void TstFuzzRecords::decodersSurviveMutatedRecords()
{
    const quint64 seed = Fuzz::seedFromEnvironment();
    qInfo("seed %llu (VANTEO_FUZZ_SEED=%llu repeats this run)", seed, seed);
    Fuzz::Mutator m(seed);

    Records::FileHeader h;
    h.fileSize = 1234;
    h.ratio = 4;
    h.name = "IMG_0001.jpg";
    h.mobilePath = "/storage/emulated/0/DCIM/Camera/IMG_0001.jpg";
    h.md5 = "0123456789abcdef0123456789abcdef";
    h.createTime = "2021-03-04T05:06:07";
    Records::FileHeader noMd5 = h;
    noMd5.md5.clear();
    noMd5.createTime.clear();
    Records::FileAck ack{4, 1234, h.mobilePath, h.md5};
    const QList<QByteArray> seeds{
        Records::encodeCommand(Records::Device, QStringLiteral("张三的手机").toUtf8()),
        Records::encodeCommand(Records::QueryDatabase, QByteArray(245, 'd')),
        Records::encodeCommand(Records::QueryFilePort, QByteArray()),
        Records::encodeCommand(Records::Status9, "phone"),
        Records::encodeAuthReply(true, QByteArray(240, 'h')),
        Records::encodeDatabaseReply(0xfffffff0u),
        Records::encodeFilePortReply(40123),
        Records::encodeBare(Records::DeleteNotice),
        Records::encodeFileHeader(h),
        Records::encodeFileHeader(noMd5),
        Records::encodeFileAck(ack),
        Records::encodeThumbnailHeader({5000, "IMG_0001.jpg"}),
    };
    for (const QByteArray &s : seeds)
        QCOMPARE(s.size(), Records::kSize);

    // Exactly kSize bytes on the heap: a read past the record is outside the allocation.
    std::unique_ptr<char[]> rec(new char[Records::kSize]);
    Fuzz::Budget budget(1000000, 20);
    while (budget.next()) {
        QByteArray bytes;
        if (m.below(10) == 0) {
            bytes = m.randomBytes(Records::kSize);
            // Random records rarely carry a known type: give them one half of the time.
            static const qint16 types[] = {1, 2, 3, 7, 8, 9, 10, 31, 32};
            if (m.below(2))
                qToLittleEndian<qint16>(types[m.below(9)], bytes.data() + 4);
        } else {
            bytes = seeds.at(m.below(seeds.size()));
            m.mutate(&bytes);
        }
        memcpy(rec.get(), bytes.constData(), size_t(Records::kSize));
        const QString error = Fuzz::checkRecordDecoders(rec.get());
        if (!error.isEmpty()) {
            QFAIL(qPrintable(QStringLiteral("%1\nseed %2, iteration %3, record %4")
                                 .arg(error)
                                 .arg(seed)
                                 .arg(budget.done())
                                 .arg(QString::fromLatin1(bytes.toHex()))));
        }
    }
    qInfo("%d records", budget.done());
}

QTEST_APPLESS_MAIN(TstFuzzRecords)
#include "tst_fuzz_records.moc"
