#include "platform/gbk.h"

#include <gtest/gtest.h>

namespace {

TEST(Gbk, RoundTripsChineseAndAscii) {
    const std::string utf8 = "信息：abc 123 邮箱";
    std::string gbk = platform::utf8ToGbk(utf8);
    // "信" is C5 C5 in GBK; every Chinese character takes two bytes.
    ASSERT_GE(gbk.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(gbk[0]), 0xD0);
    EXPECT_EQ(static_cast<unsigned char>(gbk[1]), 0xC5);
    EXPECT_EQ(gbk.size(), 2u * 5 + 8);  // five wide characters, "abc 123 " narrow
    EXPECT_EQ(platform::gbkToUtf8(gbk), utf8);
}

TEST(Gbk, DamagedInputIsReplacedNotLost) {
    // A lone lead byte in the middle and a truncated character at the end.
    std::string gbk = std::string("a\x81") + "\x01" + "b\xD0";
    std::string utf8 = platform::gbkToUtf8(gbk);
    EXPECT_EQ(utf8.front(), 'a');
    EXPECT_NE(utf8.find('b'), std::string::npos);
    EXPECT_NE(utf8.find("\xEF\xBF\xBD"), std::string::npos);

    // A character GBK cannot hold becomes '?', the rest survives.
    EXPECT_EQ(platform::utf8ToGbk("x\xF0\x9F\x98\x80y"), "x?y");
}

}  // namespace
