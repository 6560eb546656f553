// screenshots <folder>: saves a picture of every page, in the states worth looking at, into
// folder. Each page gets a fresh program folder with made-up devices, transfers and photos.
#include "app/UserHelperForm.h"
#include "backup/LocalDataBase.h"
#include "backup/TransferMonitor.h"
#include "link/DeviceName.h"
#include "link/NetBroadCast.h"
#include "link/pages/PhoneAlbumView.h"
#include "link/pages/MobileForm.h"
#include "link/pages/NetWorkInfoForm.h"
#include "localalbum/LocalOrganiser.h"
#include "localalbum/pages/LocalForm.h"
#include "localalbum/pages/OrganiseReportDialog.h"
#include "localalbum/pages/PreviewPane.h"
#include "localalbum/pages/TableViewPage.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "settings/ReadWriteSetting.h"
#include "settings/pages/SettingsForm.h"
#include "tests/support/ExifJpeg.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>

#include <cstdio>

using TestSupport::waitFor;

namespace {

QString g_out;

#define CHECK(cond)                                                                                                    \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::fprintf(stderr, "screenshots: %s:%d: %s\n", __func__, __LINE__, #cond);                               \
            return false;                                                                                              \
        }                                                                                                              \
    } while (false)

bool save(QWidget *w, const QString &name)
{
    QTest::qWait(100); // let the last paint land; only the picture depends on it
    const QString file = g_out + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!w->grab().save(file))
        return false;
    std::printf("%s\n", qPrintable(file));
    return true;
}

bool showAt(QWidget *w, const QSize &size)
{
    w->resize(size);
    w->show();
    return QTest::qWaitForWindowExposed(w);
}

template <typename T> T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

bool userHelper()
{
    UserHelperForm form(nullptr);
    CHECK(showAt(&form, QSize(798, 520)));
    CHECK(save(&form, QStringLiteral("userhelperform-top")));
    QTextBrowser *view = child<QTextBrowser>(&form, "textBrowser");
    CHECK(view);
    for (int page = 1; page <= 6; ++page) {
        view->verticalScrollBar()->setValue(view->verticalScrollBar()->pageStep() * page);
        CHECK(save(&form, QStringLiteral("userhelperform-%1").arg(page)));
    }
    return true;
}

bool settings()
{
    ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localVideo"), QStringLiteral("2"));
    SettingsForm form(nullptr, QStringLiteral("/media/data/"));
    for (const QSize &size : {QSize(910, 650), QSize(798, 520)}) {
        CHECK(showAt(&form, size));
        CHECK(save(&form, QStringLiteral("settingsform-%1x%2").arg(size.width()).arg(size.height())));
    }
    return true;
}

bool networkInfo()
{
    NetBroadCast::getInstance()->setLocalIPListForTests({QStringLiteral("192.168.1.23"), QStringLiteral("10.8.0.2")});
    for (const QSize &size : {QSize(767, 514), QSize(798, 520)}) {
        NetWorkInfoForm form(nullptr);
        CHECK(showAt(&form, size));
        CHECK(save(&form, QStringLiteral("networkinfoform-%1x%2").arg(size.width()).arg(size.height())));
    }
    NetBroadCast::getInstance()->setLocalIPListForTests({});
    NetWorkInfoForm none(nullptr);
    CHECK(showAt(&none, QSize(798, 520)));
    return save(&none, QStringLiteral("networkinfoform-nonetwork"));
}

bool mobile()
{
    ReadWriteSetting *store = ReadWriteSetting::getInstance();
    const QList<QPair<QString, QString>> devices{
        {QStringLiteral("Pixel 7"), QStringLiteral("2026-03-01 10:00:00")},
        {QStringLiteral("小米手机"), QStringLiteral("2026-03-02 11:30:00")},
        {QStringLiteral("iPhone 15 Pro"), QStringLiteral("2026-03-03 12:45:00")},
        {QStringLiteral("华为平板"), QStringLiteral("2026-03-04 08:15:00")}};
    for (const auto &d : devices)
        store->addUser(d.first, QStringLiteral("D:/万特相册/") + d.first, d.second);
    // One phone sending, one finished with an error.
    TransferMonitor *monitor = TransferMonitor::instance();
    monitor->phoneConnected(QStringLiteral("小米手机"));
    monitor->fileStored(QStringLiteral("小米手机"), QStringLiteral("IMG_0001.jpg"), false);
    monitor->fileStarted(QStringLiteral("小米手机"), QStringLiteral("VID_20260301_101500.mp4"), 80000000);
    monitor->bytesReceived(QStringLiteral("小米手机"), 30000000);
    monitor->phoneConnected(QStringLiteral("Pixel 7"));
    monitor->fileStored(QStringLiteral("Pixel 7"), QStringLiteral("PXL_1.jpg"), true);
    monitor->fileFailed(QStringLiteral("Pixel 7"), QStringLiteral("PXL_2.jpg"),
                        QStringLiteral("未能保存，手机会重新发送"));
    monitor->phoneDisconnected(QStringLiteral("Pixel 7"));
    MobileForm form;
    form.onRecvPublicMsg(9, QStringLiteral("小米手机"));
    form.onRecvDBNumberMsg(1284, QStringLiteral("小米手机"));
    form.onRecvDBNumberMsg(36, QStringLiteral("Pixel 7"));
    CHECK(showAt(&form, QSize(798, 520)));
    const QStandardItemModel *model = form.model();
    for (int r = 0; r < model->rowCount(); ++r) {
        if (model->item(r, MobileForm::ColName)->text() == QStringLiteral("iPhone 15 Pro"))
            child<QTableView>(&form, "tableUsersView")->setCurrentIndex(model->index(r, 0));
    }
    form.updateTransferPanel();
    const bool ok = save(&form, QStringLiteral("mobileform-798x520"));
    monitor->forget(QStringLiteral("小米手机"));
    monitor->forget(QStringLiteral("Pixel 7"));
    return ok;
}

// The local album page with its own photo folders below files.
class LocalAlbum
{
public:
    explicit LocalAlbum(const QString &files) : m_files(files) { QDir().mkpath(root()); }

    QString root() const { return m_files + QStringLiteral("/root/"); }

    // n organised files: each recorded in localfiles.db with a file that exists.
    bool organised(int n)
    {
        LocalDataBase db(AppPaths::programFile(QStringLiteral("localfiles.db")));
        for (int i = 0; i < n; ++i) {
            const QString p = m_files + QStringLiteral("/organised/%1.jpg").arg(i);
            CHECK(TestSupport::writeFile(p, QByteArray("x")));
            CHECK(db.insertRecord(QStringLiteral("%1.jpg").arg(i), p, 1,
                                  QStringLiteral("%1").arg(i, 32, 10, QLatin1Char('0')), QStringLiteral("/src"), 1,
                                  QString(), QStringLiteral("2020-01-01 00:00:00"), QString()) > 0);
        }
        return true;
    }

    // n distinct photos of size bytes in folder.
    QString photos(const QString &folder, int n, int size)
    {
        const QString dir = m_files + QLatin1Char('/') + folder;
        for (int i = 0; i < n; ++i) {
            ++m_seed;
            TestSupport::writeFile(dir + QStringLiteral("/IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0')),
                                   ExifJpeg::padTo(ExifJpeg::makeJpeg(16, 16, m_seed), size, m_seed));
        }
        return dir;
    }

    // A few landscape and portrait pictures with capture dates, a video and a small file.
    QString travelPhotos()
    {
        const QString dir = m_files + QStringLiteral("/旅行照片");
        for (int i = 0; i < 6; ++i) {
            const QSize size = i % 3 == 2 ? QSize(900, 1200) : QSize(1600, 1066);
            QImage img(size, QImage::Format_RGB32);
            QPainter p(&img);
            QLinearGradient g(0, 0, size.width(), size.height());
            g.setColorAt(0, QColor::fromHsv(i * 55 % 360, 160, 250));
            g.setColorAt(1, QColor::fromHsv((i * 55 + 140) % 360, 200, 90));
            p.fillRect(img.rect(), g);
            p.setPen(Qt::white);
            QFont f = p.font();
            f.setPixelSize(size.height() / 6);
            p.setFont(f);
            p.drawText(img.rect(), Qt::AlignCenter, QStringLiteral("照片 %1").arg(i + 1));
            p.end();
            QByteArray jpeg;
            QBuffer buf(&jpeg);
            buf.open(QIODevice::WriteOnly);
            img.save(&buf, "JPEG", 85);
            const QByteArray date = QStringLiteral("2023:0%1:1%2 10:2%3:00").arg(i + 1).arg(i).arg(i).toLatin1();
            TestSupport::writeFile(
                dir + QStringLiteral("/DSC_%1.jpg").arg(100 + i),
                ExifJpeg::padTo(ExifJpeg::withExif(jpeg, {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, date}}),
                                qMax(jpeg.size() + 2000, 41000), i));
        }
        TestSupport::writeFile(dir + QStringLiteral("/小图.jpg"), ExifJpeg::makeJpeg(8, 8, 1));
        ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localVideo"), QStringLiteral("2"));
        TestSupport::writeFile(dir + QStringLiteral("/VID_0001.mp4"),
                               ExifJpeg::makeMovie(1690000000, QByteArray(), 300000, 9));
        return dir;
    }

    static void addFolder(LocalForm &page, const QString &dir)
    {
        Dialogs::setNextDirectory(dir);
        child<QPushButton>(&page, "pushAddDirButton")->click();
    }

    static bool finished(LocalForm &page)
    {
        return waitFor([&] { return !page.isSearching() && page.organiser()->activeJobs() == 0; }, 60000);
    }

private:
    QString m_files;
    quint32 m_seed = 1;
};

// During and after a folder search of a few hundred photos.
bool localSearch()
{
    QTemporaryDir files;
    LocalAlbum album(files.path());
    CHECK(album.organised(37));
    const QString dir = album.photos(QStringLiteral("相机/2023"), 300, 60000);
    // Videos while 整理视频 is off: the summary says they were left out.
    for (int i = 0; i < 3; ++i)
        TestSupport::writeFile(dir + QStringLiteral("/VID_%1.mp4").arg(i),
                               ExifJpeg::makeMovie(1690000000, QByteArray(), 50000, i));
    LocalForm page(nullptr, album.root());
    CHECK(showAt(&page, QSize(798, 520)));
    auto *table = child<TableViewPage>(&page, "tableFileInfoView");
    CHECK(waitFor(
        [&] {
            page.flushFileNames();
            return table->getFileNumbers() == 37;
        },
        20000));
    child<QCheckBox>(&page, "checkDirBox")->click();
    LocalAlbum::addFolder(page, dir);
    LocalAlbum::addFolder(page, files.path() + QStringLiteral("/其他照片"));
    int shown = 0;
    QObject::connect(&page, &LocalForm::setFileName, &page, [&] { ++shown; });
    child<QPushButton>(&page, "pushStartSearchButton")->click();
    CHECK(waitFor([&] { return shown >= 120; }, 60000));
    CHECK(save(&page, QStringLiteral("localform-during")));
    CHECK(LocalAlbum::finished(page));
    child<QComboBox>(&page, "gotoPageBox")->setCurrentIndex(4);
    return save(&page, QStringLiteral("localform-after"));
}

// The preview of a picture, of the page filling the screen, of a video, and the run's report.
bool localPreview()
{
    QTemporaryDir files;
    LocalAlbum album(files.path());
    const QString dir = album.travelPhotos();
    LocalForm page(nullptr, album.root());
    // The page inside the window's smallest (800x600) and default (1100x720) sizes.
    CHECK(showAt(&page, QSize(798, 520)));
    child<QCheckBox>(&page, "checkDirBox")->click();
    LocalAlbum::addFolder(page, dir);
    child<QPushButton>(&page, "pushStartSearchButton")->click();
    CHECK(LocalAlbum::finished(page));
    CHECK(waitFor([&] { return !child<QLabel>(&page, "summaryLabel")->text().isEmpty(); }));
    auto *table = child<TableViewPage>(&page, "tableFileInfoView");
    QSignalSpy shown(child<PreviewPane>(&page, "previewPane"), &PreviewPane::previewShown);
    table->setFocus();
    for (const QSize &size : {QSize(798, 520), QSize(1098, 640)}) {
        const QString tag = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
        page.resize(size);
        shown.clear();
        table->selectRow(1);
        CHECK(waitFor([&] { return shown.size() == 1; }));
        CHECK(save(&page, QStringLiteral("localform-preview-") + tag));
        for (int row = 0; row < table->shownRows(); ++row) {
            if (table->shownPath(row).endsWith(QStringLiteral(".mp4"))) {
                table->selectRow(row);
                CHECK(waitFor([&] { return shown.size() == 2; }));
                CHECK(save(&page, QStringLiteral("localform-video-") + tag));
            }
        }
    }

    page.setGeometry(page.screen()->availableGeometry());
    shown.clear();
    table->selectRow(2);
    CHECK(waitFor([&] { return shown.size() == 1; }));
    CHECK(save(&page, QStringLiteral("localform-maximised")));
    OrganiseReportDialog *report = page.showReport();
    CHECK(QTest::qWaitForWindowExposed(report));
    return save(report, QStringLiteral("localform-report"));
}

// A phone's album window: short months side by side.
bool phoneAlbum()
{
    QTemporaryDir files;
    const QString device = QStringLiteral("小米手机");
    LocalDataBase db(DeviceName::databasePath(device));
    const QStringList months{QStringLiteral("2024-05-02"), QStringLiteral("2024-05-03"), QStringLiteral("2024-04-10"),
                             QStringLiteral("2024-03-01"), QStringLiteral("2024-03-02"), QStringLiteral("2024-01-20"),
                             QStringLiteral("2023-12-24"), QStringLiteral("2023-12-25"), QStringLiteral("2023-12-26"),
                             QStringLiteral("2023-11-11")};
    for (int i = 0; i < months.size(); ++i) {
        QImage img(320, 240, QImage::Format_RGB32);
        img.fill(QColor::fromHsv(i * 36 % 360, 150, 230));
        const QString path = files.path() + QStringLiteral("/IMG_%1.jpg").arg(i);
        CHECK(img.save(path, "JPEG"));
        CHECK(db.insertRecord(QFileInfo(path).fileName(), path, QFileInfo(path).size(),
                              QStringLiteral("%1").arg(i, 32, 10, QLatin1Char('0')), device, 1, QString(),
                              months.at(i) + QStringLiteral("T10:00:00"),
                              QStringLiteral("/DCIM/") + QFileInfo(path).fileName()) > 0);
    }
    PhoneAlbumView view(device, DeviceName::databasePath(device));
    CHECK(showAt(&view, QSize(1000, 720)));
    CHECK(waitFor([&] { return view.isLoaded(); }));
    QTest::qWait(500); // thumbnails
    return save(&view, QStringLiteral("phonealbum-1000x720"));
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2 || args.at(1).startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr,
                     "usage: screenshots <folder>\n"
                     "Saves a PNG of each page into folder; run it under xvfb-run with QT_QPA_PLATFORM=xcb.\n");
        return 2;
    }
    g_out = QDir(args.at(1)).absolutePath();
    if (!QDir().mkpath(g_out)) {
        std::fprintf(stderr, "screenshots: cannot make %s\n", qPrintable(g_out));
        return 1;
    }
    Dialogs::setNonInteractive(true);
    const QList<bool (*)()> pages{userHelper, settings, networkInfo, mobile, phoneAlbum, localSearch, localPreview};
    int failed = 0;
    for (bool (*page)() : pages) {
        auto programDir = TestSupport::makeProgramDir(); // each page starts from an empty program folder
        if (!programDir || !programDir->isValid() || !page())
            ++failed;
    }
    return failed == 0 ? 0 : 1;
}
