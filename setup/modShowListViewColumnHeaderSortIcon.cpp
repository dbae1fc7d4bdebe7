#include "modShowListViewColumnHeaderSortIcon.h"

#include <QHeaderView>

namespace drossgate::setup {

void ShowListViewColumnHeaderSortIcon(QHeaderView& header, const ListSort& sort,
                                      const QList<int>& excludedColumns,
                                      std::optional<int> column) {
  const int arrowColumn = column.value_or(sort.column);
  const bool shown =
      arrowColumn >= 0 && arrowColumn < header.count() && !excludedColumns.contains(arrowColumn);
  // The header draws its one indicator on the given section; -1 draws none.
  header.setSortIndicator(shown ? arrowColumn : -1, sort.order);
  header.setSortIndicatorShown(shown);
}

}  // namespace drossgate::setup
