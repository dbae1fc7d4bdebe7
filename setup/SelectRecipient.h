#pragma once
// The forwarding recipient picker: every mail-enabled user, group, contact and public folder
// of the directory in a sortable list, one row per address; "OK" writes "name <address>" into
// the target of the main window's rule row that opened it, "Cancel" changes nothing. Directory
// failures are not reported: a failed query leaves the list empty.

#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QMap>
#include <QString>

#include <cstdint>
#include <string>

#include "directory/directory.h"
#include "modShowListViewColumnHeaderSortIcon.h"

class QLabel;
class QProgressBar;
class QStackedWidget;
class QPushButton;
class QStatusBar;
class QTreeWidget;
class QTreeWidgetItem;

namespace drossgate::setup {

class InstallForm;

// The kind of a recipient, from its directory attributes: "user", "userdisabled", "group",
// "contact" or "pf" (public folder).
std::string RecipientKind(const platform::directory::Value& samAccountType,
                          const platform::directory::Value& userAccountControl,
                          const platform::directory::Value& mapiRecipient);

// The drawn row icons, under the kind names of RecipientKind.
QMap<QString, QIcon> RecipientIcons();

class SelectRecipient : public QDialog {
  Q_OBJECT

 public:
  enum Column : int { kNameColumn = 0, kDistinguishedNameColumn = 1, kMailColumn = 2 };
  // Item data of a row's first column.
  static constexpr int kKindRole = Qt::UserRole;     // the kind, as RecipientKind names it
  static constexpr int kTagRole = Qt::UserRole + 1;  // "pf" on a public folder's row

  // The result goes to the target of the main window's rule row `row`.
  SelectRecipient(InstallForm& owner, int row, QWidget* parent = nullptr);

  // Once per opening (the first show does it): the column headers, the list, sorted by name
  // ascending with its first row selected.
  void Form_Activate();
  // Refills the list from the directory.
  void GetList();
  // "OK" (and a double click on a row).
  void Command1_Click();
  // "Cancel".
  void Command2_Click();
  // A click on a column header: sorts by "Name" or "E-mail address", toggling the order.
  void ListView1_ColumnClick(int column);

  // The row whose address is key (compared without regard to case), or null.
  QTreeWidgetItem* RowByKey(const QString& key) const;
  const ListSort& sort() const { return sort_; }

  QTreeWidget* ListView1 = nullptr;
  QLabel* lblLoading = nullptr;     // shown in the list's place while it fills
  QPushButton* Command1 = nullptr;  // "OK"
  QPushButton* Command2 = nullptr;  // "Cancel"
  QStatusBar* StatusBar1 = nullptr;
  QProgressBar* Picture1 = nullptr;  // the progress bar in the status bar's "progress" panel
  QMap<QString, QIcon> ImageList2;   // the row icons by kind

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void AddRow(const platform::directory::RecordSet& record);
  void SortBy(int column, Qt::SortOrder order);

  QStackedWidget* listArea_ = nullptr;  // the list, or "Loading..." while it fills
  InstallForm& owner_;
  int row_;
  int16_t nameSortOrder_ = 0;  // 0 ascending, 1 descending
  int16_t mailSortOrder_ = 0;
  QString rememberedKey_;
  QHash<QString, QTreeWidgetItem*> rowsByKey_;
  ListSort sort_;
  bool activated_ = false;
  bool activationQueued_ = false;
};

}  // namespace drossgate::setup
