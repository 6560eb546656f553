#pragma once

#include "localalbum/pages/TableViewPage.h"

#include <QList>

// The numbers a paged table shows on its current page, and the run of numbers a page should show.
namespace TablePages {

inline QList<int> shownNumbers(const TableViewPage &t)
{
    QList<int> out;
    for (int r = 0; r < t.shownRows(); ++r)
        out << t.shownNumber(r);
    return out;
}

inline QList<int> range(int from, int to)
{
    QList<int> out;
    for (int i = from; i <= to; ++i)
        out << i;
    return out;
}

} // namespace TablePages
