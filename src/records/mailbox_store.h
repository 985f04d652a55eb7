// The mailbox record store: the nine mailbox entries, the three settings notes, the
// provider table, the password encoding and the one-time migration of the legacy entry
// file. Every text is GBK. User-interface thread only (it acts on the current database).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace records {

struct MailboxEntry {
    int32_t id = 0;
    std::string name, description, userName, password /* still encoded */, type, address, loginKind;
};

// GBK of "请点击[邮箱设置]进行设置": the description of an entry nobody has described.
extern const std::string kDescriptionPlaceholder;

// The database file inside the program folder, and the names a copy of it needs: the
// shipped database has memo fields, so "tmbl.edb" never travels without "tmbl.EDT".
inline constexpr const char* kMailboxDatabaseFile = "tmbl.edb";
inline constexpr const char* kMailboxAuxiliaryFile = "tmbl.EDT";
inline constexpr const char* kMailboxDatabasePassword = "vemrvemr";

// Opens folder + "/tmbl.edb" read-write, sharing everything, with the access password;
// on success it becomes the current database. On failure records::lastError() says why.
[[nodiscard]] bool openMailboxDatabase(const std::string& programFolder);
void closeMailboxDatabase(const std::string& programFolder);

// Copies tmbl.edb and its auxiliary file from one folder to another (tests and set-up
// of temporary program folders). False when a file could not be copied.
[[nodiscard]] bool copyMailboxDatabase(const std::string& fromFolder, const std::string& toFolder);

// What a read from the mailbox database gave. A record that could not be reached (its
// lock held too long by another copy of the program, a damaged file) gives the empty
// value and the database error code, never what the record read before it held.
template <typename T>
struct [[nodiscard]] RecordRead {
    T value{};
    int error = 0;  // 0, or the database error code of the first step that failed
    bool ok() const { return error == 0; }
};

// The entry a record with every field empty reads as: the description placeholder and
// the login kind "邮箱", nothing else.
MailboxEntry emptyMailboxEntry();

RecordRead<MailboxEntry> readMailboxEntry(int record);                 // 1..9, defaults applied
[[nodiscard]] bool writeEntry(int record, const MailboxEntry& entry);  // entry.password already encoded
RecordRead<std::string> readSettingsNote(int n);                       // n = 1..3
[[nodiscard]] bool writeSettingsNote(int n, std::string_view text);

std::optional<std::string> providerAddress(std::string_view type);
bool isKnownProvider(std::string_view type);

// What the login driver's first rule does on a provider's login page. Positions count
// from 1 in the order of the form element scanner's lists.
struct FillRule {
    bool fills = true;         // false: the page is opened and nothing is typed
    bool fullAddress = false;  // user text is user name + "@" + type
    int passwordBox = 2;       // text box that takes the password
    int option = 0;            // option of select element 1 to pick; 0 for none
    bool clickImage = false;   // click image 1 instead of button 1
};

// Each row carries its own fill rule, so reordering the table cannot change a login.
struct ProviderRow {
    std::string key;
    std::string address;
    FillRule rule;
};
const std::vector<ProviderRow>& providerTable();  // the 21 rows in order
// The fill rule of the row whose key equals the type exactly; nothing for other types.
std::optional<FillRule> fillRuleFor(std::string_view type);

// How today's login page of a provider is worked when the fill rule finds nothing to act
// on. Selectors are CSS selectors; an empty one leaves that part to generic detection.
struct ProviderRecipe {
    // Origins ("https://host") besides the login address's registrable domain whose
    // frames may receive the credentials.
    std::vector<std::string> frameOrigins = {};
    bool fullAddress = false;  // the user text is user name + "@" + type
    std::string reveal = {};   // clicked once when no password field shows
    std::string user = {};     // the user-name field
    std::string password = {};
    std::string next = {};    // the control that ends the user-name step
    std::string submit = {};  // the control that sends the password
};
// The recipe of the provider whose key equals the type; null for types without one.
const ProviderRecipe* providerRecipe(std::string_view type);
// Tests point the login pages at a local server: 21 addresses, row by row; {} restores.
void setProviderAddresses(std::vector<std::string> addresses);

std::string encodePassword(std::string_view plain);
std::string decodePassword(std::string_view encoded);

MailboxEntry readLegacyEntry(const std::string& legacyFile, int section);
// Moves the entries of folder + "/tmbl.db" into records 1..9 and deletes the file, but
// only when every write succeeded; a failed migration keeps the file for the next start.
// True when there was nothing to do or everything was moved.
[[nodiscard]] bool migrateLegacyEntries(const std::string& programFolder);

}  // namespace records
