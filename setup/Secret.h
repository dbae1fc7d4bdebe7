#pragma once
// The component's password while the program holds it. A core dump or a debugger of the same
// user would find every copy in memory, so the process is marked not dumpable for as long as
// anything holds it, and the buffers that held it are overwritten once the catalog has it.

#include <QByteArray>
#include <QString>

#include <string>

class QLineEdit;

namespace drossgate::setup {

// Not dumpable while any of these lives; the previous setting comes back with the last one.
class NotDumpable {
 public:
  NotDumpable();
  ~NotDumpable();
  NotDumpable(const NotDumpable&) = delete;
  NotDumpable& operator=(const NotDumpable&) = delete;
};

// Overwrite the characters in place (also a buffer shared with other copies), then empty.
void Wipe(std::string& secret);
void Wipe(QString& secret);
void Wipe(QByteArray& secret);
// The line edit's text, overwritten where the line edit keeps it, then cleared.
void Wipe(QLineEdit& edit);

// Overwrites the string when the scope ends, whichever way it ends.
class WipedAtEnd {
 public:
  explicit WipedAtEnd(std::string& secret) : secret_(secret) {}
  ~WipedAtEnd() { Wipe(secret_); }
  WipedAtEnd(const WipedAtEnd&) = delete;
  WipedAtEnd& operator=(const WipedAtEnd&) = delete;

 private:
  std::string& secret_;
};

// The line edit's text as UTF-8 without a stray copy left behind.
std::string SecretText(const QLineEdit& edit);

}  // namespace drossgate::setup
