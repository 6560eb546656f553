#pragma once

#include "localalbum/LocalOrganiser.h"
#include "localalbum/OrganiseReport.h"
#include "localalbum/pages/FileNameFeed.h"

#include <QHash>
#include <QString>
#include <QVector>
#include <QWidget>

#include <memory>

class MUploadThread;
class OrganiseReportDialog;
class PreviewPane;
class QMovie;
namespace Ui {
class LocalForm;
}

// The local album page: all-disk or folder mode, the folder list, the two start/stop buttons,
// the paged table of organised files with its page label, buttons and page box, a status text,
// a loading animation and a progress bar.
//
// The searches, the organise workers and the state they share (the found list, m_order,
// m_stopSearch, the locks, the database) live in LocalOrganiser, which can be driven without a
// window; the page owns one and connects its signals to the page's slots. File
// names from the workers and from the database listing reach the table through FileNameFeed,
// a slice at a time, so a listing of 100,000 files never freezes the window. Destroying the
// page stops every search, worker and listing and waits for them before any member goes away.
class LocalForm : public QWidget
{
    Q_OBJECT
public:
    LocalForm(QWidget *parent, QString savepath);
    ~LocalForm() override;

    LocalOrganiser *organiser() const { return m_organiser.get(); }
    bool isSearching() const { return m_searching; }
    // Passes on every file name the workers and the listing have sent so far (tests).
    void flushFileNames();

    // What the last organise run did with each file, in the order the workers reported it.
    const QVector<OrganiseEntry> &report() const { return m_report; }
    // Opens the report's window (created at first use).
    OrganiseReportDialog *showReport();
    // The list keeps this many files of a run (a whole-disk run can find hundreds of thousands);
    // the summary still counts every one.
    void setReportLimit(int rows) { m_reportLimit = rows; }
    // The folder the add-folder dialog starts in: the Pictures folder when there is one, else home.
    static QString addFolderStart();

signals:
    // A file name from the organiser, passed on in order a slice at a time (FileNameFeed).
    void setFileName(int order, QString filename);
    void signalDbFileName(int order, QString filename);

private slots:
    void on_searchAllDiskButton_clicked();
    void on_checkAllDiskBox_stateChanged(int arg1);
    void on_checkDirBox_stateChanged(int arg1);
    void on_pushAddDirButton_clicked();
    void on_pushStartSearchButton_clicked();
    void recvFileName(int order, QString filename);
    void on_pushDeleteDirButton_clicked();
    void onSearchFinished_slot();
    void on_pushUpdateTotalButton_clicked();
    void recvDbFileName(int order, QString filename);
    void gotoPage(int index);
    void nextPage();
    void prevPage();

private:
    // Slots in all but name: connected by function pointer, kept out of the slot list because
    // the form's connection by name would look for the widgets their names suggest.
    void on_updateStatus_slot(QString status, bool bShowLoading);
    void on_updatePercent_slot(int percent);
    void on_updateview_slot(bool bValue);

    // Reads the media settings; warns and returns false when neither pictures nor videos are chosen.
    bool mediaChosen();
    void setAllDiskMode(bool allDisk);
    void updatePageLabel();
    // After a page step: the page label, and the page box moved to the table's page.
    void showCurrentPageInBox();
    // Lists the organised files again into the table (at creation and on the listing button).
    void startListing(bool scanWhenEmpty);
    // The table was emptied: rows of a listing still under way belong to the old table.
    void dropRunningListings();
    // Lets the jobs of a stopped search end and handles what they sent, so that nothing of the
    // old search reaches the page after a new one has started.
    void settleStoppedSearch();
    void clearTable();
    int countExistFiles();

    void restoreFolderSettings();
    void saveFolderList();
    void saveFolderMode();
    // A run starts: the report of the last one is dropped.
    void startNewReport();
    void recordEntry(const OrganiseEntry &entry);
    void showRunSummary(const OrganiseSummary &summary);
    void previewRow(int row);
    void showTableMenu(const QPoint &pos);
    void openOrganisedFolder();
    // Opens path with the system's default program; says so when that can't be done.
    void openWithSystem(const QString &path, bool folder);
    // Lays the list, the preview and the controls below them out for narrow windows too.
    void arrangeListAndPreview();
    // The constructor's parts: the listing's feed, the looks of the table and the controls, the
    // organiser's signals, the table's and buttons' signals, and the search query, upload
    // thread and first listing started.
    void connectListing();
    void styleTable();
    void styleControls();
    void connectOrganiser();
    void connectTableAndButtons();
    void startBackgroundWork();

    std::unique_ptr<Ui::LocalForm> ui;
    FileNameFeed m_searchFeed;
    FileNameFeed m_dbFeed;
    std::unique_ptr<LocalOrganiser> m_organiser;
    std::unique_ptr<MUploadThread> m_uploadThread;
    QMovie *m_movie = nullptr;
    OrganiseReportDialog *m_reportDialog = nullptr;
    QVector<OrganiseEntry> m_report;
    QHash<QString, int> m_reportBySource; // display source path -> index in m_report
    int m_reportLimit = 100000;
    int m_reportLeftOut = 0;
    OrganiseSummary m_summary;
    // Page state (the worker state is in m_organiser).
    bool m_searching = false;
    int m_pageItems = 0;
    bool m_pageJump = false;
    int m_lastListPercent = 0;
    int m_expectedTotal = 0;   // rows the listing under way will give (0: none)
    int m_listingsPending = 0; // listings sure to end with their end marker, not yet ended
    int m_listingsToSkip = 0;  // of those, listings whose rows are dropped
};
