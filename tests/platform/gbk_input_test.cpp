#include "platform/gbk_input.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>

#include "platform/dialogs.h"
#include "platform/qt_text.h"

namespace {

void typeInto(QWidget* field, const QString& text) {
    for (uint codePoint : text.toUcs4()) {
        const auto c = static_cast<char32_t>(codePoint);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString::fromUcs4(&c, 1));
        QCoreApplication::sendEvent(field, &press);
    }
}

TEST(GbkInput, FindsEachCharacterGbkCannotHoldOnceInOrder) {
    EXPECT_TRUE(platform::charactersOutsideGbk(QStringLiteral("邮箱 Mail-482?！")).isEmpty());
    EXPECT_TRUE(platform::charactersOutsideGbk(QString()).isEmpty());
    EXPECT_EQ(platform::charactersOutsideGbk(QStringLiteral("a😀b한😀c한")),
              QStringList({QStringLiteral("😀"), QStringLiteral("한")}));
    // The replacement character is what a damaged record reads as; GBK has no place for it.
    EXPECT_EQ(platform::charactersOutsideGbk(QStringLiteral("x\uFFFD")), QStringList{QStringLiteral("\uFFFD")});
    // Whatever it accepts goes to GBK and comes back unchanged.
    const QString held = QStringLiteral("密码·－—“”…①Ⅷ");
    ASSERT_TRUE(platform::charactersOutsideGbk(held).isEmpty());
    EXPECT_EQ(platform::fromGbk(platform::toGbk(held)), held);

    const QString notice = platform::outsideGbkNotice({QStringLiteral("😀"), QStringLiteral("한")});
    EXPECT_TRUE(notice.contains(QStringLiteral("“😀”、“한”"))) << notice.toStdString();
}

TEST(GbkInput, ValidatorRefusesByCharacterAndLengthButReportsOnlyTheCharacters) {
    platform::GbkValidator limited(nullptr, 8);
    QStringList reported;
    QObject::connect(&limited, &platform::GbkValidator::refused,
                     [&](const QStringList& characters) { reported << characters; });
    int pos = 0;
    QString text = QStringLiteral("一二三四");
    EXPECT_EQ(limited.validate(text, pos), QValidator::Acceptable);
    text = QStringLiteral("一二三四五");
    EXPECT_EQ(limited.validate(text, pos), QValidator::Invalid);
    EXPECT_TRUE(reported.isEmpty());
    text = QStringLiteral("a😀");
    EXPECT_EQ(limited.validate(text, pos), QValidator::Invalid);
    EXPECT_EQ(reported, QStringList{QStringLiteral("😀")});

    platform::GbkValidator unlimited(nullptr);
    text = QString(500, QChar(u'字'));
    EXPECT_EQ(unlimited.validate(text, pos), QValidator::Acceptable);
}

TEST(GbkInput, TheInputBoxFieldKeepsOnlyWhatGbkHolds) {
    platform::ScriptedDialogs messages;  // answers the notices; the input box itself is real
    platform::setDialogResponder(nullptr);
    QString seen;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        auto* field = dialog->findChild<QLineEdit*>();
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        // The notice comes once the key press is over, through the program's message box.
        platform::setDialogResponder(&messages);
        typeInto(field, QStringLiteral("4한82"));
        QCoreApplication::processEvents();
        platform::setDialogResponder(nullptr);
        seen = field->text();
        dialog->accept();
    });
    const std::optional<QString> typed = platform::inputBox(nullptr, QStringLiteral("请输入原密码："), true);
    platform::setDialogResponder(&messages);
    ASSERT_TRUE(typed.has_value());
    EXPECT_EQ(*typed, QStringLiteral("482"));
    EXPECT_EQ(seen, QStringLiteral("482"));
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_TRUE(messages.messages()[0].text.contains(QStringLiteral("“한”")));
}

}  // namespace
