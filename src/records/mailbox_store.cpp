#include "records/mailbox_store.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/gbk.h"
#include "records/database_builder.h"
#include "records/gbk_bytes.h"
#include "records/mailbox_facts.h"
#include "records/profile_reader.h"
#include "records/record_database.h"

namespace records {
namespace {

// Field names and fixed texts, made GBK once.
struct Names {
    std::string name = platform::utf8ToGbk("邮箱名称");
    std::string description = platform::utf8ToGbk("说明");
    std::string userName = platform::utf8ToGbk("用户名");
    std::string password = platform::utf8ToGbk("密码");
    std::string type = platform::utf8ToGbk("类型");
    std::string address = platform::utf8ToGbk("网址");
    std::string loginKind = platform::utf8ToGbk("登录类别");
    std::string note = platform::utf8ToGbk("备注");
    std::string id = "ID";
    std::string legacyName = platform::utf8ToGbk("－－");
    std::string legacySection = platform::utf8ToGbk("邮箱号");
};

const Names& names() {
    static const Names n;
    return n;
}

std::string databasePath(const std::string& folder) { return folder + "/" + kMailboxDatabaseFile; }

// Fill rules of the rows: options of a domain list, the full address, no filling at
// all, and the page whose password sits in text box 3 behind an image button.
constexpr FillRule kPlain{};
constexpr FillRule kOption1{.option = 1};
constexpr FillRule kOption2{.option = 2};
constexpr FillRule kOption3{.option = 3};
constexpr FillRule kFull{.fullAddress = true};
constexpr FillRule kNoFill{.fills = false};
constexpr FillRule kThirdBoxImage{.passwordBox = 3, .clickImage = true};

struct ProviderSeed {
    const char* key;
    const char* address;
    FillRule rule;
};
// Keys are the mail domains as typed after the at-sign; several domains of one provider
// share its login page. Every login page is fetched over https: a password sent over
// plain http can be read and changed on the way.
constexpr ProviderSeed kProviders[21] = {
    {"QQ.com", "https://mail.qq.com/cgi-bin/loginpage?t=loginpage&s=logout&f=html", kOption1},
    {"vip.qq.com", "https://mail.qq.com/cgi-bin/loginpage?t=loginpage&s=logout&f=html", kOption2},
    {"foxmail.com", "https://mail.qq.com/cgi-bin/loginpage?t=loginpage&s=logout&f=html", kOption3},
    {"163.com", "https://mail.163.com/", kOption1},
    {"126.com", "https://mail.126.com/", kOption2},
    {"yeah.net", "https://mail.163.com/", kOption3},
    {"sina.com", "https://mail.sina.com.cn/", kFull},
    {"vip.sina.com", "https://vip.sina.com/", kFull},
    {"sohu.com", "https://mail.sohu.com/", kNoFill},
    {"tom.com", "https://mail.tom.com/cgi-bin/login.cgi", kPlain},
    {"vip.tom.com", "https://vip.tom.com/cgi-bin/login_vipmail.php", kFull},
    {"163.net", "https://mail.tom.com/cnmail/index.html", kPlain},
    {"gmail.com", "https://mail.google.com/", kFull},
    {"googlemail.com", "https://mail.google.com/", kFull},
    {"21cn.com", "https://mail.21cn.com/", kPlain},
    {"vip.21cn.com", "https://vip.21cn.com/", kPlain},
    {"hotmail.com", "https://login.live.com/", kPlain},
    {"139.com", "https://mail.10086.cn/", kPlain},
    {"263.net", "https://mail.263.net/webmail/", kPlain},
    {"yahoo.com", "https://mail.yahoo.com/", kPlain},
    {"aliyun.com", "https://mail.aliyun.com/wmail/cgi/index.cgi", kThirdBoxImage},
};

// Today's structures of the providers' login pages.
struct RecipeSeed {
    std::vector<std::string> keys;
    ProviderRecipe recipe;
};
const std::vector<RecipeSeed>& recipeSeeds() {
    static const std::vector<RecipeSeed> seeds = {
        // The login form sits two frames down, behind a QR code shown first.
        {{"QQ.com", "vip.qq.com", "foxmail.com"},
         {.frameOrigins = {"https://xui.ptlogin2.qq.com"},
          .reveal = "a#switcher_plogin",
          .user = "#u",
          .password = "#p",
          .submit = "#login_button"}},
        // One login frame serves the three domains; its field ids are random.
        {{"163.com", "126.com", "yeah.net"},
         {.frameOrigins = {"https://dl.reg.163.com"},
          .user = "input[name=email]",
          .password = "input[name=password]",
          .submit = "a#dologin"}},
        {{"gmail.com", "googlemail.com"},
         {.fullAddress = true,
          .user = "#identifierId",
          .password = "input[name=Passwd]",
          .next = "#identifierNext",
          .submit = "#passwordNext"}},
        {{"hotmail.com"},
         {.fullAddress = true,
          .user = "input[name=loginfmt]",
          .password = "input[name=passwd]",
          .next = "#idSIButton9",
          .submit = "#idSIButton9"}},
        {{"yahoo.com"},
         {.user = "#login-username", .password = "#login-passwd", .next = "#login-signin", .submit = "#login-signin"}},
        {{"sina.com", "vip.sina.com"},
         {.fullAddress = true, .user = "#freename", .password = "#freepassword", .submit = "a.loginBtn"}},
    };
    return seeds;
}

std::vector<ProviderRow> builtInProviders() {
    std::vector<ProviderRow> rows;
    for (const auto& seed : kProviders) rows.push_back({seed.key, seed.address, seed.rule});
    return rows;
}

std::vector<ProviderRow>& providers() {
    static std::vector<ProviderRow> rows = builtInProviders();
    return rows;
}

// The number of a password piece; only its low eight bits matter, so digits accumulate
// modulo 2^32 and an overlong piece cannot overflow.
int32_t pieceNumber(std::string_view piece) {
    size_t i = 0;
    while (i < piece.size() && (piece[i] == ' ' || piece[i] == '\t')) ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '-' || piece[i] == '+')) negative = piece[i++] == '-';
    uint32_t value = 0;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
        value = value * 10u + static_cast<uint32_t>(piece[i] - '0');
    }
    return static_cast<int32_t>(negative ? 0u - value : value);
}

}  // namespace

const std::string kDescriptionPlaceholder = platform::utf8ToGbk("请点击[邮箱设置]进行设置");

bool openMailboxDatabase(const std::string& programFolder) {
    OpenOptions options;
    options.password = kMailboxDatabasePassword;
    return openDatabase(databasePath(programFolder), options);
}

void closeMailboxDatabase(const std::string& programFolder) {
    std::error_code ec;
    auto path = std::filesystem::absolute(databasePath(programFolder), ec).lexically_normal();
    if (!ec) closeDatabase(path.string());
}

bool copyMailboxDatabase(const std::string& fromFolder, const std::string& toFolder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const char* name : {kMailboxDatabaseFile, kMailboxAuxiliaryFile}) {
        fs::path from = fs::path(fromFolder) / name;
        if (name == kMailboxAuxiliaryFile && !fs::exists(from, ec)) continue;
        fs::copy_file(from, fs::path(toFolder) / name, fs::copy_options::overwrite_existing, ec);
        if (ec) return false;
        fs::permissions(fs::path(toFolder) / name, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::add, ec);
    }
    return true;
}

MailboxEntry emptyMailboxEntry() {
    MailboxEntry entry;
    entry.description = kDescriptionPlaceholder;
    entry.loginKind = mailboxKind();
    return entry;
}

RecordRead<MailboxEntry> readMailboxEntry(int record) {
    const Names& n = names();
    // A failed go to record leaves the record read before current; its fields, or some
    // fields of one record and some empty, are not this entry.
    if (!goToRecord(record)) return {emptyMailboxEntry(), lastError()};
    MailboxEntry entry;
    int error = 0;
    auto read = [&](const std::string& field, std::string& into) {
        into = readText(field);
        if (error == 0) error = lastError();
    };
    read(n.name, entry.name);
    read(n.description, entry.description);
    read(n.userName, entry.userName);
    read(n.password, entry.password);
    read(n.type, entry.type);
    read(n.address, entry.address);
    read(n.loginKind, entry.loginKind);
    if (error != 0) return {emptyMailboxEntry(), error};
    if (entry.description.empty()) entry.description = kDescriptionPlaceholder;
    if (entry.loginKind.empty()) entry.loginKind = mailboxKind();
    return {std::move(entry), 0};
}

bool writeEntry(int record, const MailboxEntry& entry) {
    const Names& n = names();
    if (!goToRecord(record)) return false;
    // Every field is attempted, so one failing field does not leave the others stale.
    bool ok = writeText(n.name, entry.name);
    ok = writeText(n.description, entry.description) && ok;
    ok = writeText(n.userName, entry.userName) && ok;
    ok = writeText(n.password, entry.password) && ok;
    ok = writeText(n.type, entry.type) && ok;
    ok = writeText(n.address, entry.address) && ok;
    ok = writeText(n.loginKind, entry.loginKind) && ok;
    return ok;
}

RecordRead<std::string> readSettingsNote(int n) {
    if (!goToRecord(n)) return {std::string(), lastError()};
    std::string note = readText(names().note);
    if (int error = lastError(); error != 0) return {std::string(), error};
    return {std::move(note), 0};
}

bool writeSettingsNote(int n, std::string_view text) {
    if (!goToRecord(n)) return false;
    return writeText(names().note, text);
}

std::optional<std::string> providerAddress(std::string_view type) {
    for (const auto& row : providers()) {
        if (row.key == type) return row.address;
    }
    return std::nullopt;
}

bool isKnownProvider(std::string_view type) { return providerAddress(type).has_value(); }

std::optional<FillRule> fillRuleFor(std::string_view type) {
    for (const auto& row : providers()) {
        if (row.key == type) return row.rule;
    }
    return std::nullopt;
}

const ProviderRecipe* providerRecipe(std::string_view type) {
    for (const auto& seed : recipeSeeds()) {
        for (const auto& key : seed.keys)
            if (key == type) return &seed.recipe;
    }
    return nullptr;
}

const std::vector<ProviderRow>& providerTable() { return providers(); }

void setProviderAddresses(std::vector<std::string> addresses) {
    auto& rows = providers();
    rows = builtInProviders();
    if (addresses.size() != rows.size()) return;
    for (size_t i = 0; i < rows.size(); ++i) rows[i].address = std::move(addresses[i]);
}

std::string encodePassword(std::string_view plain) {
    std::string encoded;
    for (char c : plain) {
        encoded += std::to_string(static_cast<int>(static_cast<signed char>(c)));
        encoded += ',';
    }
    return encoded;
}

std::string decodePassword(std::string_view encoded) {
    std::string plain;
    size_t start = 0;
    size_t i = 0;
    auto takePiece = [&](size_t end) {
        auto byte = static_cast<uint8_t>(pieceNumber(encoded.substr(start, end - start)) & 0xFF);
        if (byte != 0) plain += static_cast<char>(byte);
    };
    while (i < encoded.size()) {
        auto c = static_cast<unsigned char>(encoded[i]);
        if (isGbkLeadByte(c) && i + 1 < encoded.size()) {
            i += 2;
            continue;
        }
        if (c == ',') {
            takePiece(i);
            start = i + 1;
        }
        ++i;
    }
    if (start < encoded.size()) takePiece(encoded.size());
    return plain;
}

MailboxEntry readLegacyEntry(const std::string& legacyFile, int section) {
    const Names& n = names();
    const std::string sectionName = n.legacySection + std::to_string(section);
    auto value = [&](const std::string& key, const std::string& fallback) {
        return readProfileString(legacyFile, sectionName, key).value_or(fallback);
    };
    MailboxEntry entry;
    entry.id = static_cast<int32_t>(std::atoi(value(n.id, "0").c_str()));
    entry.name = value(n.name, n.legacyName);
    entry.description = value(n.description, kDescriptionPlaceholder);
    entry.userName = value(n.userName, "");
    entry.password = value(n.password, "");
    entry.type = value(n.type, "");
    entry.address = value(n.address, "");
    entry.loginKind = value(n.loginKind, mailboxKind());
    return entry;
}

bool migrateLegacyEntries(const std::string& programFolder) {
    const std::string legacyFile = programFolder + "/tmbl.db";
    std::error_code ec;
    if (!std::filesystem::exists(legacyFile, ec)) return true;
    // A file that exists but cannot be read would turn every entry into the defaults.
    if (!std::ifstream(legacyFile, std::ios::binary)) return false;
    bool allWritten = true;
    for (int i = 1; i <= kMailboxCount; ++i) {
        MailboxEntry entry = readLegacyEntry(legacyFile, i - 1);
        allWritten = writeEntry(i, entry) && allWritten;
    }
    // The legacy file is the only copy of the user's entries until every record holds
    // them; after a failed write it stays for the next start to try again.
    if (!allWritten) return false;
    return std::filesystem::remove(legacyFile, ec) && !ec;
}

}  // namespace records
