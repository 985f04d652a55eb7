#include "platform/gbk_input.h"

#include <QLineEdit>
#include <QList>
#include <memory>

#include "platform/dialogs.h"
#include "platform/qt_text.h"

namespace platform {
namespace {

bool roundTrips(const QString& text) { return fromGbk(toGbk(text)) == text; }

}  // namespace

QStringList charactersOutsideGbk(const QString& text) {
    QStringList outside;
    if (roundTrips(text)) return outside;  // the common case, one conversion
    const QList<uint> codePoints = text.toUcs4();
    for (uint codePoint : codePoints) {
        const auto c = static_cast<char32_t>(codePoint);
        const QString character = QString::fromUcs4(&c, 1);
        if (!roundTrips(character) && !outside.contains(character)) outside << character;
    }
    return outside;
}

QString outsideGbkNotice(const QStringList& characters) {
    QStringList quoted;
    for (const QString& c : characters) quoted << QStringLiteral("“%1”").arg(c);
    const QString which = characters.size() > 1 ? QStringLiteral("这些字符") : QStringLiteral("这个字符");
    return QStringLiteral("不能输入%1：本程序以 GBK 编码保存文字，无法保存%2，请换用其他字符。")
        .arg(quoted.join(QStringLiteral("、")), which);
}

GbkValidator::GbkValidator(QObject* parent, int maxBytes) : QValidator(parent), m_maxBytes(maxBytes) {}

QValidator::State GbkValidator::validate(QString& input, int&) const {
    const QStringList outside = charactersOutsideGbk(input);
    if (!outside.isEmpty()) {
        emit refused(outside);
        return Invalid;
    }
    if (m_maxBytes >= 0 && static_cast<int>(toGbk(input).size()) > m_maxBytes) return Invalid;
    return Acceptable;
}

void guardGbkInput(QLineEdit* input, int maxBytes) {
    auto* validator = new GbkValidator(input, maxBytes);
    input->setValidator(validator);
    // The refusal arrives inside the line edit's own key or paste handling; a modal box
    // opened there would run in the middle of it, so the notice follows right after.
    // Only a refusal the field carried out is the user's doing: a text the program put
    // there with setText stays in the field (and is refused where it would be stored).
    // One notice at a time: a held key repeats its refusal.
    auto pending = std::make_shared<bool>(false);
    QObject::connect(validator, &GbkValidator::refused, input, [input, pending](const QStringList& characters) {
        if (*pending) return;
        *pending = true;
        QMetaObject::invokeMethod(
            input,
            [input, pending, characters] {
                if (charactersOutsideGbk(input->text()).isEmpty()) {
                    messageBox(input->window(), outsideGbkNotice(characters), MessageIcon::Information);
                }
                *pending = false;
            },
            Qt::QueuedConnection);
    });
}

}  // namespace platform
