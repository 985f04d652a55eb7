#include "login/dispatch_call.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QObject>
#include <QTimer>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <cmath>
#include <optional>

#include "platform/qt_text.h"

namespace login {

namespace {

thread_local int t_callStatus = status::kOk;
long long g_roundTrips = 0;

int setStatus(int code) {
    t_callStatus = code;
    return code;
}

const QString& bridgeSource() {
    static const QString source = [] {
        QFile file(QStringLiteral(":/login/page_bridge.js"));
        if (!file.open(QIODevice::ReadOnly)) qFatal("page bridge resource missing");
        return QString::fromUtf8(file.readAll());
    }();
    return source;
}

// Per-page bookkeeping of the bridge, kept as a child of the page so that it dies
// with it.
class BridgeState : public QObject {
public:
    explicit BridgeState(QWebEnginePage* page) : QObject(page) {
        setObjectName(QStringLiteral("tmbl_bridge_state"));
        // A new load replaces the page's world: a call that was left unanswered no
        // longer blocks the calls into the next document.
        connect(page, &QWebEnginePage::loadStarted, this, [this] { m_unansweredCall = 0; });
        connect(page, &QWebEnginePage::renderProcessTerminated, this, [this] { m_unansweredCall = 0; });
    }

    // Serial of a call that timed out and has not answered yet; while it is set the
    // page is busy (an endless script) and further calls fail at once instead of each
    // waiting out its own time-out.
    quint64 m_unansweredCall = 0;
    quint64 m_nextSerial = 1;

    QHash<QString, QList<qint64>> m_pendingReleases;  // token -> ids
    bool m_flushScheduled = false;

    void queueRelease(const QString& token, qint64 id) {
        m_pendingReleases[token].append(id);
        if (m_flushScheduled) return;
        m_flushScheduled = true;
        QTimer::singleShot(0, this, [this] { flushReleases(); });
    }

    void flushReleases() {
        m_flushScheduled = false;
        auto* page = static_cast<QWebEnginePage*>(parent());
        for (auto it = m_pendingReleases.cbegin(); it != m_pendingReleases.cend(); ++it) {
            QJsonArray ids;
            for (qint64 id : it.value()) ids.append(static_cast<double>(id));
            const QString args =
                QString::fromUtf8(QJsonDocument(QJsonArray{it.key(), ids}).toJson(QJsonDocument::Compact));
            // Fire and forget: nobody waits for a release.
            page->runJavaScript(
                QStringLiteral("globalThis.__tmblBridge&&__tmblBridge.release.apply(null,%1)").arg(args),
                QWebEngineScript::ApplicationWorld);
        }
        m_pendingReleases.clear();
    }
};

BridgeState* stateOf(QWebEnginePage* page) {
    if (auto* state = page->findChild<BridgeState*>(QStringLiteral("tmbl_bridge_state"), Qt::FindDirectChildrenOnly))
        return state;
    return new BridgeState(page);
}

// Runs code in the bridge's world and waits up to the time-out for its value, letting
// pending events run meanwhile. Nothing when the page does not answer in time.
std::optional<QVariant> runSync(QWebEnginePage* page, const QString& code, int timeoutMs = kCallTimeoutMs) {
    if (!page) return std::nullopt;
    BridgeState* state = stateOf(page);
    if (state->m_unansweredCall != 0) return std::nullopt;

    struct Call {
        bool done = false;
        QVariant value;
        QEventLoop* loop = nullptr;
    };
    auto call = std::make_shared<Call>();
    const quint64 serial = state->m_nextSerial++;
    QPointer<BridgeState> guardState(state);
    ++g_roundTrips;
    page->runJavaScript(code, QWebEngineScript::ApplicationWorld, [call, guardState, serial](const QVariant& value) {
        call->done = true;
        call->value = value;
        if (call->loop) call->loop->quit();
        if (guardState && guardState->m_unansweredCall == serial) guardState->m_unansweredCall = 0;
    });
    if (!call->done) {
        QEventLoop loop;
        call->loop = &loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(page, &QObject::destroyed, &loop, &QEventLoop::quit);
        timer.start(timeoutMs);
        loop.exec();
        call->loop = nullptr;
    }
    if (!call->done) {
        if (guardState) guardState->m_unansweredCall = serial;
        return std::nullopt;
    }
    return call->value;
}

QString toJson(const QJsonArray& array) {
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

}  // namespace

// ---- holders

struct DispatchObject::Ref {
    QPointer<QWebEnginePage> page;
    QString token;
    qint64 id = 0;
    Ref(QWebEnginePage* p, QString t, qint64 i) : page(p), token(std::move(t)), id(i) {}
    ~Ref() {
        if (page) stateOf(page)->queueRelease(token, id);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
};

QWebEnginePage* DispatchObject::page() const { return m_ref ? m_ref->page.data() : nullptr; }

bool DispatchObject::isStale() const {
    if (!m_ref) return false;
    if (!m_ref->page) return true;
    const std::optional<QVariant> answer = runSync(
        m_ref->page, QStringLiteral("(function(t){return !globalThis.__tmblBridge||__tmblBridge.token!==t[0];})(%1)")
                         .arg(toJson(QJsonArray{m_ref->token})));
    // No answer says nothing about the document: a busy page is still the same page.
    return answer && answer->toBool();
}

int callStatus() { return t_callStatus; }

qint64 Bridge::idOf(const DispatchObject& object) { return object.m_ref ? object.m_ref->id : 0; }
QString Bridge::tokenOf(const DispatchObject& object) { return object.m_ref ? object.m_ref->token : QString(); }

DispatchObject Bridge::objectFrom(const DispatchObject& origin, qint64 id) {
    DispatchObject object;
    if (id > 0 && origin.m_ref && origin.m_ref->page)
        object.m_ref = std::make_shared<const DispatchObject::Ref>(origin.m_ref->page, origin.m_ref->token, id);
    return object;
}

bool sameObject(const DispatchObject& a, const DispatchObject& b) {
    if (a.isEmpty() || b.isEmpty()) {
        setStatus(status::kEmptyHolder);
        return false;
    }
    setStatus(status::kOk);
    // Holders of two documents never match: their tokens differ.
    if (a.page() != b.page() || Bridge::tokenOf(a) != Bridge::tokenOf(b)) return false;
    if (Bridge::idOf(a) == Bridge::idOf(b)) return true;
    const QJsonArray args{Bridge::tokenOf(a), static_cast<double>(Bridge::idOf(a)),
                          static_cast<double>(Bridge::idOf(b))};
    const std::optional<QVariant> answer = runSync(
        a.page(), QStringLiteral("(function(b,a){return b?b.same.apply(null,a):false;})(globalThis.__tmblBridge,%1)")
                      .arg(toJson(args)));
    if (!answer) {
        setStatus(status::kOther);
        return false;
    }
    return answer->toBool();
}

// ---- variants

Variant Variant::null() {
    Variant v;
    v.m_kind = Kind::Null;
    return v;
}
Variant Variant::fromBool(bool value) {
    Variant v;
    v.m_kind = Kind::Bool;
    v.m_bool = value;
    return v;
}
Variant Variant::fromNumber(double value) {
    Variant v;
    v.m_kind = Kind::Number;
    v.m_number = value;
    return v;
}
Variant Variant::fromText(std::string gbk) {
    Variant v;
    v.m_kind = Kind::Text;
    v.m_text = std::move(gbk);
    return v;
}
Variant Variant::fromDate(DateTime value) {
    Variant v;
    v.m_kind = Kind::Date;
    v.m_number = value.days;
    return v;
}
Variant Variant::fromObject(DispatchObject object) {
    if (object.isEmpty()) return null();
    Variant v;
    v.m_kind = Kind::Object;
    v.m_object = std::move(object);
    return v;
}

double variantToNumber(const Variant& value) {
    setStatus(status::kOk);
    switch (value.kind()) {
        case Variant::Kind::Empty:
            return 0;
        case Variant::Kind::Bool:
            return value.boolValue() ? -1 : 0;
        case Variant::Kind::Number:
        case Variant::Kind::Date:
            return value.numberValue();
        case Variant::Kind::Text: {
            bool ok = false;
            const double n = platform::fromGbk(value.text()).trimmed().toDouble(&ok);
            if (ok) return n;
            break;
        }
        case Variant::Kind::Null:
        case Variant::Kind::Object:
            break;
    }
    setStatus(status::kNoConversion);
    return 0;
}

Variant Bridge::variantFrom(const DispatchObject& origin, const QVariant& tagged) {
    const QVariantList parts = tagged.toList();
    const QString tag = parts.value(0).toString();
    const QVariant payload = parts.value(1);
    if (tag == u"z") return Variant::null();
    if (tag == u"b") return Variant::fromBool(payload.toBool());
    if (tag == u"n") return Variant::fromNumber(payload.toDouble());
    if (tag == u"s") return Variant::fromText(platform::toGbk(payload.toString()));
    if (tag == u"d") return Variant::fromDate(DateTime{payload.toDouble()});
    if (tag == u"o") return Variant::fromObject(objectFrom(origin, payload.toLongLong()));
    return Variant();
}

// ---- calls

namespace {

QJsonArray encodeObject(const DispatchObject& object) {
    if (object.isEmpty()) return QJsonArray{QStringLiteral("o"), 0};
    return QJsonArray{QStringLiteral("o"), static_cast<double>(Bridge::idOf(object)), Bridge::tokenOf(object)};
}

QJsonArray encodeVariant(const Variant& value) {
    switch (value.kind()) {
        case Variant::Kind::Empty:
            return QJsonArray{QStringLiteral("e")};
        case Variant::Kind::Null:
            return QJsonArray{QStringLiteral("z")};
        case Variant::Kind::Bool:
            return QJsonArray{QStringLiteral("b"), value.boolValue()};
        case Variant::Kind::Number:
            return QJsonArray{QStringLiteral("n"), value.numberValue()};
        case Variant::Kind::Date:
            return QJsonArray{QStringLiteral("d"), value.numberValue()};
        case Variant::Kind::Text:
            return QJsonArray{QStringLiteral("s"), platform::fromGbk(value.text())};
        case Variant::Kind::Object:
            return encodeObject(value.object());
    }
    return QJsonArray{QStringLiteral("e")};
}

// Numbers the page cannot take (NaN, infinities) have no JSON form either.
bool encodeArg(const DispatchArg& arg, QJsonArray* out) {
    switch (arg.kind()) {
        case DispatchArg::Kind::Missing:
            *out = QJsonArray{QStringLiteral("m")};
            return true;
        case DispatchArg::Kind::Number:
            if (!std::isfinite(arg.number())) return false;
            *out = QJsonArray{QStringLiteral("n"), arg.number()};
            return true;
        case DispatchArg::Kind::Bool:
            *out = QJsonArray{QStringLiteral("b"), arg.boolean()};
            return true;
        case DispatchArg::Kind::Text:
            *out = QJsonArray{QStringLiteral("s"), platform::fromGbk(arg.text())};
            return true;
        case DispatchArg::Kind::Date:
            if (!std::isfinite(arg.number())) return false;
            *out = QJsonArray{QStringLiteral("d"), arg.number()};
            return true;
        case DispatchArg::Kind::Object:
            *out = encodeObject(arg.object());
            return true;
        case DispatchArg::Kind::Variant:
            if ((arg.variant().kind() == Variant::Kind::Number || arg.variant().kind() == Variant::Kind::Date) &&
                !std::isfinite(arg.variant().numberValue()))
                return false;
            *out = encodeVariant(arg.variant());
            return true;
    }
    return false;
}

const char* wantName(Bridge::Want want) {
    switch (want) {
        case Bridge::Want::None:
            return "none";
        case Bridge::Want::Text:
            return "text";
        case Bridge::Want::Number:
            return "number";
        case Bridge::Want::Bool:
            return "bool";
        case Bridge::Want::Date:
            return "date";
        case Bridge::Want::Object:
            return "object";
        case Bridge::Want::Variant:
            return "variant";
    }
    return "none";
}

}  // namespace

Bridge::Reply Bridge::invoke(const DispatchObject& object, const char* op, std::string_view name,
                             const std::vector<DispatchArg>& args, Want want) {
    Reply reply;
    if (object.isEmpty()) {
        reply.status = setStatus(status::kEmptyHolder);
        return reply;
    }
    if (!object.page()) {
        reply.status = setStatus(status::kOther);
        return reply;
    }
    size_t count = args.size();
    while (count > 0 && args[count - 1].kind() == DispatchArg::Kind::Missing) --count;
    QJsonArray encoded;
    for (size_t i = 0; i < count; ++i) {
        QJsonArray one;
        if (!encodeArg(args[i], &one)) {
            reply.status = setStatus(status::kBadArgument);
            return reply;
        }
        encoded.append(one);
    }
    const QJsonArray call{
        tokenOf(object), static_cast<double>(idOf(object)),  QString::fromLatin1(op), platform::fromGbk(name),
        encoded,         QString::fromLatin1(wantName(want))};
    const std::optional<QVariant> answer =
        runSync(object.page(),
                QStringLiteral("(function(b,a){return b?b.invoke.apply(null,a):null;})(globalThis.__tmblBridge,%1)")
                    .arg(toJson(call)));
    const QVariantList parts = answer ? answer->toList() : QVariantList();
    if (parts.isEmpty()) {
        // No answer in time, or the document the object came from is gone.
        reply.status = setStatus(status::kOther);
        return reply;
    }
    reply.status = setStatus(parts.at(0).toInt());
    if (reply.status == status::kOk) reply.value = parts.value(1);
    return reply;
}

namespace {

std::vector<DispatchArg> toVector(DispatchArgs args) { return std::vector<DispatchArg>(args.begin(), args.end()); }

}  // namespace

std::string readText(const DispatchObject& object, std::string_view name, DispatchArgs args) {
    const Bridge::Reply r = Bridge::invoke(object, "read", name, toVector(args), Bridge::Want::Text);
    return r.status == status::kOk ? platform::toGbk(r.value.toString()) : std::string();
}

double readNumber(const DispatchObject& object, std::string_view name, DispatchArgs args) {
    const Bridge::Reply r = Bridge::invoke(object, "read", name, toVector(args), Bridge::Want::Number);
    return r.status == status::kOk ? r.value.toDouble() : 0.0;
}

bool readBool(const DispatchObject& object, std::string_view name, DispatchArgs args) {
    const Bridge::Reply r = Bridge::invoke(object, "read", name, toVector(args), Bridge::Want::Bool);
    return r.status == status::kOk && r.value.toBool();
}

DateTime readDate(const DispatchObject& object, std::string_view name, DispatchArgs args) {
    const Bridge::Reply r = Bridge::invoke(object, "read", name, toVector(args), Bridge::Want::Date);
    return DateTime{r.status == status::kOk ? r.value.toDouble() : 0.0};
}

DispatchObject readObject(const DispatchObject& object, std::string_view name, DispatchArgs args) {
    const Bridge::Reply r = Bridge::invoke(object, "read", name, toVector(args), Bridge::Want::Object);
    return r.status == status::kOk ? Bridge::objectFrom(object, r.value.toLongLong()) : DispatchObject();
}

Variant readVariant(const DispatchObject& object, std::string_view name, DispatchArgs args) {
    const Bridge::Reply r = Bridge::invoke(object, "read", name, toVector(args), Bridge::Want::Variant);
    return r.status == status::kOk ? Bridge::variantFrom(object, r.value) : Variant();
}

bool writeMember(const DispatchObject& object, std::string_view name, const DispatchArg& value) {
    return Bridge::invoke(object, "write", name, {value}, Bridge::Want::None).status == status::kOk;
}

void callMember(const DispatchObject& object, std::string_view name, DispatchArgs args) {
    Bridge::invoke(object, "call", name, toVector(args), Bridge::Want::None);
}

bool callBool(const DispatchObject& object, std::string_view name, DispatchArgs args) {
    const Bridge::Reply r = Bridge::invoke(object, "call", name, toVector(args), Bridge::Want::Bool);
    return r.status == status::kOk && r.value.toBool();
}

DispatchObject callObject(const DispatchObject& object, std::string_view name, DispatchArgs args) {
    const Bridge::Reply r = Bridge::invoke(object, "call", name, toVector(args), Bridge::Want::Object);
    return r.status == status::kOk ? Bridge::objectFrom(object, r.value.toLongLong()) : DispatchObject();
}

// ---- page-wide operations

DispatchObject Bridge::topDocument(QWebEnginePage* page) {
    if (!page) {
        setStatus(status::kOther);
        return {};
    }
    const std::optional<QVariant> answer =
        runSync(page, QStringLiteral("(globalThis.__tmblBridge||(\n%1\n)).attach()").arg(bridgeSource()));
    const QVariantList parts = answer ? answer->toList() : QVariantList();
    if (parts.size() != 2 || parts.at(1).toLongLong() <= 0) {
        setStatus(status::kOther);
        return {};
    }
    setStatus(status::kOk);
    DispatchObject document;
    document.m_ref =
        std::make_shared<const DispatchObject::Ref>(page, parts.at(0).toString(), parts.at(1).toLongLong());
    return document;
}

std::optional<QVariant> Bridge::callEntry(const DispatchObject& object, const char* entry, const QJsonArray& extra) {
    if (object.isEmpty() || !object.page()) {
        setStatus(object.isEmpty() ? status::kEmptyHolder : status::kOther);
        return std::nullopt;
    }
    QJsonArray call{tokenOf(object), static_cast<double>(idOf(object))};
    for (const QJsonValue& value : extra) call.append(value);
    const std::optional<QVariant> answer = runSync(
        object.page(), QStringLiteral("(function(b,a){return b?b.%1.apply(null,a):null;})(globalThis.__tmblBridge,%2)")
                           .arg(QString::fromLatin1(entry), toJson(call)));
    if (!answer || answer->isNull()) {
        setStatus(status::kOther);
        return std::nullopt;
    }
    setStatus(status::kOk);
    return answer;
}

int Bridge::registrySize(QWebEnginePage* page) {
    const std::optional<QVariant> answer =
        runSync(page, QStringLiteral("globalThis.__tmblBridge?__tmblBridge.size():0"));
    return answer ? answer->toInt() : -1;
}

long long Bridge::roundTrips() { return g_roundTrips; }

bool Bridge::runScript(QWebEnginePage* page, const QString& code, QVariant* result) {
    const std::optional<QVariant> answer = runSync(page, code);
    if (answer && result) *result = *answer;
    return answer.has_value();
}

}  // namespace login
