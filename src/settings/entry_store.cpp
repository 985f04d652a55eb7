#include "settings/entry_store.h"

namespace settings {
namespace {

class CurrentDatabaseStore final : public EntryStore {
public:
    records::RecordRead<records::MailboxEntry> readEntry(int record) override {
        return records::readMailboxEntry(record);
    }
    bool writeEntry(int record, const records::MailboxEntry& entry) override {
        return records::writeEntry(record, entry);
    }
    bool writeSettingsNote(int n, std::string_view text) override { return records::writeSettingsNote(n, text); }
};

}  // namespace

EntryStore& currentDatabaseStore() {
    static CurrentDatabaseStore store;
    return store;
}

}  // namespace settings
