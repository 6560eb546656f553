#pragma once

#include "localalbum/OrganiseReport.h"

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QWidget>

#include <atomic>
#include <memory>

class QLabel;
class QLineEdit;

// What the preview shows of one file; gathered off the GUI thread.
struct PreviewData
{
    quint64 request = 0;
    QString shown;     // the path the table shows
    QString source;    // the file the organiser found (empty: not known)
    QString organised; // its organised copy (empty: not known or not copied)
    QDateTime captureTime;
    QString timeSource; // which EXIF tag or container field, or "文件时间"
    qint64 size = -1;   // -1: the file is not there
    bool video = false;
    QImage image;       // null: no picture (a video, a refused or unreadable file)
    QString why;        // why there is no picture
    bool stale = false; // a newer selection came first; nothing was read
};

// The right side of the local album page: the selected file scaled to fit the space it has,
// with its capture time, where that time came from, its size and both of its paths.
//
// Each selection starts one job on a small pool of its own (the organise workers fill the
// global pool for a whole run, and a file on a hung disk must not hold anything else up).
// Only the newest selection's result is shown; older jobs stop before their expensive steps
// and their results are dropped. Nothing here ever waits for a job.
class PreviewPane : public QWidget
{
    Q_OBJECT
public:
    explicit PreviewPane(QWidget *parent = nullptr);
    ~PreviewPane() override;

    // localfiles.db, read for the other path of a row (source <-> organised copy).
    void setDatabasePath(const QString &path) { m_dbPath = path; }
    // The organised tree ("…/万特相册/本地"): a path under it is an organised copy.
    void setOrganisedRoot(const QString &path) { m_organisedRoot = path; }

    // Shows path; known holds what this run's report says of it (source empty: nothing).
    void showFile(const QString &path, const OrganiseEntry &known = OrganiseEntry());
    void clear();

    // The last result shown (tests).
    const PreviewData &shownData() const { return m_data; }
    bool hasPicture() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Reads everything the preview shows of path (any thread).
    static PreviewData gather(const QString &path, const OrganiseEntry &known, const QString &dbPath,
                              const QString &organisedRoot, const QSize &fit);

signals:
    // A job's result has been put on screen.
    void previewShown(const QString &path);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void present(const PreviewData &data);
    void updatePicture();

    static constexpr int kDetailsWidth = 170;

    QString m_dbPath;
    QString m_organisedRoot;
    QLabel *m_picture = nullptr;
    QWidget *m_details = nullptr;
    QLabel *m_time = nullptr;
    QLabel *m_timeSource = nullptr;
    QLabel *m_size = nullptr;
    QLineEdit *m_source = nullptr;
    QLineEdit *m_organised = nullptr;
    PreviewData m_data;
    quint64 m_requests = 0;
    // Read by the jobs: the newest request; shared so a job can outlive the pane.
    std::shared_ptr<std::atomic<quint64>> m_latest;
};
