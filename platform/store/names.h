#pragma once
// Spellings the store accepts: its two URL forms and file-system paths reduced to the
// segments below "backofficestorage", and property names reduced to one lookup key, so that
// aliases (a plain name and its public-strings form, the hidden flag's two names) meet.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drossgate::platform::store::names {

inline constexpr const char* kPublicStrings =
    "http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/";
inline constexpr const char* kFlatUrlSpace = "-FlatUrlSpace-";

// Lookup keys (what PropertyKey gives) of the properties the store itself reads or computes.
inline constexpr const char* kContentClass = "dav:contentclass";
inline constexpr const char* kHref = "dav:href";
inline constexpr const char* kParentName = "dav:parentname";
inline constexpr const char* kDisplayName = "dav:displayname";
inline constexpr const char* kCreationDate = "dav:creationdate";
inline constexpr const char* kIsCollection = "dav:iscollection";
inline constexpr const char* kIsFolder = "dav:isfolder";
inline constexpr const char* kIsHidden = "dav:ishidden";
inline constexpr const char* kContentLength = "dav:getcontentlength";
inline constexpr const char* kPermanentUrl = "http://schemas.microsoft.com/exchange/permanenturl";
inline constexpr const char* kEventsPrefix = "http://schemas.microsoft.com/exchange/events/";

// Property names as written.
inline constexpr const char* kContentClassName = "DAV:contentclass";
inline constexpr const char* kSubjectName = "urn:schemas:httpmail:subject";
inline constexpr const char* kFromEmailName = "urn:schemas:httpmail:fromemail";
inline constexpr const char* kTransportHeadersName =
    "http://schemas.microsoft.com/mapi/proptag/0x007D001E";
inline constexpr const char* kSclName = "http://schemas.microsoft.com/mapi/proptag/0x40760003";
inline constexpr const char* kEnvelopeSenderName = "urn:schemas:mailheader:return-path";
inline constexpr const char* kMessageClass = "urn:content-classes:message";
inline constexpr const char* kInboxName = "urn:schemas:httpmail:inbox";
inline constexpr const char* kCreationDateName = "DAV:creationdate";
inline constexpr const char* kHiddenFlagName =
    "http://schemas.microsoft.com/mapi/proptag/x67aa000b";
// The sink's marker and the names of the items it parks in a mailbox root: a message to delete
// waits in "~~deleteit.eml", one to forward in "<GUID>~~redirect.eml", until the committed
// phase finishes it.
inline constexpr const char* kMarkerName = "Moved to";
inline constexpr const char* kMarkerProperty =
    "http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/Moved to";
// A parked forward's recipient, as the rule wrote it: what the pickup side needs, should the
// pickup file be lost, to make it again from the parked message.
inline constexpr const char* kForwardToName = "Forward to";
inline constexpr const char* kForwardToProperty =
    "http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/Forward to";
inline constexpr const char* kDeleteItemName = "~~deleteit.eml";
inline constexpr const char* kRedirectSuffix = "~~redirect.eml";
inline constexpr const char* kRegistrationClass = "urn:content-class:storeeventreg";
inline constexpr const char* kMailFolderClass = "urn:content-classes:mailfolder";
inline constexpr const char* kFolderClassName =
    "http://schemas.microsoft.com/exchange/outlook/outlookfolderclass";
// What a mail client keeps on a message besides its source: \Seen is the read flag, the other
// system flags are Booleans of their own (absent: not set), keywords one text of atoms with a
// space between. A mailbox root holds the client's subscribed folder paths, one a line.
inline constexpr const char* kReadName = "urn:schemas:httpmail:read";
inline constexpr const char* kAnsweredName = "urn:schemas:drossgate:mail:answered";
inline constexpr const char* kFlaggedName = "urn:schemas:drossgate:mail:flagged";
inline constexpr const char* kDeletedName = "urn:schemas:drossgate:mail:deleted";
inline constexpr const char* kDraftName = "urn:schemas:drossgate:mail:draft";
inline constexpr const char* kKeywordsName = "urn:schemas:drossgate:mail:keywords";
inline constexpr const char* kSubscriptionsName = "urn:schemas:drossgate:mail:subscriptions";

// The lookup key of a property name: ASCII lower case; a name without ":" is the named string
// property of the public-strings set; MAPI tags "0x..." and "x..." are one; the MAPI hidden
// flag is DAV:ishidden. Empty for an empty name.
std::string PropertyKey(std::string_view name);

// The segments below "backofficestorage" of a URL in the file:// spelling or the http://
// spelling naming this computer (short or fully qualified, any letter case); nullopt for any
// other URL. Segments are returned as written; checking them is the resolver's job.
std::optional<std::vector<std::string>> SplitUrl(std::string_view url);
// The same for a file-system path "\\.\backofficestorage\..." with "\" or "/" separators; a
// single trailing separator is allowed.
std::optional<std::vector<std::string>> SplitFileSystemPath(std::string_view path);
// Whether a segment can name anything: not empty, ".", ".." or holding a "\".
bool UsableSegment(std::string_view segment);

std::string NameKey(std::string_view name);  // ASCII lower case

// A pickup file's name: day, month, four-digit year, hour, minute (no leading zeros, no
// separators), the number, ".eml".
std::string PickupFileName(int day, int month, int year, int hour, int minute, uint64_t number);
// The name of the pickup file of a parked forward: its delivery time (local) and its item id,
// so that the sink's file and one made again from the parked message after a crash are one
// file, which a second writer cannot replace.
std::string ForwardPickupFileName(int64_t createdUnixTime, int64_t itemId);

}  // namespace drossgate::platform::store::names
