// The record operations the settings window and the entry editor work with. Whoever
// opens those windows hands them one: the program gives the mailbox store of its open
// database; tests may give one that fails. No Qt; user-interface thread only, like
// the database it stands for.
#pragma once

#include <string_view>

#include "records/mailbox_store.h"

namespace settings {

class EntryStore {
public:
    virtual ~EntryStore() = default;
    // Entry 1..9 with the defaults of an unset description and login kind; the empty
    // entry and the error code when the record could not be reached.
    virtual records::RecordRead<records::MailboxEntry> readEntry(int record) = 0;
    // entry.password already encoded. False when the database refused the write.
    [[nodiscard]] virtual bool writeEntry(int record, const records::MailboxEntry& entry) = 0;
    // Settings note 1..3. False when the database refused the write.
    [[nodiscard]] virtual bool writeSettingsNote(int n, std::string_view text) = 0;
};

// The mailbox store of the program's current database.
EntryStore& currentDatabaseStore();

}  // namespace settings
