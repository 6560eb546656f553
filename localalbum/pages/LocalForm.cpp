#include "localalbum/pages/LocalForm.h"
#include "ui_LocalForm.h"

#include "backup/LocalDataBase.h"
#include "backup/MUploadThread.h"
#include "localalbum/pages/OrganiseReportDialog.h"
#include "localalbum/pages/PreviewPane.h"
#include "platform/AppPaths.h"
#include "platform/Dialogs.h"
#include "platform/SearchEngine.h"
#include "settings/ReadWriteSetting.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QListWidgetItem>
#include <QMenu>
#include <QMovie>
#include <QPalette>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QUrl>

namespace {

QString totalText(int n)
{
    return QStringLiteral("已整理文件总数: ") + QString::number(n);
}

void styleLabel(QWidget *w, const QColor &colour)
{
    QFont font = w->font();
    font.setPointSize(10);
    w->setFont(font);
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, colour);
    w->setPalette(pal);
}

QString organisedFolder(const QString &root)
{
    return root + QStringLiteral("万特相册/本地");
}

} // namespace

LocalForm::LocalForm(QWidget *parent, QString savepath) : QWidget(parent), ui(std::make_unique<Ui::LocalForm>())
{
    ui->setupUi(this);
    // Local 8-bit conversions stay the file system's own; every text of the page is Unicode.
    m_organiser = std::make_unique<LocalOrganiser>(savepath);
    connectListing();
    setAllDiskMode(true);
    restoreFolderSettings();
    arrangeListAndPreview();
    styleTable();
    styleControls();
    connectOrganiser();
    connectTableAndButtons();
    ui->previewPane->setDatabasePath(AppPaths::programFile(QStringLiteral("localfiles.db")));
    ui->previewPane->setOrganisedRoot(organisedFolder(savepath));
    startBackgroundWork();
}

void LocalForm::connectListing()
{
    LocalDataBase *db = m_organiser->database();
    // The listing and the workers hand their names to the feeds on their own threads; the feeds
    // pass them on here, in order, a slice at a time.
    connect(db, &LocalDataBase::setFileName, &m_dbFeed, &FileNameFeed::push, Qt::DirectConnection);
    connect(&m_dbFeed, &FileNameFeed::fileName, this, &LocalForm::recvDbFileName);
    connect(db, &LocalDataBase::setViewUpdate, this, &LocalForm::on_updateview_slot);
    connect(this, &LocalForm::signalDbFileName, this, &LocalForm::recvFileName);
}

void LocalForm::styleTable()
{
    TableViewPage *table = ui->tableFileInfoView;
    table->setAlternatingRowColors(true);
    table->setColumnWidth(0, 80);
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Fixed);
    table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    table->setTextElideMode(Qt::ElideMiddle); // keep the file name in view
    // A whole page of ten rows fits the page area without scrolling.
    table->verticalHeader()->setMinimumSectionSize(18);
    table->verticalHeader()->setDefaultSectionSize(25);
}

void LocalForm::styleControls()
{
    m_movie = new QMovie(QStringLiteral(":/image/loading.gif"), QByteArray(), this);
    ui->loadingLabel->setMovie(m_movie);
    ui->loadingLabel->setScaledContents(true);
    ui->loadingLabel->setFixedSize(20, 20);
    ui->loadingLabel->hide();
    ui->nextPageBtn->setEnabled(false);
    ui->prePageBtn->setEnabled(false);
    ui->reportButton->setEnabled(false);
    ui->summaryLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Wraps instead of widening the window when the counts grow long.
    ui->summaryLabel->setWordWrap(true);
    const QColor blue(Qt::blue);
    styleLabel(ui->checkAllDiskBox, blue);
    styleLabel(ui->checkDirBox, blue);
    styleLabel(ui->topfileslabel, blue);
    styleLabel(ui->totalInfoLabel, blue);
    styleLabel(ui->localAlbumNote, Qt::red);
    // The purple buttons' disabled text stays readable.
    for (QPushButton *b : {ui->searchAllDiskButton, ui->pushAddDirButton, ui->pushDeleteDirButton,
                           ui->pushStartSearchButton, ui->pushUpdateTotalButton}) {
        QPalette pal = b->palette();
        pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(222, 216, 255));
        b->setPalette(pal);
    }
    ui->topfileslabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ui->topfileslabel->setText(QStringLiteral("文件列表："));
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(0);
    ui->localAlbumNote->setText(
        QStringLiteral("两种处理方式：全盘搜索及指定目录搜索，搜索结果将按文件生成时间自动处理重名及去除重复文件。\n"
                       "文件保存位置：搜索结果保存在设置部分指定的目录或自动保存到最大磁盘剩余空间的目录。"));
}

void LocalForm::connectOrganiser()
{
    LocalOrganiser *o = m_organiser.get();
    connect(o, &LocalOrganiser::setFileName, &m_searchFeed, &FileNameFeed::push, Qt::DirectConnection);
    connect(&m_searchFeed, &FileNameFeed::fileName, this, &LocalForm::setFileName);
    connect(this, &LocalForm::setFileName, this, &LocalForm::recvFileName);
    // Emitted from pool threads: queued to the page.
    connect(o, &LocalOrganiser::sendSearchFinish, this, &LocalForm::onSearchFinished_slot);
    connect(o, &LocalOrganiser::setCurrentStatus, this, &LocalForm::on_updateStatus_slot);
    connect(o, &LocalOrganiser::setCurrentPercent, this, &LocalForm::on_updatePercent_slot);
    connect(o, &LocalOrganiser::searchCleared, this, [this] {
        clearTable();
        updatePageLabel();
    });
    qRegisterMetaType<OrganiseEntry>();
    qRegisterMetaType<OrganiseSummary>();
    connect(o, &LocalOrganiser::fileReported, this, &LocalForm::recordEntry);
    connect(o, &LocalOrganiser::runFinished, this, &LocalForm::showRunSummary);
}

void LocalForm::connectTableAndButtons()
{
    TableViewPage *table = ui->tableFileInfoView;
    connect(ui->prePageBtn, &QPushButton::clicked, this, &LocalForm::prevPage);
    connect(ui->nextPageBtn, &QPushButton::clicked, this, &LocalForm::nextPage);
    connect(ui->gotoPageBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &LocalForm::gotoPage);
    // The selected row (mouse or keys) drives the preview; a page change empties it.
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) { previewRow(current.isValid() ? current.row() : -1); });
    connect(table, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex &index) { openWithSystem(ui->tableFileInfoView->shownPath(index.row()), false); });
    connect(table, &QWidget::customContextMenuRequested, this, &LocalForm::showTableMenu);
    // The arrow keys go on across pages: past the last row to the next page's first, and back.
    connect(table, &TableViewPage::pageStepRequested, this, [this, table](int step) {
        const int before = table->getCurrentPage();
        if (step > 0)
            nextPage();
        else
            prevPage();
        if (table->getCurrentPage() != before && table->shownRows() > 0)
            table->selectRow(step > 0 ? 0 : table->shownRows() - 1);
    });
    connect(table, &TableViewPage::edgeRequested, this, [this, table](bool last) {
        const int pages = table->totalPage();
        if (pages < 1)
            return;
        table->gotoPage(last ? pages : 1);
        showCurrentPageInBox();
        if (table->shownRows() > 0)
            table->selectRow(last ? table->shownRows() - 1 : 0);
    });
    connect(ui->openFolderButton, &QPushButton::clicked, this, &LocalForm::openOrganisedFolder);
    connect(ui->reportButton, &QPushButton::clicked, this, &LocalForm::showReport);
}

void LocalForm::startBackgroundWork()
{
    // The search engine runs without a window of its own; its start-up query readies the
    // first all-disk search.
    m_organiser->startBackQuery();
    m_uploadThread = std::make_unique<MUploadThread>();
    m_uploadThread->start(QThread::InheritPriority);
    startListing(false);
    m_organiser->readMediaSettings();
}

LocalForm::~LocalForm()
{
    // Stops and waits for every search, organise worker and the start-up query, then closes
    // the database, which waits for a listing still under way. The feeds outlive all of them.
    m_organiser->requestStop();
    m_organiser.reset();
    m_uploadThread.reset(); // stops the upload and waits for it
    // The page's end is the engine's end, as the program's start was its start.
    SearchEngine::stop();
}

void LocalForm::arrangeListAndPreview()
{
    // The page's controls below the list (pages, the run's summary, progress) span the list and
    // the preview, so the list's columns need no more width than the list itself and the preview
    // takes the room the list does not need, from the window's smallest size on.
    QGridLayout *grid = ui->gridLayout;
    for (QWidget *w : {static_cast<QWidget *>(ui->curPageLabel), static_cast<QWidget *>(ui->prePageBtn),
                       static_cast<QWidget *>(ui->nextPageBtn), static_cast<QWidget *>(ui->label),
                       static_cast<QWidget *>(ui->gotoPageBox), static_cast<QWidget *>(ui->summaryLabel),
                       static_cast<QWidget *>(ui->progressBar), static_cast<QWidget *>(ui->pushUpdateTotalButton),
                       static_cast<QWidget *>(ui->previewPane), static_cast<QWidget *>(ui->totalInfoLabel),
                       static_cast<QWidget *>(ui->tableFileInfoView)})
        grid->removeWidget(w);
    for (QLayoutItem *item :
         {static_cast<QLayoutItem *>(ui->horizontalSpacer), static_cast<QLayoutItem *>(ui->horizontalSpacer_2),
          static_cast<QLayoutItem *>(ui->runButtons)})
        grid->removeItem(item);
    delete ui->horizontalSpacer;
    delete ui->horizontalSpacer_2;

    constexpr int kFirstColumn = 3;
    constexpr int kColumns = 8; // the list's seven and the preview's
    grid->addWidget(ui->totalInfoLabel, 2, 9, 1, 2);
    grid->addWidget(ui->tableFileInfoView, 3, kFirstColumn, 5, 7);
    grid->addWidget(ui->previewPane, 3, 10, 5, 1);
    auto *pages = new QHBoxLayout;
    pages->addWidget(ui->curPageLabel);
    pages->addStretch(1);
    pages->addWidget(ui->prePageBtn);
    pages->addWidget(ui->nextPageBtn);
    pages->addStretch(1);
    pages->addWidget(ui->label);
    pages->addWidget(ui->gotoPageBox);
    grid->addLayout(pages, 8, kFirstColumn, 1, kColumns);
    // The summary gets the whole width: its counts stay on one line.
    grid->addWidget(ui->summaryLabel, 9, kFirstColumn, 1, kColumns);
    auto *progress = new QHBoxLayout;
    progress->addWidget(ui->progressBar, 1);
    progress->addWidget(ui->pushUpdateTotalButton);
    progress->addLayout(ui->runButtons);
    grid->addLayout(progress, 11, kFirstColumn, 1, kColumns);
    // List and preview share what is left alike; the preview asks for 300 pixels of it.
    grid->setColumnStretch(10, 1);
}

void LocalForm::flushFileNames()
{
    m_dbFeed.flush();
    m_searchFeed.flush();
}

int LocalForm::countExistFiles()
{
    return m_organiser->countExistFiles();
}

void LocalForm::clearTable()
{
    m_pageItems = 0;
    ui->tableFileInfoView->clearAll();
    dropRunningListings();
}

void LocalForm::setAllDiskMode(bool allDisk)
{
    const QSignalBlocker blockAll(ui->checkAllDiskBox);
    const QSignalBlocker blockDir(ui->checkDirBox);
    if (m_searching) {
        m_organiser->requestStop();
        m_searching = false;
        if (allDisk)
            ui->pushStartSearchButton->setText(QStringLiteral("开始搜索"));
        else
            ui->searchAllDiskButton->setText(QStringLiteral("开始全盘搜索"));
    }
    ui->checkAllDiskBox->setChecked(allDisk);
    ui->checkDirBox->setChecked(!allDisk);
    ui->searchAllDiskButton->setEnabled(allDisk);
    ui->listDirWidget->setEnabled(!allDisk);
    ui->pushAddDirButton->setEnabled(!allDisk);
    ui->pushDeleteDirButton->setEnabled(!allDisk);
    ui->pushStartSearchButton->setEnabled(!allDisk);
}

void LocalForm::on_checkAllDiskBox_stateChanged(int arg1)
{
    if (arg1 == Qt::Checked)
        setAllDiskMode(true);
    else if (arg1 == Qt::Unchecked)
        setAllDiskMode(false);
    saveFolderMode();
}

void LocalForm::on_checkDirBox_stateChanged(int arg1)
{
    if (arg1 == Qt::Checked)
        setAllDiskMode(false);
    else if (arg1 == Qt::Unchecked)
        setAllDiskMode(true);
    saveFolderMode();
}

QString LocalForm::addFolderStart()
{
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!pictures.isEmpty() && QFileInfo(pictures).isDir())
        return pictures;
    return QDir::homePath();
}

void LocalForm::restoreFolderSettings()
{
    ReadWriteSetting *settings = ReadWriteSetting::getInstance();
    const QJsonArray folders = QJsonDocument::fromJson(settings->value(SettingsKeys::LocalFolders).toUtf8()).array();
    for (const QJsonValue &v : folders) {
        // A folder gone since stays listed: it may be on a disk that is not plugged in.
        const QString dir = v.toString();
        if (!dir.isEmpty() && ui->listDirWidget->findItems(dir, Qt::MatchExactly).isEmpty())
            new QListWidgetItem(dir, ui->listDirWidget);
    }
    setAllDiskMode(settings->number(SettingsKeys::LocalFolderMode) != 1);
}

void LocalForm::saveFolderList()
{
    QJsonArray folders;
    for (int i = 0; i < ui->listDirWidget->count(); ++i)
        folders.append(ui->listDirWidget->item(i)->text());
    ReadWriteSetting::getInstance()->setValue(SettingsKeys::LocalFolders,
                                              QString::fromUtf8(QJsonDocument(folders).toJson(QJsonDocument::Compact)));
}

void LocalForm::saveFolderMode()
{
    ReadWriteSetting::getInstance()->setValue(SettingsKeys::LocalFolderMode,
                                              ui->checkDirBox->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
}

void LocalForm::on_pushAddDirButton_clicked()
{
    const QString dir = Dialogs::existingDirectory(this, QStringLiteral("选择要整理的目录"), addFolderStart(),
                                                   Dialogs::ShowDirsOnly | Dialogs::DontResolveSymlinks);
    if (dir.isEmpty())
        return;
    for (int i = 0; i < ui->listDirWidget->count(); ++i) {
        if (ui->listDirWidget->item(i)->text() == dir)
            return;
    }
    auto *item = new QListWidgetItem(dir, ui->listDirWidget);
    ui->listDirWidget->setCurrentItem(item);
    saveFolderList();
}

void LocalForm::on_pushDeleteDirButton_clicked()
{
    QListWidgetItem *item = ui->listDirWidget->currentItem();
    if (!item)
        return;
    delete ui->listDirWidget->takeItem(ui->listDirWidget->row(item));
    saveFolderList();
}

void LocalForm::settleStoppedSearch()
{
    // The stopped run winds down on its own (never waited for here); once detached nothing of
    // it reaches the page, and what it sent before is handled now, so a late "finished" of the
    // old search can't stop the new one.
    m_organiser->detachRun();
    m_searchFeed.flush();
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    m_searchFeed.flush();
}

bool LocalForm::mediaChosen()
{
    LocalOrganiser *o = m_organiser.get();
    o->readMediaSettings();
    if (!o->picturesSelected() && !o->videosSelected()) {
        Dialogs::message(this, Dialogs::Warning, QStringLiteral("提示"),
                         QStringLiteral("请在设置页面选择整理图片或整理视频"), Dialogs::Ok);
        return false;
    }
    return true;
}

void LocalForm::on_pushStartSearchButton_clicked()
{
    if (!mediaChosen())
        return;
    LocalOrganiser *o = m_organiser.get();
    if (m_searching) {
        o->requestStop();
        m_searching = false;
        ui->pushStartSearchButton->setText(QStringLiteral("开始搜索"));
        on_updateStatus_slot(totalText(countExistFiles()), false);
        return;
    }
    if (ui->listDirWidget->count() == 0) {
        Dialogs::message(this, Dialogs::Warning, QStringLiteral("提示"), QStringLiteral("指定目录为空"), Dialogs::Ok);
        return;
    }
    settleStoppedSearch();
    m_expectedTotal = 0;
    o->setOrder(countExistFiles()); // new rows continue after the organised ones
    o->setShowDuplicates(false);
    updatePageLabel();
    on_updatePercent_slot(0);
    on_updateStatus_slot(QStringLiteral("分析磁盘目录"), true);
    QStringList folders;
    for (int i = 0; i < ui->listDirWidget->count(); ++i)
        folders.append(ui->listDirWidget->item(i)->text());
    startNewReport();
    if (!o->startFolderSearch(folders))
        return;
    m_searching = true;
    ui->pushStartSearchButton->setText(QStringLiteral("停止搜索"));
}

void LocalForm::on_searchAllDiskButton_clicked()
{
    if (!mediaChosen())
        return;
    LocalOrganiser *o = m_organiser.get();
    if (m_searching) {
        o->requestStop();
        m_searching = false;
        ui->searchAllDiskButton->setText(QStringLiteral("开始全盘搜索"));
        on_updateStatus_slot(totalText(countExistFiles()), false);
        return;
    }
    settleStoppedSearch();
    o->setOrder(0);
    o->setShowDuplicates(true); // files organised before are listed again
    m_expectedTotal = 0;
    clearTable();
    updatePageLabel();
    on_updatePercent_slot(0);
    on_updateStatus_slot(QStringLiteral("分析磁盘目录"), true);
    startNewReport();
    if (!o->startAllDiskSearch())
        return;
    m_searching = true;
    ui->searchAllDiskButton->setText(QStringLiteral("停止全盘搜索"));
}

void LocalForm::recvFileName(int order, QString filename)
{
    TableViewPage *table = ui->tableFileInfoView;
    if (order >= 0 && !filename.isEmpty())
        table->appendFile(order, filename);
    updatePageLabel();
    const int expected = m_expectedTotal;
    if (expected > 0) {
        const int p = int(qint64(table->getFileNumbers()) * 100 / expected);
        if (p != m_lastListPercent) {
            on_updatePercent_slot(p);
            m_lastListPercent = p;
            if (p >= 100)
                on_updateStatus_slot(totalText(expected), false);
        }
    }
    if (filename.isEmpty()) {
        on_updatePercent_slot(100);
        // None of the recorded files is there any more: the album is empty to the user.
        on_updateStatus_slot(order > 0 ? totalText(order) : QStringLiteral("未发现备份数据"), false);
    }
    const int pages = table->totalPage();
    while (m_pageItems < pages) {
        ++m_pageItems;
        ui->gotoPageBox->addItem(QString::number(m_pageItems));
    }
}

void LocalForm::recvDbFileName(int order, QString filename)
{
    if (filename.isEmpty() && m_listingsPending > 0)
        --m_listingsPending;
    if (m_listingsToSkip > 0) {
        // A row of a listing that started before the table was emptied.
        if (filename.isEmpty())
            --m_listingsToSkip;
        return;
    }
    emit signalDbFileName(order, filename);
}

void LocalForm::onSearchFinished_slot()
{
    // The table gets every file of the search before the search counts as ended.
    m_searchFeed.flush();
    LocalOrganiser *o = m_organiser.get();
    m_searching = false;
    o->setShowDuplicates(false);
    on_updateStatus_slot(totalText(o->countExistFiles()), false);
    ui->pushStartSearchButton->setText(QStringLiteral("开始搜索"));
    ui->searchAllDiskButton->setText(QStringLiteral("开始全盘搜索"));
}

void LocalForm::on_pushUpdateTotalButton_clicked()
{
    if (m_searching)
        return;
    clearTable();
    updatePageLabel();
    startListing(true);
}

void LocalForm::startListing(bool scanWhenEmpty)
{
    LocalOrganiser *o = m_organiser.get();
    const int n = countExistFiles();
    m_lastListPercent = 0;
    if (n < 1) {
        m_expectedTotal = 0;
        on_updateStatus_slot(QStringLiteral("未发现备份数据"), false);
    } else {
        m_expectedTotal = n;
        on_updateStatus_slot(totalText(n), true);
        ++m_listingsPending; // the table exists, so the listing ends with its end marker
    }
    // Even with no file counted, a listing finds files that have come back since the last one.
    if ((n >= 1 || scanWhenEmpty) && o->database())
        o->database()->startScan();
}

void LocalForm::dropRunningListings()
{
    m_listingsToSkip = m_listingsPending;
}

void LocalForm::on_updateStatus_slot(QString status, bool bShowLoading)
{
    ui->loadingLabel->setVisible(bShowLoading);
    // The animation only runs while it is seen.
    if (bShowLoading)
        m_movie->start();
    else
        m_movie->stop();
    if (!status.isEmpty())
        ui->totalInfoLabel->setText(status);
}

void LocalForm::on_updatePercent_slot(int percent)
{
    ui->progressBar->setValue(percent);
}

void LocalForm::on_updateview_slot(bool bValue)
{
    ui->tableFileInfoView->setUpdatesEnabled(bValue);
}

void LocalForm::updatePageLabel()
{
    TableViewPage *table = ui->tableFileInfoView;
    const int cur = table->getCurrentPage();
    const int total = table->totalPage();
    ui->curPageLabel->setText(QStringLiteral("页码") + QStringLiteral(" %1/%2").arg(cur).arg(total));
    if (cur == 0 && total == 0) {
        ui->prePageBtn->setEnabled(false);
        ui->nextPageBtn->setEnabled(false);
        if (ui->gotoPageBox->count() > 0) {
            const QSignalBlocker block(ui->gotoPageBox);
            ui->gotoPageBox->clear();
        }
        m_pageItems = 0;
    } else if (cur == 0) {
        ui->prePageBtn->setEnabled(true);
        ui->nextPageBtn->setEnabled(true);
    } else if (cur == 1) {
        ui->prePageBtn->setEnabled(false);
        ui->nextPageBtn->setEnabled(true);
    } else {
        ui->prePageBtn->setEnabled(true);
        ui->nextPageBtn->setEnabled(total != cur);
    }
}

void LocalForm::gotoPage(int index)
{
    if (m_pageJump) {
        m_pageJump = false;
        return;
    }
    ui->tableFileInfoView->gotoPage(index + 1);
    updatePageLabel();
}

void LocalForm::nextPage()
{
    ui->tableFileInfoView->nextPage();
    showCurrentPageInBox();
}

void LocalForm::prevPage()
{
    ui->tableFileInfoView->previousPage();
    showCurrentPageInBox();
}

void LocalForm::showCurrentPageInBox()
{
    updatePageLabel();
    const int index = ui->tableFileInfoView->getCurrentPage() - 1;
    // The guard stands for the box change made here, so it is set only when the index really
    // changes; else it would swallow the user's next choice in the box.
    if (index >= 0 && index < ui->gotoPageBox->count() && index != ui->gotoPageBox->currentIndex()) {
        m_pageJump = true;
        ui->gotoPageBox->setCurrentIndex(index);
        m_pageJump = false;
    }
}

void LocalForm::startNewReport()
{
    m_report.clear();
    m_reportBySource.clear();
    m_reportLeftOut = 0;
    m_summary = OrganiseSummary();
    ui->summaryLabel->clear();
    ui->reportButton->setEnabled(false);
}

void LocalForm::recordEntry(const OrganiseEntry &entry)
{
    if (m_report.size() >= m_reportLimit) {
        ++m_reportLeftOut;
        m_summary.count(entry.result);
        return;
    }
    m_reportBySource.insert(entry.source, m_report.size());
    m_report.append(entry);
    m_report.last().rawSource.clear(); // only the organiser needs the name's bytes
    m_summary.count(entry.result);
    ui->reportButton->setEnabled(true);
}

void LocalForm::showRunSummary(const OrganiseSummary &summary)
{
    m_summary = summary;
    ui->summaryLabel->setText(OrganiseReportDialog::summaryText(summary));
    ui->reportButton->setEnabled(true);
    if (m_reportDialog && m_reportDialog->isVisible())
        m_reportDialog->setReport(m_report, m_summary, m_reportLeftOut);
}

OrganiseReportDialog *LocalForm::showReport()
{
    if (!m_reportDialog) {
        m_reportDialog = new OrganiseReportDialog(this);
        connect(m_reportDialog, &OrganiseReportDialog::openFileRequested, this,
                [this](const QString &path) { openWithSystem(path, false); });
    }
    m_reportDialog->setReport(m_report, m_summary, m_reportLeftOut);
    // Not modal: the page goes on working while the list is open.
    m_reportDialog->show();
    m_reportDialog->raise();
    m_reportDialog->activateWindow();
    return m_reportDialog;
}

void LocalForm::previewRow(int row)
{
    const QString path = row >= 0 ? ui->tableFileInfoView->shownPath(row) : QString();
    if (path.isEmpty()) {
        ui->previewPane->clear();
        return;
    }
    const auto it = m_reportBySource.constFind(path);
    ui->previewPane->showFile(path, it != m_reportBySource.constEnd() ? m_report.at(*it) : OrganiseEntry());
}

void LocalForm::showTableMenu(const QPoint &pos)
{
    TableViewPage *table = ui->tableFileInfoView;
    const QModelIndex index = table->indexAt(pos);
    QMenu menu(this);
    if (index.isValid()) {
        const QString path = table->shownPath(index.row());
        menu.addAction(QStringLiteral("打开文件"), this, [this, path] { openWithSystem(path, false); });
        menu.addAction(QStringLiteral("打开所在文件夹"), this,
                       [this, path] { openWithSystem(QFileInfo(path).absolutePath(), true); });
        menu.addSeparator();
    }
    menu.addAction(QStringLiteral("打开整理后的文件夹"), this, &LocalForm::openOrganisedFolder);
    menu.exec(table->viewport()->mapToGlobal(pos));
}

void LocalForm::openOrganisedFolder()
{
    const QString folder = organisedFolder(m_organiser->savePath());
    if (!QFileInfo(folder).isDir()) {
        Dialogs::message(this, Dialogs::Information, QStringLiteral("提示"),
                         QStringLiteral("还没有整理过的文件：%1 尚不存在。").arg(folder), Dialogs::Ok);
        return;
    }
    openWithSystem(folder, true);
}

void LocalForm::openWithSystem(const QString &path, bool folder)
{
    const QFileInfo info(path);
    // The same words as the phone page's 打开文件夹.
    const QString title = folder ? QStringLiteral("打开文件夹") : QStringLiteral("打开文件");
    const QString shown = QDir::toNativeSeparators(path);
    if (path.isEmpty() || (folder ? !info.isDir() : !info.exists())) {
        Dialogs::message(this, Dialogs::Information, title,
                         (folder ? QStringLiteral("文件夹不存在：\n") : QStringLiteral("文件不存在：\n")) + shown,
                         Dialogs::Ok);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath()))) {
        Dialogs::message(this, Dialogs::Warning, title,
                         folder
                             ? QStringLiteral("无法打开文件夹：\n") + shown + QStringLiteral("\n请用文件管理器打开它。")
                             : QStringLiteral("无法打开文件：\n") + shown + QStringLiteral("\n没有可以打开它的程序。"),
                         Dialogs::Ok);
    }
}
