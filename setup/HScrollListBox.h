#pragma once
// Horizontal scrolling for the mailbox lists, whose entries are often wider than the list.

class QListWidget;

namespace drossgate::setup {

// Gives list a horizontal scroll range that fits its widest entry (measured with the list's
// font, plus a vertical scroll bar's width); returns that width in pixels.
int SetHorizontalExtent(QListWidget& list);

}  // namespace drossgate::setup
