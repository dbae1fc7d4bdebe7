#include "Secret.h"

#include <sys/prctl.h>

#include <QLineEdit>

#include <cstring>

namespace drossgate::setup {

namespace {

int g_holders = 0;
int g_before = 1;

}  // namespace

NotDumpable::NotDumpable() {
  if (g_holders++ > 0) return;
  g_before = prctl(PR_GET_DUMPABLE);
  prctl(PR_SET_DUMPABLE, 0);
}

NotDumpable::~NotDumpable() {
  if (--g_holders == 0 && g_before > 0) prctl(PR_SET_DUMPABLE, g_before);
}

void Wipe(std::string& secret) {
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

void Wipe(QString& secret) {
  // A text shared with other copies is overwritten for them too; only literal data, which
  // never held a typed secret, is read-only.
  if (secret.data_ptr()->isMutable())
    explicit_bzero(const_cast<QChar*>(secret.constData()),
                   static_cast<size_t>(secret.size()) * sizeof(QChar));
  secret.clear();
}

void Wipe(QByteArray& secret) {
  if (secret.data_ptr()->isMutable())
    explicit_bzero(const_cast<char*>(secret.constData()), static_cast<size_t>(secret.size()));
  secret.clear();
}

void Wipe(QLineEdit& edit) {
  QString text = edit.text();  // shares the line edit's own buffer
  Wipe(text);
  edit.clear();
}

std::string SecretText(const QLineEdit& edit) {
  QByteArray utf8 = edit.text().toUtf8();
  std::string text(utf8.constData(), static_cast<size_t>(utf8.size()));
  Wipe(utf8);
  return text;
}

}  // namespace drossgate::setup
