// The paged table and its model: ten rows a page, paging bounds, numbering of appended and
// rebuilt rows, header texts, no editing and no context menu of its own, keys past a page's edge.
#include "localalbum/pages/CustomTableModel.h"
#include "localalbum/pages/TableViewPage.h"
#include "tests/support/TablePages.h"

#include <QtTest>
#include <QAbstractItemModel>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QTimer>

using TablePages::range;
using TablePages::shownNumbers;

namespace {

QString path(int i)
{
    return QStringLiteral("/photos/IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0'));
}

void fill(TableViewPage &t, int n, int firstOrder = 0)
{
    for (int i = 0; i < n; ++i) {
        t.appendFile(firstOrder + i, path(firstOrder + i));
        t.totalPage(); // as the page does after every file
    }
}

} // namespace

class TestTableViewPage : public QObject
{
    Q_OBJECT
private slots:
    void pagingThroughTwentyFiveFiles()
    {
        TableViewPage t;
        QCOMPARE(t.getCurrentPage(), 0);
        QCOMPARE(t.totalPage(), 0);
        fill(t, 1);
        QCOMPARE(t.getCurrentPage(), 1);
        QCOMPARE(t.totalPage(), 1);
        fill(t, 24, 1);
        QCOMPARE(t.getFileNumbers(), 25);
        QCOMPARE(t.totalPage(), 3);
        QCOMPARE(shownNumbers(t), range(1, 10));
        QCOMPARE(t.shownPath(0), path(0));

        t.nextPage();
        QCOMPARE(shownNumbers(t), range(11, 20));
        t.nextPage();
        QCOMPARE(shownNumbers(t), range(21, 25));
        QCOMPARE(t.shownPath(4), path(24));
        QCOMPARE(t.getCurrentPage(), 3);
        t.nextPage(); // the last page: nothing
        QCOMPARE(t.getCurrentPage(), 3);
        QCOMPARE(shownNumbers(t), range(21, 25));
        t.previousPage();
        QCOMPARE(shownNumbers(t), range(11, 20));
        t.previousPage();
        t.previousPage(); // the first page: nothing
        QCOMPARE(t.getCurrentPage(), 1);
        QCOMPARE(shownNumbers(t), range(1, 10));
    }

    void gotoPageBounds()
    {
        TableViewPage t;
        fill(t, 25);
        t.gotoPage(3);
        QCOMPARE(shownNumbers(t), range(21, 25));
        for (int bad : {4, 0, -1, 3}) {
            t.gotoPage(bad);
            QCOMPARE(t.getCurrentPage(), 3);
            QCOMPARE(shownNumbers(t), range(21, 25));
        }
        t.gotoPage(1);
        QCOMPARE(shownNumbers(t), range(1, 10));
    }

    void appendedRowsShowTheirOrderRebuiltRowsTheirPosition()
    {
        TableViewPage t;
        t.appendFile(41, path(41));
        t.totalPage();
        QCOMPARE(shownNumbers(t), QList<int>{42});
        t.updateModel();
        QCOMPARE(shownNumbers(t), QList<int>{1});
        QCOMPARE(t.shownPath(0), path(41));
        t.remove(); // the same rebuild
        QCOMPARE(shownNumbers(t), QList<int>{1});
    }

    void fileArrivingWhileALaterPageIsShown()
    {
        TableViewPage t;
        fill(t, 25);
        t.gotoPage(3);
        // Falls on the page shown: it appears there, numbered by position.
        t.appendFile(25, path(25));
        QCOMPARE(t.totalPage(), 3);
        QCOMPARE(shownNumbers(t), range(21, 26));
        QCOMPARE(t.getCurrentPage(), 3);
        t.gotoPage(2);
        // Falls on another page: the page shown stays as it is.
        t.appendFile(26, path(26));
        QCOMPARE(shownNumbers(t), range(11, 20));
        QCOMPARE(t.getCurrentPage(), 2);
        t.gotoPage(3);
        QCOMPARE(shownNumbers(t), range(21, 27));
        QCOMPARE(t.shownPath(6), path(26));
    }

    void clearAllEmptiesAndStartsAgain()
    {
        TableViewPage t;
        fill(t, 25);
        t.gotoPage(3);
        t.clearAll();
        QCOMPARE(t.getFileNumbers(), 0);
        QCOMPARE(t.getCurrentPage(), 0);
        QCOMPARE(t.totalPage(), 0);
        QCOMPARE(t.shownRows(), 0);
        fill(t, 12, 0);
        QCOMPARE(shownNumbers(t), range(1, 10));
        t.previousPage(); // page 1 again: nothing, even after a clear from page 3
        QCOMPARE(t.getCurrentPage(), 1);
        QCOMPARE(shownNumbers(t), range(1, 10));
        t.nextPage();
        QCOMPARE(shownNumbers(t), range(11, 12));
    }

    void keysPastThePageEdgeAskForAnotherPage()
    {
        TableViewPage t;
        t.setSelectionBehavior(QAbstractItemView::SelectRows);
        fill(t, 25);
        QSignalSpy steps(&t, &TableViewPage::pageStepRequested);
        t.selectRow(0);
        QTest::keyClick(&t, Qt::Key_Up); // the first page has none before it
        QTest::keyClick(&t, Qt::Key_Down);
        QCOMPARE(t.currentIndex().row(), 1);
        QCOMPARE(steps.count(), 0);
        t.selectRow(9);
        QTest::keyClick(&t, Qt::Key_Down);
        QTest::keyClick(&t, Qt::Key_PageDown);
        QCOMPARE(steps.count(), 2);
        QCOMPARE(steps.at(0).first().toInt(), 1);
        t.gotoPage(3);
        t.selectRow(4);
        QTest::keyClick(&t, Qt::Key_Down); // the last row of the last page
        QTest::keyClick(&t, Qt::Key_PageDown);
        QCOMPARE(steps.count(), 2);
        t.selectRow(0);
        QTest::keyClick(&t, Qt::Key_Up);
        QCOMPARE(steps.count(), 3);
        QCOMPARE(steps.last().first().toInt(), -1);
    }

    void modelHeadersAndEditing()
    {
        CustomTableModel m;
        QCOMPARE(m.columnCount(), 2);
        QCOMPARE(m.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("序号"));
        QCOMPARE(m.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("文件名"));
        QCOMPARE(m.headerData(4, Qt::Vertical, Qt::DisplayRole).toInt(), 5);
        QVERIFY(!m.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
        QVERIFY(!m.headerData(2, Qt::Horizontal, Qt::DisplayRole).isValid());

        QCOMPARE(m.addRow(6, QStringLiteral("/a.jpg")), 1);
        const QModelIndex path = m.index(0, 1);
        QCOMPARE(m.data(m.index(0, 0)).toInt(), 7);
        QCOMPARE(m.data(path, Qt::EditRole).toString(), QStringLiteral("/a.jpg"));
        QVERIFY(!m.data(path, Qt::DecorationRole).isValid());
        QVERIFY(!(m.flags(path) & Qt::ItemIsEditable));
        QVERIFY(!m.setData(path, QStringLiteral("/b.jpg"), Qt::EditRole));
        QCOMPARE(m.data(path).toString(), QStringLiteral("/a.jpg"));
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        QVERIFY(m.setData(path, QStringLiteral("/c.jpg"), Qt::UserRole));
        QCOMPARE(changed.count(), 1);
        QVERIFY(!m.setData(QModelIndex(), 1, Qt::UserRole));
        m.clearRows();
        QCOMPARE(m.rowCount(), 0);
        m.clearRows(); // nothing to remove: no signal pair
    }

    void viewHasNoMenuAndNoEditing()
    {
        TableViewPage t;
        fill(t, 3);
        t.resize(400, 300);
        t.show();
        QVERIFY(QTest::qWaitForWindowExposed(&t));
        QVERIFY(t.verticalHeader()->isHidden());
        QCOMPARE(t.editTriggers(), QAbstractItemView::NoEditTriggers);
        bool menuSeen = false;
        QTimer::singleShot(200, [&] {
            if (QWidget *popup = QApplication::activePopupWidget()) {
                menuSeen = true;
                popup->close();
            }
        });
        const QPoint at = t.visualRect(t.model()->index(0, 1)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, t.viewport()->mapToGlobal(at));
        QApplication::sendEvent(t.viewport(), &event);
        QTest::qWait(300);
        QVERIFY(!menuSeen);
        t.highLightView(true);
        QVERIFY(t.itemDelegate() != nullptr);
    }
};

QTEST_MAIN(TestTableViewPage)
#include "tst_tableviewpage.moc"
