#include "platform/dialogs.h"

#include <gtest/gtest.h>

namespace {

TEST(ScriptedDialogs, AnswersInOrderAndRecordsWhatWasShown) {
    platform::ScriptedDialogs dialogs;
    dialogs.queueInput(QStringLiteral("wrong"));
    dialogs.queueInput(QString());
    dialogs.queueAnswer(true);

    EXPECT_EQ(platform::inputBox(nullptr, QStringLiteral("p1"), true), QStringLiteral("wrong"));
    auto empty = platform::inputBox(nullptr, QStringLiteral("p2"));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->isEmpty());
    EXPECT_FALSE(platform::inputBox(nullptr, QStringLiteral("p3")).has_value()) << "nothing queued means Cancel";

    platform::messageBox(nullptr, QStringLiteral("密码错误，请重新输入！"), platform::MessageIcon::Error);
    EXPECT_TRUE(platform::askYesNo(nullptr, QStringLiteral("q1")));
    EXPECT_FALSE(platform::askYesNo(nullptr, QStringLiteral("q2"))) << "nothing queued means No";

    ASSERT_EQ(dialogs.inputs().size(), 3u);
    EXPECT_TRUE(dialogs.inputs()[0].password);
    EXPECT_FALSE(dialogs.inputs()[1].password);
    ASSERT_EQ(dialogs.messages().size(), 3u);
    EXPECT_EQ(dialogs.messages()[0].icon, platform::MessageIcon::Error);
    EXPECT_FALSE(dialogs.messages()[0].yesNo);
    EXPECT_EQ(dialogs.messages()[1].icon, platform::MessageIcon::Question);
    EXPECT_TRUE(dialogs.messages()[1].yesNo);
}

TEST(ScriptedDialogs, NestedRespondersRestoreThePreviousOne) {
    platform::ScriptedDialogs outer;
    {
        platform::ScriptedDialogs inner;
        platform::messageBox(nullptr, QStringLiteral("inner"));
        EXPECT_EQ(inner.messages().size(), 1u);
    }
    platform::messageBox(nullptr, QStringLiteral("outer"));
    ASSERT_EQ(outer.messageTexts(), QStringList{QStringLiteral("outer")});
}

}  // namespace
