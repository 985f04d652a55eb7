// Late-bound calls into a web page by member name: object holders, typed arguments and
// results, and a per-thread call status, over a script bridge that lives in the page's
// isolated world. Every call is synchronous and bounded; user-interface thread only, and
// from the event loop: inside the engine's own callbacks (page console messages,
// navigation requests) the engine cannot deliver answers and every call times out.
#pragma once

#include <QJsonArray>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QWebEnginePage;

namespace login {

// Call status codes (0 is success). A call overwrites the status of its thread.
namespace status {
inline constexpr int kOk = 0;
inline constexpr int kEmptyHolder = -1;
inline constexpr int kNoMember = -3;
inline constexpr int kTooManyArguments = -5;
inline constexpr int kBadArgument = -7;
inline constexpr int kNoConversion = -8;
inline constexpr int kException = -11;
inline constexpr int kOther = -18;  // no answer in time, document gone, anything else
}  // namespace status

// The status of the last call made on this thread.
int callStatus();

// How long one call may wait for the page.
inline constexpr int kCallTimeoutMs = 1000;

// A date-time: days since 1899-12-30, the fraction being the time of day (local time).
struct DateTime {
    double days = 0;
    friend bool operator==(DateTime, DateTime) = default;
};

// A reference to one object of a page (element, collection, document, window, ...).
// Copies share the reference; the page lets go of the object when the last copy is
// released. A holder never reaches a later document than the one it came from.
class DispatchObject {
public:
    DispatchObject() = default;
    bool isEmpty() const { return m_ref == nullptr; }
    void release() { m_ref.reset(); }
    QWebEnginePage* page() const;
    // True when the page was gone or navigated away since the object was taken.
    bool isStale() const;

private:
    friend class Bridge;
    struct Ref;
    std::shared_ptr<const Ref> m_ref;
};

// True when both holders reach the same page object (one call into the page).
bool sameObject(const DispatchObject& a, const DispatchObject& b);

// A value of any kind, as pages hand them out.
class Variant {
public:
    enum class Kind { Empty, Null, Bool, Number, Text, Date, Object };
    Variant() = default;
    static Variant null();
    static Variant fromBool(bool value);
    static Variant fromNumber(double value);
    static Variant fromText(std::string gbk);
    static Variant fromDate(DateTime value);
    static Variant fromObject(DispatchObject object);

    Kind kind() const { return m_kind; }
    bool isEmpty() const { return m_kind == Kind::Empty; }
    bool boolValue() const { return m_bool; }
    double numberValue() const { return m_number; }
    const std::string& text() const { return m_text; }  // GBK
    const DispatchObject& object() const { return m_object; }
    void clear() { *this = Variant(); }

private:
    Kind m_kind = Kind::Empty;
    bool m_bool = false;
    double m_number = 0;
    std::string m_text;
    DispatchObject m_object;
};

// The variant as a number: numbers as they are, true -1, false 0, numeric texts read,
// dates as days, empty 0; anything else 0 with the status kNoConversion.
double variantToNumber(const Variant& value);

// One argument. Texts are GBK (the program's code page); the page receives the same
// characters. Integers of every width pass as 32-bit values (an int64 gives its low
// 32 bits), as the page's own argument types require.
class DispatchArg {
public:
    enum class Kind { Missing, Number, Bool, Text, Date, Object, Variant };
    DispatchArg(std::string_view gbk) : m_kind(Kind::Text), m_text(gbk) {}
    DispatchArg(const std::string& gbk) : m_kind(Kind::Text), m_text(gbk) {}
    DispatchArg(const char* gbk) : m_kind(Kind::Text), m_text(gbk) {}
    DispatchArg(double value) : m_kind(Kind::Number), m_number(value) {}
    DispatchArg(float value) : m_kind(Kind::Number), m_number(value) {}
    DispatchArg(int value) : m_kind(Kind::Number), m_number(value) {}
    DispatchArg(int16_t value) : m_kind(Kind::Number), m_number(value) {}
    DispatchArg(uint8_t value) : m_kind(Kind::Number), m_number(value) {}
    DispatchArg(int64_t value) : m_kind(Kind::Number), m_number(static_cast<int32_t>(static_cast<uint32_t>(value))) {}
    DispatchArg(bool value) : m_kind(Kind::Bool), m_bool(value) {}
    DispatchArg(DateTime value) : m_kind(Kind::Date), m_number(value.days) {}
    DispatchArg(const DispatchObject& object) : m_kind(Kind::Object), m_object(object) {}
    DispatchArg(const Variant& value) : m_kind(Kind::Variant), m_variant(value) {}
    // An argument left out: trailing ones are dropped, one in the middle is passed as
    // "not given".
    static DispatchArg missing() { return DispatchArg(); }
    // A by-reference argument. The page's members declare no output parameters, so the
    // value is passed and the variable keeps its value.
    static DispatchArg byReference(Variant& variable) { return DispatchArg(static_cast<const Variant&>(variable)); }

    Kind kind() const { return m_kind; }
    double number() const { return m_number; }
    bool boolean() const { return m_bool; }
    const std::string& text() const { return m_text; }
    const DispatchObject& object() const { return m_object; }
    const Variant& variant() const { return m_variant; }

private:
    DispatchArg() = default;
    Kind m_kind = Kind::Missing;
    double m_number = 0;
    bool m_bool = false;
    std::string m_text;
    DispatchObject m_object;
    Variant m_variant;
};

using DispatchArgs = std::initializer_list<DispatchArg>;

// Read member: property get first, then a method call with the arguments.
std::string readText(const DispatchObject& object, std::string_view name, DispatchArgs args = {});
double readNumber(const DispatchObject& object, std::string_view name, DispatchArgs args = {});
bool readBool(const DispatchObject& object, std::string_view name, DispatchArgs args = {});
DateTime readDate(const DispatchObject& object, std::string_view name, DispatchArgs args = {});
DispatchObject readObject(const DispatchObject& object, std::string_view name, DispatchArgs args = {});
Variant readVariant(const DispatchObject& object, std::string_view name, DispatchArgs args = {});

// Write member: property put first, then a method call with the value. True exactly
// when the call status afterwards is 0.
bool writeMember(const DispatchObject& object, std::string_view name, const DispatchArg& value);

// Call member: method first, then property get.
void callMember(const DispatchObject& object, std::string_view name, DispatchArgs args = {});
bool callBool(const DispatchObject& object, std::string_view name, DispatchArgs args = {});
DispatchObject callObject(const DispatchObject& object, std::string_view name, DispatchArgs args = {});

// Page-wide operations used by page document access.
class Bridge {
public:
    // The document of the page's main frame, installing the bridge when the document
    // has none yet. Empty when the page gives no answer in time.
    static DispatchObject topDocument(QWebEnginePage* page);

    // Calls one of the bridge's own entry points with the object's world token and id
    // followed by extra arguments, in one round trip. Nothing when the page gives no
    // answer in time or the object's document is gone.
    static std::optional<QVariant> callEntry(const DispatchObject& object, const char* entry, const QJsonArray& extra);

    // Objects the page holds for the program right now (tests and benchmarks).
    static int registrySize(QWebEnginePage* page);

    // Round trips into any page since start (tests and benchmarks).
    static long long roundTrips();

    // Runs a script in the bridge's world and waits for its answer (tests).
    static bool runScript(QWebEnginePage* page, const QString& code, QVariant* result = nullptr);

    // Implementation.
    enum class Want { None, Text, Number, Bool, Date, Object, Variant };
    struct Reply {
        int status = status::kOther;
        QVariant value;
    };
    static Reply invoke(const DispatchObject& object, const char* op, std::string_view name,
                        const std::vector<DispatchArg>& args, Want want);
    static DispatchObject objectFrom(const DispatchObject& origin, qint64 id);
    static Variant variantFrom(const DispatchObject& origin, const QVariant& tagged);
    static qint64 idOf(const DispatchObject& object);
    static QString tokenOf(const DispatchObject& object);
};

}  // namespace login
