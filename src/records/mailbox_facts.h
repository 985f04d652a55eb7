// Facts about the mailbox entries that every part of the program shares: how many
// there are and the two login kinds, with the one test for each. Constants and
// pure functions only; any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/gbk.h"

namespace records {

// Entry n (1..kMailboxCount) is record n of the database, button n - 1 of the mailbox
// toolbar, row n - 1 of the settings list and icon file n - 1.
inline constexpr int kMailboxCount = 9;

// Record numbers of the entries, 1-based.
inline constexpr bool isMailboxRecord(int record) { return record >= 1 && record <= kMailboxCount; }
// Toolbar buttons, settings rows and icon files of the entries, 0-based.
inline constexpr bool isMailboxIndex(int index) { return index >= 0 && index < kMailboxCount; }

// The login kinds as written in the source. The database stores and compares them as
// GBK: mailboxKind() and addressKind().
inline constexpr std::string_view kMailboxKindText = "邮箱";  // mail domain, user name and password
inline constexpr std::string_view kAddressKindText = "网址";  // a plain login address

inline const std::string& mailboxKind() {
    static const std::string kind = platform::utf8ToGbk(kMailboxKindText);
    return kind;
}

inline const std::string& addressKind() {
    static const std::string kind = platform::utf8ToGbk(kAddressKindText);
    return kind;
}

// The stored kind compared exactly, byte by byte: "邮箱 " or an empty text (before the
// defaults of readMailboxEntry are applied) is neither kind.
inline bool isMailboxKind(std::string_view loginKind) { return loginKind == mailboxKind(); }
inline bool isAddressKind(std::string_view loginKind) { return loginKind == addressKind(); }

}  // namespace records
