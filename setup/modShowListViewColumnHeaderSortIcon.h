#pragma once
// The one place that decides which column header of a list shows the sort arrow: the column
// the list is sorted by, in the direction of its order, unless that column is excluded (a
// hidden column never shows one). At most one header shows an arrow. It cannot fail.

#include <QList>
#include <Qt>

#include <optional>

class QHeaderView;

namespace drossgate::setup {

// How a list is sorted: a column (-1 none) and its order.
struct ListSort {
  int column = -1;
  Qt::SortOrder order = Qt::AscendingOrder;
};

// Redraws the header's arrows: on sort.column, or on column when one is given, with the
// arrow of sort.order; no arrow when that column is excluded or does not exist.
void ShowListViewColumnHeaderSortIcon(QHeaderView& header, const ListSort& sort,
                                      const QList<int>& excludedColumns,
                                      std::optional<int> column = std::nullopt);

}  // namespace drossgate::setup
