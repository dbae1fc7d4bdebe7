#pragma once
// Finds the SMTP service's pickup directory: first the path of the file share "PickUp" in
// the registry, then the pickup attribute of this server's first SMTP virtual server in the
// directory. Nothing is cached and nothing fails: an empty string means "not found".

#include <string>

namespace drossgate::sink {

std::string GetPickupDirFromShares();

std::string GetPickupDirFromDirectory();
bool IsClusterNode();
std::string GetHomeServerName(const std::string& directoryServerPath);
std::string GetSmtpPickupDirectory(const std::string& objectPath);
std::string GetCurrentUserName();

// Pure pieces of the directory source.
// Inserts "CN=1,CN=SMTP,CN=Protocols," behind the last "/" before ",cn=servers,".
std::string SmtpServerPath(const std::string& serverAdsPath);
// The text after the last "CN=" of an upper-cased home server value, or the whole value.
std::string HomeServerFromValue(const std::string& homeServerValue);

}  // namespace drossgate::sink
