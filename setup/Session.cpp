#include "Session.h"

#include <QDateTime>
#include <QLocale>

#include "system/system.h"
#include "text.h"

namespace drossgate::setup {

namespace dir = platform::directory;

namespace {

// The locale's long time format without its time-zone designator.
QString LongTimeFormat(const QLocale& locale) {
  QString format = locale.timeFormat(QLocale::LongFormat);
  format.remove(QLatin1Char('t'));
  return format.trimmed();
}

}  // namespace

// --- Error log ----------------------------------------------------------------------------

QString LogDateTime() {
  const QLocale locale;
  const QDateTime now = QDateTime::currentDateTime();
  return locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(now.time(), LongTimeFormat(locale));
}

void AppendErrorLog(ErrorLog& log, const std::string& subject,
                    const platform::PlatformError& error) {
  const QString entry = QLatin1Char('[') + LogDateTime() + QStringLiteral("] ") +
                        QString::fromStdString(subject) + QStringLiteral(" - ERROR: ") +
                        QString::number(error.number()) + QLatin1Char(' ') +
                        QString::fromStdString(error.description()) + QStringLiteral("\r\n\r\n");
  log.SetErrorLogText(entry + log.ErrorLogText());
}

std::string WithoutLogTime(std::string_view entry) {
  const size_t end = entry.find("] ");
  if (entry.empty() || entry.front() != '[' || end == std::string_view::npos)
    return std::string(entry);
  return std::string(entry.substr(end + 2));
}

// --- Directory queries --------------------------------------------------------------------

const std::vector<QueryProperty>& ListingQueryProperties() {
  static const std::vector<QueryProperty> properties = {
      {"searchscope", int32_t{2}}, {"cache results", true},        {"Chase Referrals", int32_t{96}},
      {"Page Size", int32_t{100}}, {"Size Limit", int32_t{30000}}, {"Timeout", int32_t{120}}};
  return properties;
}

std::unique_ptr<dir::RecordSet> RunDirectoryQuery(Globals& globals, const std::string& text,
                                                  const std::vector<QueryProperty>& properties) {
  if (!globals.DirectoryConnection)
    platform::Fail(platform::errors::kNotOpen, "The directory connection is not open");
  auto command = dir::CreateCommand();
  command->SetActiveConnection(globals.DirectoryConnection.get());
  command->SetCommandText(text);
  for (const auto& [name, value] : properties) command->SetProperty(name, value);
  return command->Execute();
}

std::string ServerNameOf(std::string_view homeServer) {
  const size_t at = text::RFindNoCase(homeServer, "CN=");
  if (at == std::string_view::npos || at + 3 >= homeServer.size()) return {};
  return std::string(homeServer.substr(at + 3));
}

std::string DomainOfCategory(std::string_view category) {
  std::string c(category);
  const size_t first = text::FindNoCase(c, "DC=");
  if (first == std::string::npos) return {};
  c = c.substr(first + 3);
  const size_t lead = c.find_first_not_of(' ');
  c.erase(0, lead == std::string::npos ? c.size() : lead);
  if (c.empty()) return {};
  const size_t last = text::RFindNoCase(c, "DC=");
  if (last != std::string::npos) {
    const size_t comma = c.find(',', last);
    // A 1-based position of 3 or later: at least two characters stay.
    if (comma != std::string::npos && comma >= 2) c.resize(comma);
  }
  c = text::ReplaceAll(c, " ", "");
  return text::ReplaceAll(c, ",DC=", ".");
}

// --- Lookups ------------------------------------------------------------------------------

std::string GetCurrentUserName() {
  return platform::ValueOr(std::string(), [] { return platform::CurrentUserName(); });
}

std::string GetWorkstationDomain() {
  return platform::ValueOr(std::string(), [] { return platform::Machine().workgroup; });
}

int32_t PercentOf(int64_t count, int64_t scale) {
  if (scale <= 0) return 0;
  const int64_t scaled = count * 100;
  int64_t quotient = scaled / scale;
  const int64_t twiceRest = 2 * (scaled % scale);
  if (twiceRest > scale || (twiceRest == scale && quotient % 2 != 0)) ++quotient;
  return static_cast<int32_t>(quotient);
}

}  // namespace drossgate::setup
