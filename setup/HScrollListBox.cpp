#include "HScrollListBox.h"

#include <QFontMetrics>
#include <QListWidget>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>

namespace drossgate::setup {

int SetHorizontalExtent(QListWidget& list) {
  const QFontMetrics metrics(list.font());
  const int scrollBar = list.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &list);
  int extent = 0;
  for (int i = 0; i < list.count(); ++i)
    extent = std::max(extent, metrics.horizontalAdvance(list.item(i)->text()) + scrollBar);
  // The view scrolls over the width of its items as long as none is wrapped, elided or forced
  // to a common size; the extent is then the widest item's width.
  list.setWordWrap(false);
  list.setUniformItemSizes(false);
  list.setTextElideMode(Qt::ElideNone);
  list.setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  list.setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  list.doItemsLayout();
  return extent;
}

}  // namespace drossgate::setup
