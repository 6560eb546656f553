#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QVector>

// What happened to one file a local search found. The organiser emits one per file (from its
// workers, queued to the page) and a summary when the run ends; the page shows the summary line
// and lets the user see the whole list.
struct OrganiseEntry
{
    // FolderSkipped: a folder the search could not read (missing, not a folder, unreadable) or
    // passed over; source is the folder.
    enum class Result { Copied, Duplicate, TooSmall, OtherType, Failed, FolderSkipped };

    Result result = Result::Failed;
    QByteArray rawSource;  // the source path's bytes as on disk (names need not be valid UTF-8)
    QString source;        // the source path for display
    QString target;        // where the organised copy lies (Copied), or the copy it duplicates
    QString reason;        // why it failed or was skipped; notes such as a converted target name
    QString dateSource;    // where the capture time came from, e.g. "EXIF DateTimeOriginal", "mvhd", "文件时间"
    QDateTime captureTime; // the time the date folders were chosen by (invalid when none was read)
    qint64 size = -1;
};

struct OrganiseSummary
{
    int copied = 0;
    int duplicates = 0;
    int tooSmall = 0;
    int otherType = 0;
    int failed = 0;
    int folders = 0;         // folders not read (not counted in total(), which counts files)
    bool stopped = false;    // the user stopped the run before every file was handled
    int picturesLeftOut = 0; // pictures the folder search passed over: 整理图片 is off (not in total())
    int videosLeftOut = 0;   // likewise videos: 整理视频 is off

    void count(OrganiseEntry::Result r)
    {
        switch (r) {
        case OrganiseEntry::Result::Copied: ++copied; break;
        case OrganiseEntry::Result::Duplicate: ++duplicates; break;
        case OrganiseEntry::Result::TooSmall: ++tooSmall; break;
        case OrganiseEntry::Result::OtherType: ++otherType; break;
        case OrganiseEntry::Result::Failed: ++failed; break;
        case OrganiseEntry::Result::FolderSkipped: ++folders; break;
        }
    }
    int total() const { return copied + duplicates + tooSmall + otherType + failed; }
};

Q_DECLARE_METATYPE(OrganiseEntry)
Q_DECLARE_METATYPE(OrganiseSummary)
