#pragma once
// What the setup tool's windows share: message boxes (on screen, or on stderr in batch mode),
// the hourglass, the identity field's default and the progress bar. The state and the queries
// beneath them are in Session.h.

#include <QMessageBox>
#include <QString>

#include <cstdint>
#include <functional>

#include "Session.h"

class QProgressBar;
class QWidget;

namespace drossgate::setup {

class InstallForm;

// --- Messages -----------------------------------------------------------------------------

// Batch mode: no window may wait for a person, so a message box becomes a line on stderr.
void SetMessagesToStderr(bool toStderr);
bool MessagesToStderr();
// Tests replace the boxes with a recorder; an empty hook restores the normal route.
using MessageHook =
    std::function<void(QMessageBox::Icon, const QString& title, const QString& text)>;
void SetMessageHook(MessageHook hook);
// An OK-only message box (or its stderr line in batch mode).
void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                 const QString& text);
// A Yes/No question box, true for Yes; the window's own, never asked in batch mode. Tests answer
// through the hook; an empty hook restores the box.
using QuestionHook = std::function<bool(const QString& title, const QString& text)>;
void SetQuestionHook(QuestionHook hook);
bool AskQuestion(QWidget* parent, const QString& title, const QString& text);
// The message that ends the program after a platform failure it cannot go on without.
QString FatalErrorText(const platform::PlatformError& error);

// Hourglass pointer for the lifetime of the object.
class Hourglass {
 public:
  Hourglass();
  ~Hourglass();
  Hourglass(const Hourglass&) = delete;
  Hourglass& operator=(const Hourglass&) = delete;
};

// txtIdent := domain + "\" + the current user.
void FillIdentityField(InstallForm& form);

// Advances progressCount by increment (held at the bar's scale) and shows the percentage.
void UpdateStatus(int32_t increment, QProgressBar& picture, int32_t& progressCount);

}  // namespace drossgate::setup
