#include "SelectRecipient.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <memory>

#include "Freeze.h"
#include "Globals.h"
#include "InstallForm.h"
#include "text.h"

namespace drossgate::setup {

namespace dir = platform::directory;

namespace {

constexpr const char* kCaption = "Select Forwarding Recipient";
constexpr const char* kSystemMailboxPrefix = "SystemMailbox{";
constexpr uint32_t kAccountDisabled = 2;
// The hidden distinguished-name column never shows a sort arrow.
const QList<int> kColumnsWithoutArrow = {SelectRecipient::kDistinguishedNameColumn};

std::string RecipientQuery(const std::string& searchBase) {
  return "SELECT name, adspath, cn, homeMDB, homeMTA, mail,  mailNickName, distinguishedName, "
         "sAMAccountType,mAPIRecipient,userAccountControl "
         "FROM '" +
         QuoteQueryValue(searchBase) +
         "' "
         "WHERE mail='*' AND ((objectcategory='publicFolder') OR (objectcategory='group') OR "
         "(objectcategory='person' AND (objectclass='user' OR objectclass='contact'))) "
         "  ORDER BY cn";
}

QString TrimSpaces(const QString& s) {
  return QString::fromStdString(text::Trim(s.toStdString()));
}

QString KeyOf(const QString& address) {
  return QString::fromStdString(text::ToLower(address.toStdString()));
}

// A row that sorts by its column's text without regard to case, as a list view does.
class RecipientItem : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    return text(column).compare(other.text(column), Qt::CaseInsensitive) < 0;
  }
};

// --- Row icons ----------------------------------------------------------------------------

const QColor kOutline(40, 40, 40);

// A head and shoulders in a 16-unit square, shifted by dx and scaled by size.
void DrawPerson(QPainter& p, qreal dx, qreal dy, qreal size, const QColor& fill) {
  p.setPen(QPen(kOutline, 0.8));
  p.setBrush(fill);
  const qreal s = size / 16.0;
  p.drawEllipse(QRectF(dx + 5 * s, dy + 1 * s, 6 * s, 6 * s));
  QPainterPath body;
  body.moveTo(dx + 2 * s, dy + 15 * s);
  body.cubicTo(dx + 2 * s, dy + 8 * s, dx + 14 * s, dy + 8 * s, dx + 14 * s, dy + 15 * s);
  body.closeSubpath();
  p.drawPath(body);
}

QPixmap DrawIcon(int pixels, const std::function<void(QPainter&)>& draw) {
  QPixmap pixmap(pixels, pixels);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(pixels / 16.0, pixels / 16.0);
  draw(painter);
  return pixmap;
}

QIcon MakeIcon(const std::function<void(QPainter&)>& draw) {
  QIcon icon;
  for (int pixels : {16, 24, 32}) icon.addPixmap(DrawIcon(pixels, draw));
  return icon;
}

void DrawUser(QPainter& p) {
  DrawPerson(p, 0, 0, 16, QColor(52, 110, 210));
}

void DrawDisabledUser(QPainter& p) {
  DrawPerson(p, 0, 0, 16, QColor(165, 165, 165));
  // A red "no entry" sign over the lower right.
  p.setPen(QPen(QColor(210, 30, 30), 1.6));
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(8.5, 8.5, 6.5, 6.5));
  p.drawLine(QPointF(9.6, 13.9), QPointF(13.9, 9.6));
}

void DrawGroup(QPainter& p) {
  DrawPerson(p, 5, 0, 11, QColor(40, 140, 70));
  DrawPerson(p, 0, 5, 11, QColor(90, 200, 120));
}

void DrawPublicFolder(QPainter& p) {
  p.setPen(QPen(QColor(120, 85, 10), 0.9));
  p.setBrush(QColor(240, 195, 60));
  QPainterPath folder;
  folder.moveTo(1, 4);
  folder.lineTo(6, 4);
  folder.lineTo(7.5, 5.5);
  folder.lineTo(15, 5.5);
  folder.lineTo(15, 14);
  folder.lineTo(1, 14);
  folder.closeSubpath();
  p.drawPath(folder);
  p.setBrush(QColor(250, 215, 100));
  p.drawRect(QRectF(1, 7, 14, 7));
  // A globe: the folder is shared.
  p.setPen(QPen(QColor(20, 70, 160), 0.9));
  p.setBrush(QColor(120, 180, 240));
  p.drawEllipse(QRectF(6, 8, 5.5, 5.5));
  p.drawLine(QPointF(6, 10.75), QPointF(11.5, 10.75));
  p.drawLine(QPointF(8.75, 8), QPointF(8.75, 13.5));
}

void DrawContact(QPainter& p) {
  p.setPen(QPen(QColor(130, 80, 20), 0.9));
  p.setBrush(QColor(255, 245, 225));
  p.drawRoundedRect(QRectF(0.5, 2.5, 15, 11), 1.5, 1.5);
  DrawPerson(p, 1.5, 4, 8, QColor(220, 130, 40));
  p.setPen(QPen(QColor(130, 80, 20), 1.1));
  for (qreal y : {6.0, 8.5, 11.0}) p.drawLine(QPointF(10, y), QPointF(14, y));
}

}  // namespace

std::string RecipientKind(const dir::Value& samAccountType, const dir::Value& userAccountControl,
                          const dir::Value& mapiRecipient) {
  if (!samAccountType.IsNull()) {
    const std::string type = samAccountType.Text();
    if (text::EqualsNoCase(type, "805306368")) {
      const auto flags = static_cast<uint32_t>(userAccountControl.Int32().value_or(0));
      return (flags & kAccountDisabled) ? "userdisabled" : "user";
    }
    if (text::EqualsNoCase(type, "268435456") || text::EqualsNoCase(type, "268435457"))
      return "group";
    return "contact";
  }
  return mapiRecipient.IsNull() ? "pf" : "contact";
}

QMap<QString, QIcon> RecipientIcons() {
  return {{QStringLiteral("user"), MakeIcon(DrawUser)},
          {QStringLiteral("userdisabled"), MakeIcon(DrawDisabledUser)},
          {QStringLiteral("group"), MakeIcon(DrawGroup)},
          {QStringLiteral("pf"), MakeIcon(DrawPublicFolder)},
          {QStringLiteral("contact"), MakeIcon(DrawContact)}};
}

// --- Construction -------------------------------------------------------------------------

SelectRecipient::SelectRecipient(InstallForm& owner, int row, QWidget* parent)
    : QDialog(parent), owner_(owner), row_(row) {
  setObjectName(QStringLiteral("SelectRecipient"));
  setWindowTitle(QString::fromLatin1(kCaption));
  ImageList2 = RecipientIcons();

  ListView1 = new QTreeWidget;
  ListView1->setObjectName(QStringLiteral("ListView1"));
  // Report style: a flat list of rows with column headers.
  ListView1->setRootIsDecorated(false);
  ListView1->setItemsExpandable(false);
  ListView1->setUniformRowHeights(true);
  ListView1->setAllColumnsShowFocus(true);
  ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1->setSortingEnabled(false);  // sorting follows the header clicks, below
  ListView1->header()->setSectionsClickable(true);
  ListView1->header()->setSectionsMovable(false);
  ListView1->setHeaderHidden(false);
  ListView1->setColumnCount(0);

  Command1 = new QPushButton(QStringLiteral("OK"));
  Command1->setObjectName(QStringLiteral("Command1"));
  Command1->setDefault(true);
  Command2 = new QPushButton(QStringLiteral("Cancel"));
  Command2->setObjectName(QStringLiteral("Command2"));
  for (QPushButton* button : {Command1, Command2})
    button->setMinimumWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("Cancel")) + 40);

  StatusBar1 = new QStatusBar;
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setSizeGripEnabled(false);
  Picture1 = new QProgressBar;
  Picture1->setObjectName(QStringLiteral("Picture1"));
  Picture1->setProperty("panel", QStringLiteral("progress"));
  Picture1->setTextVisible(true);
  Picture1->setAlignment(Qt::AlignCenter);
  Picture1->setFormat(QString());
  QFont barFont = Picture1->font();
  barFont.setBold(true);
  Picture1->setFont(barFont);
  QPalette barPalette = Picture1->palette();
  barPalette.setColor(QPalette::Base, Qt::white);
  barPalette.setColor(QPalette::Window, Qt::white);
  barPalette.setColor(QPalette::Highlight, QColor(0, 0, 255));
  Picture1->setPalette(barPalette);
  Picture1->setVisible(false);
  StatusBar1->addWidget(Picture1, 1);

  lblLoading = new QLabel(QStringLiteral("Loading..."));
  lblLoading->setObjectName(QStringLiteral("lblLoading"));
  lblLoading->setAlignment(Qt::AlignCenter);
  lblLoading->setAutoFillBackground(true);
  lblLoading->setBackgroundRole(QPalette::Base);
  listArea_ = new QStackedWidget;
  listArea_->addWidget(ListView1);
  listArea_->addWidget(lblLoading);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 0);
  layout->addWidget(listArea_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(Command1);
  buttons->addWidget(Command2);
  layout->addLayout(buttons);
  layout->addWidget(StatusBar1);
  resize(640, 420);

  connect(Command1, &QPushButton::clicked, this, &SelectRecipient::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &SelectRecipient::Command2_Click);
  connect(ListView1, &QTreeWidget::itemDoubleClicked, this, [this] { Command1_Click(); });
  connect(ListView1->header(), &QHeaderView::sectionClicked, this,
          &SelectRecipient::ListView1_ColumnClick);
}

void SelectRecipient::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!activated_ && !activationQueued_) {
    activationQueued_ = true;
    // After the first paint, so the window and its progress bar are on screen while it fills.
    QTimer::singleShot(0, this, [this] {
      if (isVisible()) Form_Activate();
    });
  }
}

void SelectRecipient::Form_Activate() {
  if (activated_) return;
  activated_ = true;
  Hourglass hourglass;
  ListView1->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Distinguished Name"),
                              QStringLiteral("E-mail address")});
  ListView1->header()->setSectionHidden(kDistinguishedNameColumn, true);
  GetList();
  // The name column's order starts at descending, so that the click sorts ascending.
  nameSortOrder_ = 1;
  ListView1_ColumnClick(kNameColumn);
  if (QTreeWidgetItem* first = ListView1->topLevelItem(0)) {
    ListView1->scrollToItem(first);
    ListView1->setCurrentItem(first);
    first->setSelected(true);
  }
}

// --- The list -----------------------------------------------------------------------------

void SelectRecipient::GetList() {
  Hourglass hourglass;
  // The list is not drawn while it fills; what shows in its place says why.
  listArea_->setCurrentWidget(lblLoading);
  struct ShowList {
    SelectRecipient& picker;
    ~ShowList() { picker.listArea_->setCurrentWidget(picker.ListView1); }
  } showList{*this};
  Freeze freeze;
  freeze.Form(*ListView1);
  ListView1->clear();
  rowsByKey_.clear();

  Globals& globals = owner_.globals();
  std::unique_ptr<dir::RecordSet> records;
  platform::SkipOnError([&] {
    records = RunDirectoryQuery(globals, RecipientQuery(globals.GlobalCatalogPath),
                                ListingQueryProperties());
  });
  if (records) {
    bool progressShown = false;
    platform::SkipOnError([&] {
      if (records->IsEof()) return;
      globals.ProgressCount = 0;
      Picture1->setRange(0, std::max(records->RecordCount(), int32_t{1}));
      Picture1->setValue(0);
      Picture1->setVisible(true);
      progressShown = true;
      for (; !records->IsEof(); records->MoveNext()) {
        UpdateStatus(1, *Picture1, globals.ProgressCount);
        QCoreApplication::processEvents();
        // A record that cannot be read is skipped.
        platform::SkipOnError([&] { AddRow(*records); });
      }
    });
    if (progressShown) {
      Picture1->reset();
      Picture1->setFormat(QString());
      Picture1->setVisible(false);
    }
  }
  if (!rememberedKey_.isEmpty()) {
    if (QTreeWidgetItem* item = RowByKey(rememberedKey_)) {
      ListView1->setCurrentItem(item);
      item->setSelected(true);
    }
  }
  if (records) platform::SkipOnError([&] { records->Close(); });
  ListView1->resizeColumnToContents(kNameColumn);
  ListView1->resizeColumnToContents(kMailColumn);
  // Room between the longest name and the addresses; the last column fills the rest anyway.
  ListView1->setColumnWidth(kNameColumn,
                            ListView1->columnWidth(kNameColumn) +
                                ListView1->fontMetrics().horizontalAdvance(QStringLiteral("MM")));
}

void SelectRecipient::AddRow(const dir::RecordSet& record) {
  const std::string dn = record.Field("distinguishedName").Text();
  if (dn.empty()) return;
  if (text::StartsWithNoCase(record.Field("mailNickName").Text(), kSystemMailboxPrefix)) return;
  const QString kind = QString::fromStdString(RecipientKind(record.Field("sAMAccountType"),
                                                            record.Field("userAccountControl"),
                                                            record.Field("mAPIRecipient")));
  const QString mail = QString::fromStdString(record.Field("mail").Text());
  // The address is the row's key: a second row with the same address is not added.
  const QString key = KeyOf(mail);
  if (!key.isEmpty() && rowsByKey_.contains(key)) return;

  auto* item = new RecipientItem;
  item->setText(kNameColumn, QString::fromStdString(record.Field("name").Text()));
  item->setText(kDistinguishedNameColumn, QString::fromStdString(dn));
  item->setText(kMailColumn, mail);
  item->setIcon(kNameColumn, ImageList2.value(kind));
  item->setData(kNameColumn, kKindRole, kind);
  if (kind == QLatin1String("pf")) item->setData(kNameColumn, kTagRole, kind);
  ListView1->addTopLevelItem(item);
  if (!key.isEmpty()) rowsByKey_.insert(key, item);
}

QTreeWidgetItem* SelectRecipient::RowByKey(const QString& key) const {
  return rowsByKey_.value(KeyOf(key), nullptr);
}

// --- Sorting ------------------------------------------------------------------------------

void SelectRecipient::ListView1_ColumnClick(int column) {
  int16_t* clicked = nullptr;
  int16_t* other = nullptr;
  if (column == kNameColumn) {
    clicked = &nameSortOrder_;
    other = &mailSortOrder_;
  } else if (column == kMailColumn) {
    clicked = &mailSortOrder_;
    other = &nameSortOrder_;
  } else {
    return;
  }
  *clicked = *clicked == 0 ? 1 : 0;
  // The other column's next click sorts ascending.
  *other = 1;
  SortBy(column, *clicked == 0 ? Qt::AscendingOrder : Qt::DescendingOrder);

  const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
  if (!selected.isEmpty()) {
    ListView1->scrollToItem(selected.front());
    rememberedKey_ = selected.front()->text(kMailColumn);
  }
}

void SelectRecipient::SortBy(int column, Qt::SortOrder order) {
  sort_ = {column, order};
  ListView1->sortItems(column, order);
  ShowListViewColumnHeaderSortIcon(*ListView1->header(), sort_, kColumnsWithoutArrow);
}

// --- Buttons ------------------------------------------------------------------------------

void SelectRecipient::Command1_Click() {
  const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
  const auto& rows = owner_.ui().rows;
  if (selected.isEmpty() || row_ < 0 || row_ >= static_cast<int>(rows.size())) {
    reject();
    return;
  }
  const QString name = TrimSpaces(selected.front()->text(kNameColumn));
  if (name.isEmpty()) {
    reject();
    return;
  }
  const QString address = TrimSpaces(selected.front()->text(kMailColumn));
  const QString result =
      address.isEmpty() ? name : name + QStringLiteral(" <") + address + QLatin1Char('>');
  QLineEdit* target = rows[row_].txtSpamFolder;
  target->setText(result);
  // The box is narrower than most recipients.
  target->setToolTip(result);
  accept();
}

void SelectRecipient::Command2_Click() {
  reject();
}

}  // namespace drossgate::setup
