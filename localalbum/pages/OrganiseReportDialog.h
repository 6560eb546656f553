#pragma once

#include "localalbum/OrganiseReport.h"

#include <QDialog>
#include <QVector>

class QComboBox;
class QLabel;
class QSortFilterProxyModel;
class QTableView;
class OrganiseReportModel;

// The whole list of what an organise run did with each file, with a filter by result. Shown
// without blocking the page (it asks nothing), so it never goes through the dialog seam.
class OrganiseReportDialog : public QDialog
{
    Q_OBJECT
public:
    explicit OrganiseReportDialog(QWidget *parent = nullptr);
    ~OrganiseReportDialog() override;

    // leftOut: files of the run counted in the summary but not kept in the list.
    void setReport(const QVector<OrganiseEntry> &entries, const OrganiseSummary &summary, int leftOut = 0);
    // -1: every result; else an OrganiseEntry::Result.
    void setFilter(int result);
    int shownRows() const;
    QTableView *table() const { return m_table; }

    static QString resultText(OrganiseEntry::Result r);
    // The one-line summary the page shows after a run.
    static QString summaryText(const OrganiseSummary &s);

signals:
    // The user asked to open a listed file (double-click).
    void openFileRequested(const QString &path);

private:
    OrganiseReportModel *m_model = nullptr;
    QSortFilterProxyModel *m_proxy = nullptr;
    QTableView *m_table = nullptr;
    QComboBox *m_filter = nullptr;
    QLabel *m_summary = nullptr;
};
