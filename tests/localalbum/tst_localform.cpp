// The local album page: listing the organised files at creation and on the listing button,
// the page label, buttons and page box, the two searches with their numbering, mode switches,
// the folder list and its keeping across starts, warnings, destruction while workers run, the
// run summary and its report, the preview of the selected row, and opening files and folders.
#include "localalbum/pages/LocalForm.h"
#include "localalbum/pages/DateSourceLabel.h"
#include "localalbum/pages/FileNameFeed.h"
#include "localalbum/pages/OrganiseReportDialog.h"
#include "localalbum/pages/PreviewPane.h"
#include "localalbum/pages/TableViewPage.h"

#include "backup/LocalDataBase.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "platform/SearchEngine.h"
#include "settings/ReadWriteSetting.h"
#include "tests/support/TablePages.h"
#include "tests/support/ExifJpeg.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UrlCatcher.h"

#include <QtTest>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QScopeGuard>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <thread>
#include <QCheckBox>

using TablePages::range;
using TablePages::shownNumbers;
using TestSupport::UrlCatcher;
using TestSupport::waitFor;

namespace {

QStringList boxEntries(const QComboBox *box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

QStringList localPaths(const QString &dbPath)
{
    QStringList out;
    for (const QVariantList &row :
         TestSupport::queryRows(dbPath, QStringLiteral("select localpath from albumlist order by id")))
        out << row.at(0).toString();
    return out;
}

QStringList folderEntries(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

// The page's widgets, found by their object names.
struct Form
{
    explicit Form(LocalForm *page)
    {
        auto find = [page](auto *&w, const char *name) {
            w = page->findChild<std::remove_reference_t<decltype(*w)> *>(QLatin1String(name));
            if (!w)
                qFatal("no widget %s", name);
        };
        find(localAlbumNote, "localAlbumNote");
        find(checkAllDiskBox, "checkAllDiskBox");
        find(topfileslabel, "topfileslabel");
        find(loadingLabel, "loadingLabel");
        find(totalInfoLabel, "totalInfoLabel");
        find(searchAllDiskButton, "searchAllDiskButton");
        find(tableFileInfoView, "tableFileInfoView");
        find(checkDirBox, "checkDirBox");
        find(listDirWidget, "listDirWidget");
        find(curPageLabel, "curPageLabel");
        find(prePageBtn, "prePageBtn");
        find(nextPageBtn, "nextPageBtn");
        find(gotoPageBox, "gotoPageBox");
        find(pushAddDirButton, "pushAddDirButton");
        find(pushDeleteDirButton, "pushDeleteDirButton");
        find(pushStartSearchButton, "pushStartSearchButton");
        find(progressBar, "progressBar");
        find(pushUpdateTotalButton, "pushUpdateTotalButton");
        find(previewPane, "previewPane");
        find(summaryLabel, "summaryLabel");
        find(reportButton, "reportButton");
        find(openFolderButton, "openFolderButton");
    }
    Form *operator->() { return this; }
    QLabel *localAlbumNote, *topfileslabel, *loadingLabel, *totalInfoLabel, *curPageLabel, *summaryLabel;
    QCheckBox *checkAllDiskBox, *checkDirBox;
    QPushButton *searchAllDiskButton, *prePageBtn, *nextPageBtn, *pushAddDirButton, *pushDeleteDirButton,
        *pushStartSearchButton, *pushUpdateTotalButton, *reportButton, *openFolderButton;
    PreviewPane *previewPane;
    TableViewPage *tableFileInfoView;
    QListWidget *listDirWidget;
    QComboBox *gotoPageBox;
    QProgressBar *progressBar;
};

} // namespace

class TestLocalForm : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_program;
    std::unique_ptr<QTemporaryDir> m_files;
    quint32 m_seed = 1;

    QString root() const { return m_files->path() + QStringLiteral("/root/"); }
    QString dbPath() const { return AppPaths::programFile(QStringLiteral("localfiles.db")); }

    // n organised files: each recorded in localfiles.db with a file that exists.
    void organised(int n)
    {
        LocalDataBase db(dbPath());
        for (int i = 0; i < n; ++i) {
            const QString p = m_files->path() + QStringLiteral("/organised/%1.jpg").arg(i);
            QVERIFY(TestSupport::writeFile(p, QByteArray("x")));
            QVERIFY(db.insertRecord(QStringLiteral("%1.jpg").arg(i), p, 1,
                                    QStringLiteral("%1").arg(i, 32, 10, QLatin1Char('0')), QStringLiteral("/src"), 1,
                                    QString(), QStringLiteral("2020-01-01 00:00:00"), QString()) > 0);
        }
    }

    // n distinct photos of at least 40000 bytes in folder.
    QString photos(const QString &folder, int n, int size = 41000)
    {
        const QString dir = m_files->path() + QLatin1Char('/') + folder;
        for (int i = 0; i < n; ++i) {
            ++m_seed;
            TestSupport::writeFile(dir + QStringLiteral("/IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0')),
                                   ExifJpeg::padTo(ExifJpeg::makeJpeg(16, 16, m_seed), size, m_seed));
        }
        return dir;
    }

    std::unique_ptr<LocalForm> makePage()
    {
        auto page = std::make_unique<LocalForm>(nullptr, root());
        return page;
    }

    // Waits until the listing has delivered its end marker.
    static bool listed(LocalForm &page, int n)
    {
        return waitFor(
            [&] {
                page.flushFileNames();
                return Form(&page)->tableFileInfoView->getFileNumbers() == n &&
                    Form(&page)->totalInfoLabel->text() == QStringLiteral("已整理文件总数: %1").arg(n) &&
                    Form(&page)->progressBar->value() == 100;
            },
            20000);
    }

    static void addFolder(LocalForm &page, const QString &dir)
    {
        Dialogs::setNextDirectory(dir);
        Form(&page)->pushAddDirButton->click();
    }

    static bool finished(LocalForm &page)
    {
        return waitFor([&] { return !page.isSearching() && page.organiser()->activeJobs() == 0; }, 60000);
    }

private slots:
    void init()
    {
        m_program = TestSupport::makeProgramDir();
        m_files = std::make_unique<QTemporaryDir>();
        QDir().mkpath(root());
        Dialogs::setNonInteractive(true);
        Dialogs::clearRecords();
    }

    void cleanup()
    {
        // Every queued folder was asked for: no add-folder click met a disabled button.
        QCOMPARE(Dialogs::pendingAnswers(), 0);
        Dialogs::clearRecords();
    }

    void initialState()
    {
        auto page = makePage();
        Form ui(page.get());
        QCOMPARE(page->windowTitle(), QStringLiteral("Form"));
        QCOMPARE(ui->totalInfoLabel->text(), QStringLiteral("未发现备份数据"));
        QVERIFY(ui->loadingLabel->isHidden());
        QVERIFY(ui->checkAllDiskBox->isChecked());
        QVERIFY(!ui->checkDirBox->isChecked());
        QVERIFY(ui->searchAllDiskButton->isEnabled());
        QVERIFY(!ui->pushStartSearchButton->isEnabled());
        QVERIFY(!ui->listDirWidget->isEnabled());
        QVERIFY(!ui->prePageBtn->isEnabled());
        QVERIFY(!ui->nextPageBtn->isEnabled());
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 0/0"));
        QCOMPARE(ui->topfileslabel->text(), QStringLiteral("文件列表："));
        QVERIFY(ui->localAlbumNote->text().startsWith(QStringLiteral("两种处理方式：全盘搜索及指定目录搜索")));
        QCOMPARE(ui->searchAllDiskButton->styleSheet(), QStringLiteral("background-color: rgb(140, 120, 255);"));
        QCOMPARE(ui->tableFileInfoView->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("文件名"));
        // The preview takes only the room the window can spare: the page still fits an 800x600 screen.
        QVERIFY2(page->minimumSizeHint().width() <= 780, qPrintable(QString::number(page->minimumSizeHint().width())));

        // The listing button on an empty album says so.
        ui->pushUpdateTotalButton->click();
        QCOMPARE(ui->totalInfoLabel->text(), QStringLiteral("未发现备份数据"));
    }

    void albumWhoseFilesAreGone()
    {
        organised(2);
        QVERIFY(QDir(m_files->path() + QStringLiteral("/organised")).removeRecursively());
        auto page = makePage();
        Form ui(page.get());
        QVERIFY(waitFor([&] {
            page->flushFileNames();
            return ui->progressBar->value() == 100;
        }));
        QCOMPARE(ui->totalInfoLabel->text(), QStringLiteral("未发现备份数据"));
        QCOMPARE(ui->tableFileInfoView->getFileNumbers(), 0);
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 0/0"));
        QVERIFY(ui->loadingLabel->isHidden());
    }

    void feedKeepsOrderAndLetsTheLoopRun()
    {
        FileNameFeed feed;
        feed.setSliceMs(1);
        int received = 0;
        bool ordered = true;
        connect(&feed, &FileNameFeed::fileName, this, [&](int order, const QString &name) {
            ordered = ordered && order == received && name == QString::number(order);
            ++received;
        });
        int ticks = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, this, [&] { ++ticks; });
        tick.start(0);
        constexpr int kCount = 200000;
        std::thread worker([&feed] {
            for (int i = 0; i < kCount; ++i)
                feed.push(i, QString::number(i));
        });
        QVERIFY(waitFor([&] { return received == kCount; }, 60000));
        worker.join();
        QVERIFY(ordered);
        QVERIFY2(ticks > 10, qPrintable(QString::number(ticks)));
        QCOMPARE(feed.pending(), 0);
        feed.push(7, QStringLiteral("7"));
        received = 7;
        feed.flush(); // at once, without the event loop
        QCOMPARE(received, 8);
    }

    void pageLabelButtonsAndBox()
    {
        auto page = makePage();
        Form ui(page.get());
        for (int i = 0; i < 25; ++i)
            emit page->setFileName(i, QStringLiteral("/p/%1.jpg").arg(i));
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 1/3"));
        QCOMPARE(boxEntries(ui->gotoPageBox),
                 QStringList({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")}));
        QVERIFY(!ui->prePageBtn->isEnabled());
        QVERIFY(ui->nextPageBtn->isEnabled());

        ui->gotoPageBox->setCurrentIndex(2);
        QCOMPARE(shownNumbers(*ui->tableFileInfoView), range(21, 25));
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 3/3"));
        QVERIFY(ui->prePageBtn->isEnabled());
        QVERIFY(!ui->nextPageBtn->isEnabled());

        ui->prePageBtn->click();
        QCOMPARE(shownNumbers(*ui->tableFileInfoView), range(11, 20));
        QCOMPARE(ui->gotoPageBox->currentIndex(), 1);
        QVERIFY(ui->nextPageBtn->isEnabled());
        ui->nextPageBtn->click();
        QCOMPARE(ui->gotoPageBox->currentIndex(), 2);
        // The box follows the buttons without paging twice, and its next choice counts.
        ui->gotoPageBox->setCurrentIndex(0);
        QCOMPARE(shownNumbers(*ui->tableFileInfoView), range(1, 10));
        QVERIFY(!ui->prePageBtn->isEnabled());

        // The arrow keys go on across pages, and the label and box follow.
        ui->tableFileInfoView->selectRow(9);
        QTest::keyClick(ui->tableFileInfoView, Qt::Key_Down);
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 2/3"));
        QCOMPARE(ui->gotoPageBox->currentIndex(), 1);
        QCOMPARE(ui->tableFileInfoView->currentIndex().row(), 0);
        QCOMPARE(ui->tableFileInfoView->shownNumber(0), 11);
        QTest::keyClick(ui->tableFileInfoView, Qt::Key_Up);
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 1/3"));
        QCOMPARE(ui->tableFileInfoView->currentIndex().row(), 9);

        // End and Home: the last row of the last page, the first of the first.
        QTest::keyClick(ui->tableFileInfoView, Qt::Key_End);
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 3/3"));
        QCOMPARE(ui->gotoPageBox->currentIndex(), 2);
        QCOMPARE(ui->tableFileInfoView->shownNumber(ui->tableFileInfoView->currentIndex().row()), 25);
        QTest::keyClick(ui->tableFileInfoView, Qt::Key_Home);
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 1/3"));
        QCOMPARE(ui->tableFileInfoView->currentIndex().row(), 0);
        // A path is cut in the middle, never wrapped, and shown whole on hover.
        QVERIFY(!ui->tableFileInfoView->wordWrap());
        QCOMPARE(ui->tableFileInfoView->textElideMode(), Qt::ElideMiddle);
        QCOMPARE(ui->tableFileInfoView->model()->index(0, 1).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("/p/0.jpg"));
    }

    void summaryAndDateSourceWords()
    {
        OrganiseSummary s;
        s.copied = 1;
        QCOMPARE(OrganiseReportDialog::summaryText(s),
                 QStringLiteral("本次整理：已复制 1，重复 0，太小 0，其他类型 0，失败 0"));
        s.videosLeftOut = 3;
        s.picturesLeftOut = 2;
        QCOMPARE(OrganiseReportDialog::summaryText(s).split(QLatin1Char('\n')).mid(1),
                 QStringList({QStringLiteral("图片 2 个未整理（整理图片未开启）"),
                              QStringLiteral("视频 3 个未整理（整理视频未开启）")}));
        // The organiser's names stay as they are; the pages show them in Chinese.
        const QList<QPair<const char *, QString>> words{
            {"EXIF DateTimeOriginal", QStringLiteral("拍摄时间（EXIF）")},
            {"EXIF DateTimeDigitized", QStringLiteral("数字化时间（EXIF）")},
            {"mvhd", QStringLiteral("视频创建时间")},
            {"QuickTime creationdate", QStringLiteral("视频创建时间")},
            {"PNG Creation Time", QStringLiteral("创建时间（PNG）")},
            {"文件时间", QStringLiteral("文件时间")}};
        for (const auto &w : words)
            QCOMPARE(dateSourceLabel(QString::fromUtf8(w.first)), w.second);
    }

    void pageBoxChoiceAfterAnIdleNextClick()
    {
        auto page = makePage();
        Form ui(page.get());
        for (int i = 0; i < 5; ++i)
            emit page->setFileName(i, QStringLiteral("/p/%1.jpg").arg(i));
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 1/1"));
        QVERIFY(ui->nextPageBtn->isEnabled()); // one page: still enabled
        ui->nextPageBtn->click();              // changes nothing
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 1/1"));
        QCOMPARE(ui->gotoPageBox->currentIndex(), 0);
        for (int i = 5; i < 15; ++i)
            emit page->setFileName(i, QStringLiteral("/p/%1.jpg").arg(i));
        // The user's next choice is not swallowed.
        ui->gotoPageBox->setCurrentIndex(1);
        QCOMPARE(shownNumbers(*ui->tableFileInfoView), range(11, 15));
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 2/2"));
    }

    void listingAtCreationAndOnTheButton()
    {
        organised(7);
        {
            auto page = makePage();
            QVERIFY(listed(*page, 7));
            QCOMPARE(Form(page.get())->curPageLabel->text(), QStringLiteral("页码 1/1"));
            QCOMPARE(Form(page.get())->tableFileInfoView->shownNumber(6), 7);
        }
        // A file gone since: the listing shows the others.
        QVERIFY(QFile::remove(m_files->path() + QStringLiteral("/organised/3.jpg")));
        organised(0);
        auto page = makePage();
        QCOMPARE(Form(page.get())->totalInfoLabel->text(),
                 QStringLiteral("已整理文件总数: 7")); // counted before the check
        QVERIFY(listed(*page, 6));
        // Two clicks while a listing runs still give one list.
        Form(page.get())->pushUpdateTotalButton->click();
        Form(page.get())->pushUpdateTotalButton->click();
        QVERIFY(listed(*page, 6));
        QTest::qWait(200);
        page->flushFileNames();
        QCOMPARE(Form(page.get())->tableFileInfoView->getFileNumbers(), 6);
        QCOMPARE(boxEntries(Form(page.get())->gotoPageBox), QStringList({QStringLiteral("1")}));
    }

    void folderSearchContinuesTheNumbering()
    {
        organised(100);
        const QString dir = photos(QStringLiteral("new"), 3);
        auto page = makePage();
        Form ui(page.get());
        QVERIFY(listed(*page, 100));
        QList<int> orders;
        connect(page.get(), &LocalForm::setFileName, this, [&](int order, const QString &) { orders << order; });
        ui->checkDirBox->click();
        QVERIFY(!ui->checkAllDiskBox->isChecked());
        QVERIFY(!ui->searchAllDiskButton->isEnabled());
        addFolder(*page, dir);
        ui->pushStartSearchButton->click();
        QCOMPARE(ui->pushStartSearchButton->text(), QStringLiteral("停止搜索"));
        QVERIFY(page->isSearching());
        QVERIFY(finished(*page));
        QCOMPARE(orders, QList<int>({100, 101, 102}));
        QCOMPARE(ui->pushStartSearchButton->text(), QStringLiteral("开始搜索"));
        QCOMPARE(ui->totalInfoLabel->text(), QStringLiteral("已整理文件总数: 103"));
        QCOMPARE(ui->tableFileInfoView->getFileNumbers(), 103);
        QCOMPARE(boxEntries(ui->gotoPageBox).size(), 11);
        ui->gotoPageBox->setCurrentIndex(10);
        QCOMPARE(shownNumbers(*ui->tableFileInfoView), range(101, 103));
        QVERIFY(ui->tableFileInfoView->shownPath(0).startsWith(dir));
        QVERIFY(ui->loadingLabel->isHidden());
    }

    void allDiskSearchClearsAndNumbersFromOne()
    {
        organised(12);
        const QString disk = photos(QStringLiteral("disk"), 4);
        SearchEngine::setRootsForTests({disk});
        SearchEngine::start();
        auto page = makePage();
        Form ui(page.get());
        QVERIFY(listed(*page, 12));
        QCOMPARE(boxEntries(ui->gotoPageBox), QStringList({QStringLiteral("1"), QStringLiteral("2")}));
        ui->searchAllDiskButton->click();
        QCOMPARE(ui->searchAllDiskButton->text(), QStringLiteral("停止全盘搜索"));
        QCOMPARE(ui->tableFileInfoView->getFileNumbers(), 0);
        QCOMPARE(ui->curPageLabel->text(), QStringLiteral("页码 0/0"));
        QCOMPARE(ui->gotoPageBox->count(), 0);
        QVERIFY(finished(*page));
        page->flushFileNames();
        QCOMPARE(ui->searchAllDiskButton->text(), QStringLiteral("开始全盘搜索"));
        QCOMPARE(shownNumbers(*ui->tableFileInfoView), range(1, 4));
        QCOMPARE(ui->totalInfoLabel->text(), QStringLiteral("已整理文件总数: 16"));
        QCOMPARE(boxEntries(ui->gotoPageBox), QStringList({QStringLiteral("1")}));

        // Again: every file is listed as known content, and its preview names the copy made before.
        ui->searchAllDiskButton->click();
        QVERIFY(finished(*page));
        page->flushFileNames();
        QCOMPARE(ui->tableFileInfoView->getFileNumbers(), 4);
        QSignalSpy shown(ui->previewPane, &PreviewPane::previewShown);
        ui->tableFileInfoView->selectRow(0);
        QVERIFY(waitFor([&] { return shown.size() == 1; }));
        const PreviewData &data = ui->previewPane->shownData();
        QCOMPARE(data.source, ui->tableFileInfoView->shownPath(0));
        QVERIFY2(data.organised.startsWith(root() + QStringLiteral("万特相册/本地/照片/")) &&
                     QFile::exists(data.organised),
                 qPrintable(data.organised));
        page.reset();
        SearchEngine::setRootsForTests({});
    }

    void switchingModeStopsARunningSearch()
    {
        const QString dir = photos(QStringLiteral("many"), 150);
        auto page = makePage();
        Form ui(page.get());
        ui->checkDirBox->click();
        addFolder(*page, dir);
        ui->pushStartSearchButton->click();
        QVERIFY(page->isSearching());
        ui->checkAllDiskBox->click(); // back to all-disk mode
        QVERIFY(ui->checkAllDiskBox->isChecked());
        QVERIFY(!ui->checkDirBox->isChecked());
        QVERIFY(!page->isSearching());
        QVERIFY(page->organiser()->isStopped());
        QCOMPARE(ui->pushStartSearchButton->text(), QStringLiteral("开始搜索"));
        QVERIFY(!ui->pushStartSearchButton->isEnabled());
        QVERIFY(ui->searchAllDiskButton->isEnabled());

        // Straight back and start again, before the stopped search has reported its end: its
        // late "finished" must not end the new search.
        ui->checkDirBox->click();
        ui->pushStartSearchButton->click();
        QVERIFY(page->isSearching());
        QCOMPARE(ui->pushStartSearchButton->text(), QStringLiteral("停止搜索"));
        QElapsedTimer t;
        t.start();
        while (page->organiser()->activeJobs() > 0 && t.elapsed() < 60000) {
            QTest::qWait(5);
            QVERIFY2(page->isSearching() || page->organiser()->activeJobs() == 0,
                     "the page reports idle while workers run");
        }
        QVERIFY(finished(*page));
        QCOMPARE(localPaths(dbPath()).size(), 150);
        for (const QString &p : localPaths(dbPath()))
            QVERIFY2(QFile::exists(p), qPrintable(p));
    }

    void switchingToFolderModeStopsAnAllDiskSearch()
    {
        // The engine is asked for an index it never finishes: the search waits in its query.
        SearchEngine::setRootsForTests({m_files->path()});
        auto page = makePage();
        Form ui(page.get());
        ui->searchAllDiskButton->click();
        QVERIFY(page->isSearching());
        ui->checkDirBox->click();
        QVERIFY(!page->isSearching());
        QVERIFY(!ui->checkAllDiskBox->isChecked());
        QCOMPARE(ui->searchAllDiskButton->text(), QStringLiteral("开始全盘搜索"));
        QVERIFY(!ui->searchAllDiskButton->isEnabled());
        QVERIFY(page->organiser()->waitForWorkers(30000));
        page.reset();
        SearchEngine::setRootsForTests({});
    }

    void folderList()
    {
        auto page = makePage();
        Form ui(page.get());
        ui->checkDirBox->click();
        addFolder(*page, QStringLiteral("/data/photos"));
        addFolder(*page, QStringLiteral("/data/photos"));
        addFolder(*page, QStringLiteral("/data/Photos")); // another folder: case counts
        addFolder(*page, QString());                      // cancelled
        QCOMPARE(ui->listDirWidget->count(), 2);
        const QList<Dialogs::Record> asked = Dialogs::records();
        QCOMPARE(asked.size(), 4);
        QCOMPARE(asked.first().kind, QStringLiteral("directory"));
        QCOMPARE(asked.first().title, QStringLiteral("选择要整理的目录"));
        QCOMPARE(ui->listDirWidget->currentItem()->text(), QStringLiteral("/data/Photos"));

        ui->listDirWidget->setCurrentRow(-1);
        ui->pushDeleteDirButton->click(); // nothing selected: nothing happens
        QCOMPARE(ui->listDirWidget->count(), 2);
        ui->listDirWidget->setCurrentRow(0);
        ui->pushDeleteDirButton->click();
        QCOMPARE(ui->listDirWidget->count(), 1);
        QCOMPARE(ui->listDirWidget->item(0)->text(), QStringLiteral("/data/Photos"));
    }

    void warnings()
    {
        ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localPicture"), QStringLiteral("0"));
        auto page = makePage();
        Form ui(page.get());
        ui->searchAllDiskButton->click();
        ui->checkDirBox->click();
        addFolder(*page, m_files->path());
        ui->pushStartSearchButton->click();
        QVERIFY(!page->isSearching());
        QList<Dialogs::Record> asked = Dialogs::records();
        QCOMPARE(asked.size(), 3);
        for (int i : {0, 2}) {
            QCOMPARE(asked.at(i).kind, QStringLiteral("message"));
            QCOMPARE(asked.at(i).icon, Dialogs::Warning);
            QCOMPARE(asked.at(i).title, QStringLiteral("提示"));
            QCOMPARE(asked.at(i).text, QStringLiteral("请在设置页面选择整理图片或整理视频"));
        }

        ReadWriteSetting::getInstance()->setGlobalValue(QStringLiteral("localPicture"), QStringLiteral("1"));
        Dialogs::clearRecords();
        ui->listDirWidget->setCurrentRow(0);
        ui->pushDeleteDirButton->click();
        ui->pushStartSearchButton->click();
        QVERIFY(!page->isSearching());
        asked = Dialogs::records();
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked.first().text, QStringLiteral("指定目录为空"));
    }

    void destroyedWhileOrganising()
    {
        organised(30);
        const QString dir = photos(QStringLiteral("big"), 120, 400000);
        auto page = makePage();
        Form ui(page.get());
        ui->checkDirBox->click();
        addFolder(*page, dir);
        QVERIFY(listed(*page, 30));
        bool first = false;
        connect(page.get(), &LocalForm::setFileName, this, [&] { first = true; });
        ui->pushStartSearchButton->click();
        QVERIFY(waitFor(
            [&] {
                page->flushFileNames();
                return first;
            },
            30000));
        Form(page.get())->pushUpdateTotalButton->click(); // ignored while searching
        page.reset(); // stops and waits for every worker; nothing may touch the page afterwards
        QTest::qWait(200);
        // Every record has its file: nothing was recorded without being copied.
        const QStringList paths = localPaths(dbPath());
        QVERIFY(paths.size() >= 31);
        QVERIFY(paths.size() < 150);
        for (const QString &p : paths)
            QVERIFY2(QFile::exists(p), qPrintable(p));
    }

    void folderDialogStartAndSettingsAcrossStarts()
    {
        // A home of our own: the dialog opens there, or in its Pictures folder once there is one.
        QTemporaryDir home;
        const QByteArray oldHome = qgetenv("HOME");
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/.config")));
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", oldHome);
            qputenv("XDG_CONFIG_HOME", oldConfig);
        });
        const QString odd = m_files->path() + QStringLiteral("/相册 \"旅行\", [2023]");
        const QString usb = QStringLiteral("/media/usb/照片");
        {
            auto page = makePage();
            Form ui(page.get());
            ui->checkDirBox->click();
            addFolder(*page, odd);
            QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Pictures")));
            addFolder(*page, usb);
            addFolder(*page, QStringLiteral("/tmp/removed"));
            const QList<Dialogs::Record> asked = Dialogs::records();
            QCOMPARE(asked.size(), 3);
            QCOMPARE(asked.at(0).text, home.path());
            QCOMPARE(asked.at(1).text, home.path() + QStringLiteral("/Pictures"));
            ui->listDirWidget->setCurrentRow(2);
            ui->pushDeleteDirButton->click();
        }
        {
            auto page = makePage();
            Form ui(page.get());
            QVERIFY(ui->checkDirBox->isChecked());
            QVERIFY(!ui->checkAllDiskBox->isChecked());
            QVERIFY(ui->pushStartSearchButton->isEnabled());
            QVERIFY(!ui->searchAllDiskButton->isEnabled());
            QCOMPARE(folderEntries(ui->listDirWidget), QStringList({odd, usb}));
            ui->checkAllDiskBox->click();
        }
        auto page = makePage();
        Form ui(page.get());
        QVERIFY(ui->checkAllDiskBox->isChecked());
        QVERIFY(!ui->listDirWidget->isEnabled());
        QCOMPARE(folderEntries(ui->listDirWidget), QStringList({odd, usb}));
    }

    void runSummaryAndReport()
    {
        UrlCatcher opened;
        const QString dir = photos(QStringLiteral("run"), 3);
        QVERIFY(QFile::copy(dir + QStringLiteral("/IMG_0000.jpg"), dir + QStringLiteral("/again.jpg")));
        QVERIFY(TestSupport::writeFile(dir + QStringLiteral("/small.jpg"), ExifJpeg::makeJpeg(8, 8, 5)));
        auto page = makePage();
        Form ui(page.get());
        QVERIFY(!ui->reportButton->isEnabled());
        ui->checkDirBox->click();
        addFolder(*page, dir);
        ui->pushStartSearchButton->click();
        QVERIFY(finished(*page));
        QVERIFY(waitFor([&] { return !ui->summaryLabel->text().isEmpty(); }));
        QCOMPARE(ui->summaryLabel->text(), QStringLiteral("本次整理：已复制 3，重复 1，太小 1，其他类型 0，失败 0"));
        QVERIFY(ui->reportButton->isEnabled());
        QCOMPARE(page->report().size(), 5);

        ui->reportButton->click();
        auto *report = page->findChild<OrganiseReportDialog *>();
        QVERIFY(report && report->isVisible());
        QVERIFY(!report->isModal());
        QCOMPARE(report->shownRows(), 5);
        report->setFilter(int(OrganiseEntry::Result::Duplicate));
        QCOMPARE(report->shownRows(), 1);
        const QString duplicate = report->table()->model()->index(0, 1).data().toString();
        QVERIFY2(duplicate == dir + QStringLiteral("/again.jpg") || duplicate == dir + QStringLiteral("/IMG_0000.jpg"),
                 qPrintable(duplicate));
        report->setFilter(int(OrganiseEntry::Result::Copied));
        QCOMPARE(report->shownRows(), 3);
        // A copied row opens its organised copy.
        const QString copy = report->table()->model()->index(0, 2).data().toString();
        QVERIFY2(copy.startsWith(root() + QStringLiteral("万特相册/本地/照片/")) && QFile::exists(copy),
                 qPrintable(copy));
        emit report->table()->doubleClicked(report->table()->model()->index(0, 0));
        QCOMPARE(opened.urls, QList<QUrl>({QUrl::fromLocalFile(copy)}));

        // The next run starts a new report; a list cut short still counts every file.
        page->setReportLimit(2);
        ui->pushStartSearchButton->click();
        QVERIFY(finished(*page));
        QVERIFY(waitFor([&] { return ui->summaryLabel->text().contains(QStringLiteral("重复 4")); }));
        QCOMPARE(page->report().size(), 2);
        ui->reportButton->click();
        report->setFilter(-1);
        QCOMPARE(report->shownRows(), 2);
        QVERIFY2(report->findChild<QLabel *>(QStringLiteral("reportSummary"))
                     ->text()
                     .endsWith(QStringLiteral("（下表列出前 2 个文件，另有 3 个未列出）")),
                 qPrintable(report->findChild<QLabel *>(QStringLiteral("reportSummary"))->text()));
    }

    void selectionDrivesThePreview()
    {
        UrlCatcher opened;
        // Three organised files recorded with their sources: a photo, a PNG whose header claims far
        // more pixels than any decode may take, and a video.
        const QString source = m_files->path() + QStringLiteral("/相机");
        const QString out = root() + QStringLiteral("万特相册/本地/照片/2021/05");
        const QByteArray photo =
            ExifJpeg::padTo(ExifJpeg::withExif(ExifJpeg::makeJpeg(64, 32, 7),
                                               {{EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2021:05:06 07:08:09"},
                                                {EXIF_IFD_0, EXIF_TAG_ORIENTATION, "6"}}),
                            41000, 7);
        const QByteArray hostile = QByteArray("\x89PNG\r\n\x1a\n", 8) +
            ExifJpeg::pngChunk("IHDR",
                               ExifJpeg::be32(60000) + ExifJpeg::be32(60000) + QByteArray("\x08\x06\0\0\0", 5)) +
            QByteArray(50000, '\0');
        const QByteArray movie = ExifJpeg::makeMovie(1600000000, QByteArray(), 50000, 3);
        const QStringList names = {QStringLiteral("a.jpg"), QStringLiteral("b.png"), QStringLiteral("c.mp4")};
        const QList<QByteArray> contents = {photo, hostile, movie};
        {
            LocalDataBase db(dbPath());
            db.setWriteAheadLog(true); // as the organiser keeps it
            for (int i = 0; i < 3; ++i) {
                QVERIFY(TestSupport::writeFile(out + QLatin1Char('/') + names[i], contents[i]));
                QVERIFY(TestSupport::writeFile(source + QLatin1Char('/') + names[i], contents[i]));
                QVERIFY(db.insertRecord(names[i], out + QLatin1Char('/') + names[i], contents[i].size(),
                                        QString::number(i).repeated(32), source + QLatin1Char('/') + names[i], 1,
                                        QString(), QStringLiteral("2021-05-06 07:08:09"), QString()) > 0);
            }
        }
        auto page = makePage();
        Form ui(page.get());
        QVERIFY(listed(*page, 3));
        QCOMPARE(ui->tableFileInfoView->shownPath(0), out + QStringLiteral("/a.jpg"));
        QSignalSpy shown(ui->previewPane, &PreviewPane::previewShown);
        const PreviewData &data = ui->previewPane->shownData();
        auto *picture = ui->previewPane->findChild<QLabel *>(QStringLiteral("previewPicture"));

        QTest::keyClick(ui->tableFileInfoView, Qt::Key_Down);
        QVERIFY(waitFor([&] { return shown.size() == 1; }));
        QVERIFY(ui->previewPane->hasPicture());
        QCOMPARE(data.image.size(), QSize(32, 64)); // turned upright (orientation 6), never enlarged
        QCOMPARE(data.source, source + QStringLiteral("/a.jpg"));
        QCOMPARE(data.organised, out + QStringLiteral("/a.jpg"));
        QCOMPARE(data.captureTime, QDateTime(QDate(2021, 5, 6), QTime(7, 8, 9)));
        QVERIFY2(data.timeSource.contains(QStringLiteral("DateTimeOriginal")), qPrintable(data.timeSource));
        QCOMPARE(data.size, qint64(photo.size()));

        // Two steps at once: only the newest selection is shown.
        QTest::keyClick(ui->tableFileInfoView, Qt::Key_Down);
        QTest::keyClick(ui->tableFileInfoView, Qt::Key_Down);
        QVERIFY(waitFor([&] { return shown.size() == 2; }));
        QCOMPARE(shown.last().first().toString(), out + QStringLiteral("/c.mp4"));
        QVERIFY(data.video);
        QVERIFY(!ui->previewPane->hasPicture());
        QVERIFY2(picture->text().startsWith(QStringLiteral("视频文件")), qPrintable(picture->text()));

        QTest::keyClick(ui->tableFileInfoView, Qt::Key_Up);
        QVERIFY(waitFor([&] { return shown.size() == 3; }));
        QCOMPARE(shown.last().first().toString(), out + QStringLiteral("/b.png"));
        QVERIFY(!ui->previewPane->hasPicture());
        QCOMPARE(picture->text(), QStringLiteral("无法显示此图片"));
        QCOMPARE(data.size, qint64(hostile.size()));

        // Double-click opens the file; the button opens the organised tree.
        emit ui->tableFileInfoView->doubleClicked(ui->tableFileInfoView->model()->index(0, 1));
        ui->openFolderButton->click();
        QCOMPARE(opened.urls,
                 QList<QUrl>({QUrl::fromLocalFile(out + QStringLiteral("/a.jpg")),
                              QUrl::fromLocalFile(root() + QStringLiteral("万特相册/本地"))}));
        QVERIFY(QFile::remove(out + QStringLiteral("/a.jpg")));
        emit ui->tableFileInfoView->doubleClicked(ui->tableFileInfoView->model()->index(0, 1));
        QCOMPARE(opened.urls.size(), 2);
        QVERIFY(Dialogs::records().last().text.startsWith(QStringLiteral("文件不存在")));
    }
};

QTEST_MAIN(TestLocalForm)
#include "tst_localform.moc"
