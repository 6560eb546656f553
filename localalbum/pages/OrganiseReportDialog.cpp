#include "localalbum/pages/OrganiseReportDialog.h"

#include "localalbum/pages/DateSourceLabel.h"

#include <QAbstractTableModel>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QLocale>
#include <QRegExp>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

namespace {

enum Column {
    ResultColumn,
    SourceColumn,
    TargetColumn,
    ReasonColumn,
    TimeColumn,
    TimeSourceColumn,
    SizeColumn,
    ColumnCount
};

const OrganiseEntry::Result kResults[] = {OrganiseEntry::Result::Copied,   OrganiseEntry::Result::Duplicate,
                                          OrganiseEntry::Result::TooSmall, OrganiseEntry::Result::OtherType,
                                          OrganiseEntry::Result::Failed,   OrganiseEntry::Result::FolderSkipped};

// Notes read from their start: they are cut at the end, where paths are cut in the middle.
class ReasonDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = Qt::ElideRight;
    }
};

} // namespace

class OrganiseReportModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setEntries(const QVector<OrganiseEntry> &entries)
    {
        beginResetModel();
        m_entries = entries; // shared with the page's list until either changes
        endResetModel();
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : m_entries.size();
    }
    int columnCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : ColumnCount;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_entries.size())
            return QVariant();
        const OrganiseEntry &e = m_entries.at(index.row());
        if (role == Qt::UserRole)
            return int(e.result);
        if (role == Qt::ToolTipRole) {
            switch (index.column()) {
            case SourceColumn: return e.source;
            case TargetColumn: return e.target;
            case ReasonColumn: return e.reason.isEmpty() ? QVariant() : e.reason;
            default: return QVariant();
            }
        }
        if (role != Qt::DisplayRole)
            return QVariant();
        switch (index.column()) {
        case ResultColumn: return OrganiseReportDialog::resultText(e.result);
        case SourceColumn: return e.source;
        case TargetColumn: return e.target;
        case ReasonColumn: return e.reason;
        case TimeColumn:
            return e.captureTime.isValid() ? e.captureTime.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : QString();
        case TimeSourceColumn: return dateSourceLabel(e.dateSource);
        case SizeColumn: return e.size < 0 ? QString() : QLocale().toString(e.size);
        }
        return QVariant();
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return QAbstractTableModel::headerData(section, orientation, role);
        static const char *const names[] = {"结果",     "源文件",   "整理后 / 已有的副本", "说明",
                                            "拍摄时间", "时间来源", "大小（字节）"};
        return section >= 0 && section < ColumnCount ? QString::fromUtf8(names[section]) : QVariant();
    }

    const OrganiseEntry &entry(int row) const { return m_entries.at(row); }

private:
    QVector<OrganiseEntry> m_entries;
};

OrganiseReportDialog::OrganiseReportDialog(QWidget *parent)
    : QDialog(parent), m_model(new OrganiseReportModel(this)), m_proxy(new QSortFilterProxyModel(this))
{
    setWindowTitle(QStringLiteral("整理明细"));
    resize(1100, 560);
    m_proxy->setSourceModel(m_model);
    m_proxy->setFilterRole(Qt::UserRole);
    m_proxy->setFilterKeyColumn(ResultColumn);

    auto *layout = new QVBoxLayout(this);
    auto *top = new QHBoxLayout;
    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("reportSummary"));
    m_filter = new QComboBox(this);
    m_filter->setObjectName(QStringLiteral("reportFilter"));
    m_filter->addItem(QStringLiteral("全部"), -1);
    for (OrganiseEntry::Result r : kResults)
        m_filter->addItem(resultText(r), int(r));
    top->addWidget(m_summary, 1);
    top->addWidget(new QLabel(QStringLiteral("显示："), this));
    top->addWidget(m_filter);
    layout->addLayout(top);

    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("reportTable"));
    m_table->setModel(m_proxy);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideMiddle); // a long path keeps its start and its file name in view
    m_table->setItemDelegateForColumn(ReasonColumn, new ReasonDelegate(m_table));
    m_table->setAlternatingRowColors(true);
    m_table->verticalHeader()->hide();
    QHeaderView *header = m_table->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionResizeMode(SourceColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(TargetColumn, QHeaderView::Stretch);
    // Short columns as wide as their longest text; only the rows in view are measured.
    for (int c : {ResultColumn, TimeColumn, TimeSourceColumn, SizeColumn})
        header->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    header->setResizeContentsPrecision(0);
    header->resizeSection(ReasonColumn, 160);
    layout->addWidget(m_table, 1);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(QStringLiteral("关闭"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    layout->addWidget(buttons);

    connect(m_filter, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int i) { setFilter(m_filter->itemData(i).toInt()); });
    connect(m_table, &QTableView::doubleClicked, this, [this](const QModelIndex &index) {
        const OrganiseEntry &e = m_model->entry(m_proxy->mapToSource(index).row());
        // The organised copy when there is one, else the file as it was found.
        emit openFileRequested(!e.target.isEmpty() && QFileInfo(e.target).isFile() ? e.target : e.source);
    });
}

OrganiseReportDialog::~OrganiseReportDialog() = default;

void OrganiseReportDialog::setReport(const QVector<OrganiseEntry> &entries, const OrganiseSummary &summary, int leftOut)
{
    m_model->setEntries(entries);
    QString text = summaryText(summary);
    if (leftOut > 0)
        text += QStringLiteral("（下表列出前 %1 个文件，另有 %2 个未列出）").arg(entries.size()).arg(leftOut);
    m_summary->setText(text);
}

void OrganiseReportDialog::setFilter(int result)
{
    const int index = m_filter->findData(result);
    if (index >= 0 && index != m_filter->currentIndex()) {
        m_filter->setCurrentIndex(index); // comes back here through the box's signal
        return;
    }
    m_proxy->setFilterRegExp(result < 0 ? QRegExp() : QRegExp(QStringLiteral("^%1$").arg(result)));
}

int OrganiseReportDialog::shownRows() const
{
    return m_proxy->rowCount();
}

QString OrganiseReportDialog::resultText(OrganiseEntry::Result r)
{
    switch (r) {
    case OrganiseEntry::Result::Copied: return QStringLiteral("已复制");
    case OrganiseEntry::Result::Duplicate: return QStringLiteral("重复");
    case OrganiseEntry::Result::TooSmall: return QStringLiteral("太小");
    case OrganiseEntry::Result::OtherType: return QStringLiteral("其他类型");
    case OrganiseEntry::Result::Failed: return QStringLiteral("失败");
    case OrganiseEntry::Result::FolderSkipped: return QStringLiteral("文件夹未读取");
    }
    return QString();
}

QString OrganiseReportDialog::summaryText(const OrganiseSummary &s)
{
    QStringList lines{QStringLiteral("本次整理%1：已复制 %2，重复 %3，太小 %4，其他类型 %5，失败 %6")
                          .arg(s.stopped ? QStringLiteral("（已停止）") : QString())
                          .arg(s.copied)
                          .arg(s.duplicates)
                          .arg(s.tooSmall)
                          .arg(s.otherType)
                          .arg(s.failed)};
    // What was not looked at goes on lines of its own, each short enough not to wrap.
    if (s.folders > 0)
        lines << QStringLiteral("未读取的文件夹 %1（见整理明细）").arg(s.folders);
    if (s.picturesLeftOut > 0)
        lines << QStringLiteral("图片 %1 个未整理（整理图片未开启）").arg(s.picturesLeftOut);
    if (s.videosLeftOut > 0)
        lines << QStringLiteral("视频 %1 个未整理（整理视频未开启）").arg(s.videosLeftOut);
    return lines.join(QLatin1Char('\n'));
}
