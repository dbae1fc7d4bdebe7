#include "Globals.h"

#include <QApplication>
#include <QCursor>
#include <QLineEdit>
#include <QProgressBar>

#include <iostream>

#include "InstallForm.h"

namespace drossgate::setup {

namespace {

bool g_messagesToStderr = false;
MessageHook g_messageHook;
QuestionHook g_questionHook;

}  // namespace

// --- Messages -----------------------------------------------------------------------------

void SetMessagesToStderr(bool toStderr) {
  g_messagesToStderr = toStderr;
}
bool MessagesToStderr() {
  return g_messagesToStderr;
}
void SetMessageHook(MessageHook hook) {
  g_messageHook = std::move(hook);
}

void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                 const QString& text) {
  if (g_messageHook) {
    g_messageHook(icon, title, text);
    return;
  }
  if (g_messagesToStderr) {
    std::cerr << title.toStdString() << ": " << text.toStdString() << std::endl;
    return;
  }
  QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
  box.exec();
}

void SetQuestionHook(QuestionHook hook) {
  g_questionHook = std::move(hook);
}

bool AskQuestion(QWidget* parent, const QString& title, const QString& text) {
  if (g_questionHook) return g_questionHook(title, text);
  return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

QString FatalErrorText(const platform::PlatformError& error) {
  return QStringLiteral("%1 (error %2)")
      .arg(QString::fromStdString(error.description()))
      .arg(error.number());
}

Hourglass::Hourglass() {
  QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}
Hourglass::~Hourglass() {
  QApplication::restoreOverrideCursor();
}

// --- Identity -----------------------------------------------------------------------------

void FillIdentityField(InstallForm& form) {
  const std::string user = GetCurrentUserName();
  auto records = RunDirectoryQuery(
      form.globals(),
      "SELECT sAMAccountName, cn, objectCategory FROM '" +
          QuoteQueryValue(form.globals().GlobalCatalogPath) + "' " +
          "WHERE objectcategory='person' AND sAMAccountName='" + QuoteQueryValue(user) + "'",
      {{"searchscope", int32_t{2}}, {"cache results", false}, {"Chase Referrals", int32_t{96}}});
  std::string identity;
  if (!records->IsEof()) {
    const std::string domain = DomainOfCategory(records->Field("objectcategory").Text());
    if (!domain.empty()) identity = domain + "\\" + user;
  }
  records->Close();
  const std::string workstationDomain = GetWorkstationDomain();
  if (!workstationDomain.empty()) identity = workstationDomain + "\\" + user;
  form.ui().txtIdent->setText(QString::fromStdString(identity));
}

// --- Progress -----------------------------------------------------------------------------

void UpdateStatus(int32_t increment, QProgressBar& picture, int32_t& progressCount) {
  const int32_t scale = picture.maximum();
  progressCount += increment;
  if (progressCount > scale) progressCount = scale;
  picture.setValue(progressCount);
  // Drawn when the caller lets the window's events run: the bar is repainted when it changes,
  // not once per record.
  picture.setFormat(QString::number(PercentOf(progressCount, scale)) + QLatin1Char('%'));
}

}  // namespace drossgate::setup
