// A phone's album window: months newest first, thumbnails as items are shown, files gone from the
// disk marked, opening a file with the desktop's program (and refusing what must not be opened),
// and the phone page's button and double-click leading there.
#include "link/pages/PhoneAlbumView.h"

#include "backup/LocalDataBase.h"
#include "imaging/ThumbnailCache.h"
#include "link/DeviceName.h"
#include "link/pages/MobileForm.h"
#include "link/pages/PhoneAlbumModel.h"
#include "platform/Dialogs.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TestPictures.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UrlCatcher.h"

#include <QAction>
#include <QMenu>
#include <QDir>
#include <QImage>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QUrl>

class TstPhoneAlbumView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void monthsNewestFirstWithThumbnailsAndMissingMarked();
    void newestPartFirstThenTheRestWithoutReset();
    void openingUsesTheDesktopOnlyForPhotosAndVideos();
    void openingGoesByContent_data();
    void openingGoesByContent();
    void phonePageButtonAndDoubleClickOpenTheAlbum();
    void aSinglePhoneIsChosenAndItsMenuOpensTheAlbum();

private:
    // Records a file in the phone's album database, writing it first unless content is null.
    QString record(const QString &device, const QString &name, const QString &createTime, const QByteArray &content);
    static QByteArray jpeg(const QColor &colour);
    // An ISO media file's start: an 'ftyp' box of brands, then filler.
    static QByteArray isoMedia(const QByteArray &brands);
    bool waitLoaded(PhoneAlbumView &view);

    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_files;
    std::unique_ptr<TestSupport::UrlCatcher> m_catcher;
};

void TstPhoneAlbumView::init()
{
    m_dir = TestSupport::makeProgramDir();
    QVERIFY(m_dir && m_dir->isValid());
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_files.path() + QStringLiteral("/cache")));
    Dialogs::setNonInteractive(true);
    Dialogs::clearRecords();
    m_catcher = std::make_unique<TestSupport::UrlCatcher>();
}

void TstPhoneAlbumView::cleanup()
{
    m_catcher.reset();
    m_dir.reset();
}

QByteArray TstPhoneAlbumView::jpeg(const QColor &colour)
{
    QImage image(320, 240, QImage::Format_RGB32);
    image.fill(colour);
    return TestPictures::encoded(image, "jpeg");
}

QByteArray TstPhoneAlbumView::isoMedia(const QByteArray &brands)
{
    const int size = 8 + brands.size();
    QByteArray box(4, '\0');
    box[3] = char(size);
    return box + "ftyp" + brands + QByteArray(2000, 'v');
}

QString TstPhoneAlbumView::record(const QString &device, const QString &name, const QString &createTime,
                                  const QByteArray &content)
{
    const QString path = m_files.path() + QLatin1Char('/') + device + QLatin1Char('/') + name;
    if (!content.isNull() && !TestSupport::writeFile(path, content))
        return {};
    LocalDataBase db(DeviceName::databasePath(device));
    const QString md5 = TestSupport::md5Hex(content);
    if (db.insertRecord(name, path, content.size(), md5, device, 1, QString(), createTime,
                        QStringLiteral("/storage/emulated/0/DCIM/") + name) <= 0)
        return {};
    return path;
}

bool TstPhoneAlbumView::waitLoaded(PhoneAlbumView &view)
{
    return TestSupport::waitFor([&] { return view.isLoaded(); });
}

void TstPhoneAlbumView::monthsNewestFirstWithThumbnailsAndMissingMarked()
{
    const QString dev = QStringLiteral("小米手机");
    record(dev, QStringLiteral("mar1.jpg"), QStringLiteral("2024-03-01T08:00:00"), jpeg(Qt::red));
    record(dev, QStringLiteral("may1.jpg"), QStringLiteral("2024-05-02T09:00:00"), jpeg(Qt::green));
    record(dev, QStringLiteral("mar20.jpg"), QStringLiteral("2024-03-20T10:00:00"), jpeg(Qt::blue));
    record(dev, QStringLiteral("undated.jpg"), QStringLiteral("not a time"), jpeg(Qt::gray));
    record(dev, QStringLiteral("clip.mp4"), QStringLiteral("2024-05-01T12:00:00"), QByteArray(2000, 'v'));
    const QString gone = record(dev, QStringLiteral("gone.jpg"), QStringLiteral("2024-05-20T12:00:00"), jpeg(Qt::cyan));
    QVERIFY(!gone.isEmpty() && QFile::remove(gone));
    const QByteArray dbBefore = TestSupport::readFile(DeviceName::databasePath(dev));

    ThumbnailCache cache;
    PhoneAlbumView view(dev, DeviceName::databasePath(dev), &cache);
    view.resize(800, 600);
    view.show();
    QVERIFY(waitLoaded(view));

    PhoneAlbumModel *m = view.model();
    QStringList rows;
    for (int r = 0; r < m->rowCount(); ++r)
        rows << m->entry(r).text;
    QCOMPARE(rows,
             (QStringList{QStringLiteral("2024年5月  （3 个）"), QStringLiteral("gone.jpg"), QStringLiteral("may1.jpg"),
                          QStringLiteral("clip.mp4"), QStringLiteral("2024年3月  （2 个）"),
                          QStringLiteral("mar20.jpg"), QStringLiteral("mar1.jpg"),
                          QStringLiteral("拍摄时间不明  （1 个）"), QStringLiteral("undated.jpg")}));
    QCOMPARE(m->photoCount(), 6);
    QCOMPARE(m->entry(3).state, PhoneAlbumModel::Video);

    // Everything fits on one screen, so every photo gets its thumbnail and the gone one its mark.
    QVERIFY(TestSupport::waitFor([&] { return m->entry(1).state == PhoneAlbumModel::Missing; }));
    for (const int r : {2, 5, 6, 8})
        QVERIFY2(TestSupport::waitFor([&] { return !cache.cached(m->entry(r).path).isNull(); }),
                 qPrintable(rows.at(r)));
    QCOMPARE(qGreen(cache.cached(m->entry(2).path).pixel(10, 10)) > 200, true);
    QCOMPARE(m->missingCount(), 1);
    // Headers take no selection; the album's database is only read.
    QVERIFY(!(m->flags(m->index(0)) & Qt::ItemIsSelectable));
    QCOMPARE(TestSupport::readFile(DeviceName::databasePath(dev)), dbBefore);

    // A short month shares its row with the next month's header, no band of its own.
    QListView *list = view.listView();
    QCOMPARE(list->visualRect(m->index(4)).top(), list->visualRect(m->index(0)).top());
    QVERIFY(list->visualRect(m->index(4)).left() > list->visualRect(m->index(3)).right());
    // Esc closes the window, from the grid too.
    QTest::keyClick(list, Qt::Key_Escape);
    QVERIFY(!view.isVisible());
}

void TstPhoneAlbumView::newestPartFirstThenTheRestWithoutReset()
{
    const QString dev = QStringLiteral("iPhone");
    for (int i = 0; i < 8; ++i) {
        record(dev, QStringLiteral("p%1.jpg").arg(i),
               QStringLiteral("2024-%1-10T08:00:0%2").arg(3 + i / 3, 2, 10, QLatin1Char('0')).arg(i), jpeg(Qt::red));
    }
    const QString db = DeviceName::databasePath(dev);
    const QVector<PhoneAlbumModel::Entry> all = PhoneAlbumModel::readAlbum(db);
    const QVector<PhoneAlbumModel::Entry> newest = PhoneAlbumModel::readAlbum(db, nullptr, 4);
    QCOMPARE(all.size(), 11);   // 8 photos under 3 month headers
    QCOMPARE(newest.size(), 6); // p7 p6 | p5 p4 (of p5 p4 p3)
    QCOMPARE(newest.at(0).text, QStringLiteral("2024年5月  （2 个）"));
    QCOMPARE(newest.at(3).text, QStringLiteral("2024年4月  （2 个）"));

    ThumbnailCache cache;
    PhoneAlbumModel model(&cache);
    model.setEntries(newest);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    model.completeEntries(all);
    QCOMPARE(resets.count(), 0);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(1).toInt(), 6);
    QCOMPARE(model.rowCount(), all.size());
    for (int r = 0; r < all.size(); ++r)
        QCOMPARE(model.entry(r).text, all.at(r).text); // the month cut short is counted in full
    QCOMPARE(model.photoCount(), 8);

    // A first part that does not agree with the whole (times in another format) is replaced.
    QVector<PhoneAlbumModel::Entry> odd = newest;
    std::swap(odd[1], odd[2]);
    model.setEntries(odd);
    model.completeEntries(all);
    QCOMPARE(resets.count(), 2);
    for (int r = 0; r < all.size(); ++r)
        QCOMPARE(model.entry(r).path, all.at(r).path);
}

void TstPhoneAlbumView::openingUsesTheDesktopOnlyForPhotosAndVideos()
{
    const QString dev = QStringLiteral("Pixel 7");
    const QString photo =
        record(dev, QStringLiteral("IMG_1.jpg"), QStringLiteral("2025-01-05T08:00:00"), jpeg(Qt::red));
    const QString clip = record(dev, QStringLiteral("VID_1.mp4"), QStringLiteral("2025-01-04T08:00:00"),
                                isoMedia(QByteArray("isom\0\0\2\0isomiso2mp41", 20)));
    // A phone names its files; these must never reach the desktop's launcher.
    record(dev, QStringLiteral("run.desktop"), QStringLiteral("2025-01-03T08:00:00"), "[Desktop Entry]\nExec=sh\n");
    record(dev, QStringLiteral("fake.jpg"), QStringLiteral("2025-01-02T08:00:00"), "#!/bin/sh\n");
    const QString gone = record(dev, QStringLiteral("gone.jpg"), QStringLiteral("2025-01-01T08:00:00"), jpeg(Qt::blue));
    QVERIFY(QFile::remove(gone));

    ThumbnailCache cache;
    PhoneAlbumView view(dev, DeviceName::databasePath(dev), &cache);
    view.resize(800, 600);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(waitLoaded(view));
    QCOMPARE(view.model()->entry(1).path, photo);

    // A double-click on the photo hands its file to the desktop.
    QListView *list = view.listView();
    const QRect at = list->visualRect(view.model()->index(1));
    QVERIFY(at.isValid());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at.center());
    QCOMPARE(m_catcher->urls, QList<QUrl>{QUrl::fromLocalFile(photo)});

    QVERIFY(view.openRow(2));
    QCOMPARE(m_catcher->urls.last(), QUrl::fromLocalFile(clip));
    for (const int row : {3, 4, 5})
        QVERIFY2(!view.openRow(row), qPrintable(view.model()->entry(row).text));
    QVERIFY(!view.openRow(0)); // the month header
    QCOMPARE(m_catcher->urls.size(), 2);
}

void TstPhoneAlbumView::openingGoesByContent_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("opened");
    const QByteArray riff("RIFF\x10\0\0\0", 8);
    QTest::newRow("html as gif") << "page.gif" << QByteArray("<html><script>alert(1)</script></html>") << false;
    QTest::newRow("script as mp4") << "evil.mp4" << QByteArray("#!/bin/sh\nrm -rf ~\n") << false;
    QTest::newRow("desktop entry as webp") << "launcher.webp" << QByteArray("[Desktop Entry]\nExec=sh\n") << false;
    QTest::newRow("elf as mov") << "elf.mov"
                                << QByteArray("\x7f"
                                              "ELF\2\1\1\0\0\0\0\0\0\0\0\0",
                                              16)
                                << false;
    QTest::newRow("picture named as video") << "photo.mp4" << jpeg(Qt::red) << false;
    QTest::newRow("heic named as video") << "still.mp4" << isoMedia("mif10000mif1heic") << false;
    QTest::newRow("unknown ftyp brand") << "odd.mp4" << isoMedia("abcd0000abcd") << false;
    QTest::newRow("gif") << "anim.gif" << QByteArray("GIF89a\x10\0\x10\0") + QByteArray(100, '\0') << true;
    QTest::newRow("webp") << "pic.webp" << riff + "WEBPVP8 " + QByteArray(100, '\0') << true;
    QTest::newRow("heic") << "IMG_2.HEIC" << isoMedia("mif10000mif1heic") << true;
    QTest::newRow("png named jpg") << "shot.jpg" << QByteArray("\x89PNG\r\n\x1a\n") + QByteArray(100, '\0') << true;
    QTest::newRow("quicktime") << "clip.mov" << isoMedia("qt  0000qt  ") << true;
    QTest::newRow("avi") << "movie.avi" << riff + "AVI LIST" + QByteArray(100, '\0') << true;
    QTest::newRow("webm") << "v.webm" << QByteArray("\x1a\x45\xdf\xa3") + QByteArray(100, '\0') << true;
}

void TstPhoneAlbumView::openingGoesByContent()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(bool, opened);
    const QString dev = QStringLiteral("Phone");
    const QString path = record(dev, name, QStringLiteral("2025-02-03T08:00:00"), content);
    ThumbnailCache cache;
    PhoneAlbumView view(dev, DeviceName::databasePath(dev), &cache);
    QVERIFY(waitLoaded(view));
    QCOMPARE(view.model()->entry(1).path, path);
    QCOMPARE(view.openRow(1), opened);
    QCOMPARE(m_catcher->urls, opened ? QList<QUrl>{QUrl::fromLocalFile(path)} : QList<QUrl>());
    // A refusal is said in a message, naming the file.
    const QList<Dialogs::Record> said = Dialogs::records();
    QCOMPARE(said.size(), opened ? 0 : 1);
    if (!opened)
        QVERIFY2(said.first().text.contains(name), qPrintable(said.first().text));
}

void TstPhoneAlbumView::phonePageButtonAndDoubleClickOpenTheAlbum()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Pixel 7"), m_files.path(),
                                             QStringLiteral("2026-01-02 03:04:05"));
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("华为平板"), m_files.path(),
                                             QStringLiteral("2026-01-02 03:04:05"));
    record(QStringLiteral("华为平板"), QStringLiteral("a.jpg"), QStringLiteral("2025-01-05T08:00:00"), jpeg(Qt::red));
    MobileForm form;
    form.show();
    auto *button = form.findChild<QPushButton *>(QStringLiteral("pushOpenAlbum"));
    auto *table = form.findChild<QTableView *>();
    QVERIFY(button && table);
    QVERIFY(!button->isEnabled()); // two phones: none chosen yet

    const QModelIndex tablet = form.model()->index(1, MobileForm::ColPath);
    QCOMPARE(form.model()->index(1, MobileForm::ColName).data().toString(), QStringLiteral("华为平板"));
    table->setCurrentIndex(tablet);
    QVERIFY(button->isEnabled());
    button->click();
    QList<PhoneAlbumView *> open = form.findChildren<PhoneAlbumView *>();
    QCOMPARE(open.size(), 1);
    QCOMPARE(open.first()->deviceName(), QStringLiteral("华为平板"));
    QVERIFY(open.first()->isWindow());
    QVERIFY(waitLoaded(*open.first()));
    QCOMPARE(open.first()->model()->photoCount(), 1);

    // Double-clicking the same phone raises its window instead of opening a second one.
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QRect cell = table->visualRect(tablet);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(form.findChildren<PhoneAlbumView *>().size(), 1);
    const QRect other = table->visualRect(form.model()->index(0, MobileForm::ColPath));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, other.center());
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, other.center());
    open = form.findChildren<PhoneAlbumView *>();
    QCOMPARE(open.size(), 2);
    QCOMPARE(open.last()->deviceName(), QStringLiteral("Pixel 7"));
    // A phone with no album yet shows an empty album rather than failing.
    QVERIFY(waitLoaded(*open.last()));
    QCOMPARE(open.last()->model()->photoCount(), 0);
    QCOMPARE(Dialogs::records().size(), 0);
}

void TstPhoneAlbumView::aSinglePhoneIsChosenAndItsMenuOpensTheAlbum()
{
    ReadWriteSetting::getInstance()->addUser(QStringLiteral("Pixel 7"), m_files.path(),
                                             QStringLiteral("2026-01-02 03:04:05"));
    MobileForm form;
    QCOMPARE(form.findChild<QTableView *>()->currentIndex().row(), 0);
    QVERIFY(form.findChild<QPushButton *>(QStringLiteral("pushOpenAlbum"))->isEnabled());
    QVERIFY(form.findChild<QPushButton *>(QStringLiteral("pushOpenFolder"))->isEnabled());
    QAction *album = nullptr;
    for (QAction *a : form.contextMenu()->actions())
        album = a->text() == QStringLiteral("查看相册") ? a : album;
    QVERIFY(album);
    album->trigger();
    const QList<PhoneAlbumView *> open = form.findChildren<PhoneAlbumView *>();
    QCOMPARE(open.size(), 1);
    QCOMPARE(open.first()->deviceName(), QStringLiteral("Pixel 7"));
}

QTEST_MAIN(TstPhoneAlbumView)
#include "tst_phonealbumview.moc"
