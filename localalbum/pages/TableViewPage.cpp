#include "localalbum/pages/TableViewPage.h"

#include "localalbum/pages/CustomTableModel.h"

#include <QHeaderView>
#include <QItemDelegate>
#include <QKeyEvent>
#include <QSortFilterProxyModel>

TableViewPage::TableViewPage(QWidget *parent)
    : QTableView(parent), m_model(new CustomTableModel()), m_proxy(new QSortFilterProxyModel(this))
{
    m_proxy->setSourceModel(m_model);
    setModel(m_proxy);
    verticalHeader()->hide();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // A path wrapped inside its row would lose its end, the file name, below the row.
    setWordWrap(false);
    setTextElideMode(Qt::ElideMiddle);
}

TableViewPage::~TableViewPage()
{
    // The proxy goes first so it never refers to a deleted source.
    setModel(nullptr);
    delete m_proxy;
    delete m_model;
}

void TableViewPage::contextMenuEvent(QContextMenuEvent *)
{
    // The table has no context menu.
}

void TableViewPage::keyPressEvent(QKeyEvent *event)
{
    if (event->modifiers() == Qt::NoModifier && m_fileCount > 0) {
        const int row = currentIndex().isValid() ? currentIndex().row() : -1;
        const int rows = m_proxy->rowCount();
        const bool hasNext = m_currentPage * m_pageSize < m_fileCount;
        const bool hasPrevious = m_currentPage > 1;
        if ((event->key() == Qt::Key_Down && rows > 0 && row == rows - 1 && hasNext) ||
            (event->key() == Qt::Key_PageDown && hasNext)) {
            emit pageStepRequested(1);
            return;
        }
        if ((event->key() == Qt::Key_Up && row == 0 && hasPrevious) ||
            (event->key() == Qt::Key_PageUp && hasPrevious)) {
            emit pageStepRequested(-1);
            return;
        }
        if (event->key() == Qt::Key_Home || event->key() == Qt::Key_End) {
            emit edgeRequested(event->key() == Qt::Key_End);
            return;
        }
    }
    QTableView::keyPressEvent(event);
}

void TableViewPage::insert(QVariantList)
{
    m_lastPageRows = m_fileCount % m_pageSize;
    if (m_lastPageRows == 0)
        m_lastPageRows = m_pageSize;
    if (m_lastPageRows < m_pageSize) {
        m_currentPage = m_totalPages;
    } else {
        m_totalPages += 1;
        m_currentPage = m_totalPages;
    }
}

void TableViewPage::remove()
{
    updateModel();
}

void TableViewPage::previousPage()
{
    if (m_firstRow > 0 && m_fileCount > 0) {
        m_currentPage -= 1;
        updateModel();
    }
}

void TableViewPage::nextPage()
{
    if (m_currentPage < m_totalPages && m_fileCount > 0) {
        m_currentPage += 1;
        updateModel();
    }
}

void TableViewPage::gotoPage(int index)
{
    if (index > 0 && index <= m_totalPages && index != m_currentPage) {
        m_currentPage = index;
        updateModel();
    }
}

int TableViewPage::totalPage()
{
    m_totalPages = m_fileCount / m_pageSize + (m_fileCount % m_pageSize ? 1 : 0);
    return m_totalPages;
}

void TableViewPage::updateModel()
{
    m_firstRow = m_pageSize * (m_currentPage - 1);
    const int rows = m_fileCount < m_currentPage * m_pageSize ? m_fileCount - m_firstRow : m_pageSize;
    m_model->clearRows();
    for (int i = m_firstRow; i < m_firstRow + rows; ++i) {
        if (i >= 0 && i < m_fileCount)
            m_model->addRow(i, m_files.at(i));
    }
}

void TableViewPage::highLightView(bool)
{
    setItemDelegate(new QItemDelegate(this));
}

void TableViewPage::updateCurrentView()
{
}

int TableViewPage::getFileNumbers() const
{
    return m_files.size();
}

int TableViewPage::getCurrentPage() const
{
    return m_fileCount > 0 ? m_currentPage : 0;
}

void TableViewPage::appendFile(int order, const QString &path)
{
    m_files.append(path);
    // The new file is shown when it falls on the page being shown: the first page while it fills
    // (numbered by its order), or the partial last page the user is looking at (numbered by its
    // position, like every rebuilt page). Other pages are left as they are, so the page number
    // always matches the rows on screen.
    if (m_model->rowCount() < m_pageSize) {
        if (m_currentPage <= 1) {
            m_model->addRow(order, path);
            m_currentPage = 1;
        } else if (m_fileCount / m_pageSize + 1 == m_currentPage) {
            m_model->addRow(m_fileCount, path);
        }
    }
    m_fileCount += 1;
}

void TableViewPage::clearAll()
{
    m_fileCount = 0;
    m_totalPages = 0;
    m_lastPageRows = 0;
    m_currentPage = 0;
    m_firstRow = 0; // else the first page refilled after a clear would count as a later one
    m_files.clear();
    m_model->clearRows();
}

QString TableViewPage::shownPath(int row) const
{
    return m_proxy->index(row, 1).data().toString();
}

int TableViewPage::shownNumber(int row) const
{
    return m_proxy->index(row, 0).data().toInt();
}

int TableViewPage::shownRows() const
{
    return m_proxy->rowCount();
}
