// The fields of a query or an urlencoded form body as the test servers record them:
// percent-decoded bytes, in the order the browser sent them.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

namespace login_test {

struct FormFields {
    QList<QPair<QByteArray, QByteArray>> fields;

    QByteArray field(const QByteArray& name) const {
        for (const auto& f : fields)
            if (f.first == name) return f.second;
        return {};
    }
    bool has(const QByteArray& name) const {
        for (const auto& f : fields)
            if (f.first == name) return true;
        return false;
    }

    static QList<QPair<QByteArray, QByteArray>> parse(const QByteArray& encoded) {
        QList<QPair<QByteArray, QByteArray>> parsed;
        if (encoded.isEmpty()) return parsed;
        for (QByteArray pair : encoded.split('&')) {
            pair.replace('+', ' ');
            const qsizetype eq = pair.indexOf('=');
            const QByteArray name = eq < 0 ? pair : pair.left(eq);
            const QByteArray value = eq < 0 ? QByteArray() : pair.mid(eq + 1);
            parsed.append({QByteArray::fromPercentEncoding(name), QByteArray::fromPercentEncoding(value)});
        }
        return parsed;
    }
};

}  // namespace login_test
