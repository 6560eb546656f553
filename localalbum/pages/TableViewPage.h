#pragma once

#include <QString>
#include <QTableView>
#include <QVariantList>
#include <QVector>

class CustomTableModel;
class QSortFilterProxyModel;

// The paged table of the local album page: keeps every path handed to it and shows one page of
// ten through CustomTableModel (behind a sort/filter proxy). The page drives it by direct calls.
// Numbers in the first column: a row appended to the first page shows its order + 1; a page
// rebuilt by paging shows each row's position in the whole list, counted from 1.
class TableViewPage : public QTableView
{
    Q_OBJECT
public:
    explicit TableViewPage(QWidget *parent = nullptr);
    ~TableViewPage() override;

    int getFileNumbers() const;
    int getCurrentPage() const;
    void appendFile(int order, const QString &path);
    void clearAll();

    // The path shown in row row of the current page (tests, the page's tool tips).
    QString shownPath(int row) const;
    int shownNumber(int row) const;
    int shownRows() const;

signals:
    void insertAct();
    void removeAct();
    // The keys asked for the next (+1) or previous (-1) page: an arrow past the page's last or
    // first row, or Page Down / Page Up.
    void pageStepRequested(int step);
    // Home or End: the first row of the first page, or the last row of the last page.
    void edgeRequested(bool last);

public slots:
    void insert(QVariantList valueList);
    void remove();
    void previousPage();
    void nextPage();
    void gotoPage(int index);
    int totalPage();
    void updateModel();
    void highLightView(bool);
    void updateCurrentView();

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    CustomTableModel *m_model;
    QSortFilterProxyModel *m_proxy;
    int m_firstRow = 0;
    int m_pageSize = 10;
    int m_lastPageRows = 0;
    int m_fileCount = 0;
    int m_currentPage = 0;
    int m_totalPages = 0;
    QVector<QString> m_files;
};
