// The dispatch bridge against the real engine: calls by name, conversions, status codes,
// holders and their documents, the old engine's members, and a page that stops
// answering.
#include "login/dispatch_call.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include "login/page_document.h"
#include "page_host.h"
#include "platform/gbk.h"

namespace login {
namespace {

using login_test::inPage;
using login_test::PageHost;

std::string gbk(const char* utf8) { return platform::utf8ToGbk(utf8); }

const char* const kFormPage = R"(<!doctype html><html><head><title>登录 page</title></head><body>
<form id="f" action="/submit"><input id="user" name="u" value="a"><input type="checkbox" id="box" checked>
<input type="checkbox" id="off"><input type="date" id="when"></form>
<p id="num">42</p></body></html>)";

TEST(DispatchCall, ReadsWritesAndCallsMembersByName) {
    PageHost host;
    ASSERT_TRUE(host.load(QString::fromUtf8(kFormPage)));
    const DispatchObject doc = Bridge::topDocument(host.page());
    ASSERT_FALSE(doc.isEmpty());

    // Texts come back in the program's code page; names bind without regard to case.
    EXPECT_EQ(readText(doc, "title"), gbk("登录 page"));
    EXPECT_EQ(callStatus(), status::kOk);
    EXPECT_EQ(readText(doc, "TITLE"), gbk("登录 page"));
    EXPECT_EQ(readText(doc, "url"), "http://127.0.0.1/page.html");

    // A member the object lacks: empty results, status -3, nothing stops.
    EXPECT_EQ(readText(doc, "noSuchMember"), "");
    EXPECT_EQ(callStatus(), status::kNoMember);
    EXPECT_EQ(readNumber(doc, "noSuchMember"), 0.0);
    EXPECT_EQ(callStatus(), status::kNoMember);
    EXPECT_FALSE(writeMember(doc, "noSuchMember", "x"));
    EXPECT_EQ(callStatus(), status::kNoMember);

    // Write then read back; Chinese text reaches the page as the same characters.
    DispatchObject user = callObject(doc, "getElementById", {"user"});
    ASSERT_FALSE(user.isEmpty());
    EXPECT_TRUE(writeMember(user, "value", gbk("李四")));
    EXPECT_EQ(readText(user, "value"), gbk("李四"));
    EXPECT_TRUE(inPage(host.page(), QStringLiteral("document.getElementById('user').value === '李四'")).toBool());

    // A property takes no arguments; a trailing left-out one is dropped first.
    EXPECT_EQ(readText(user, "value", {1}), "");
    EXPECT_EQ(callStatus(), status::kTooManyArguments);
    EXPECT_EQ(readText(user, "value", {DispatchArg::missing()}), gbk("李四"));
    EXPECT_EQ(callStatus(), status::kOk);

    // item with a number binds as the method; length as the property.
    const DispatchObject inputs = callObject(doc, "getElementsByTagName", {"input"});
    EXPECT_EQ(readNumber(inputs, "length"), 4.0);
    const DispatchObject first = readObject(inputs, "item", {0});
    EXPECT_EQ(callStatus(), status::kOk);
    EXPECT_TRUE(sameObject(first, user));

    // The page's true reads as -1 through a number, true through a bool.
    const DispatchObject box = callObject(doc, "getElementById", {"box"});
    EXPECT_EQ(readNumber(box, "checked"), -1.0);
    EXPECT_TRUE(readBool(box, "checked"));
    EXPECT_EQ(readText(box, "checked"), "-1");
    EXPECT_FALSE(readBool(callObject(doc, "getElementById", {"off"}), "checked"));
    EXPECT_EQ(variantToNumber(readVariant(box, "checked")), -1.0);

    // Conversions that cannot be made fail with -8 and the empty value.
    EXPECT_EQ(readNumber(doc, "title"), 0.0);
    EXPECT_EQ(callStatus(), status::kNoConversion);
    EXPECT_TRUE(readObject(doc, "title").isEmpty());
    EXPECT_EQ(callStatus(), status::kNoConversion);
    EXPECT_EQ(readNumber(callObject(doc, "getElementById", {"num"}), "textContent"), 42.0);

    // The page raising an error: -11.
    EXPECT_TRUE(callObject(doc, "querySelector", {"!!not a selector"}).isEmpty());
    EXPECT_EQ(callStatus(), status::kException);

    // Object arguments pass the element itself; a released holder fails with -1.
    const DispatchObject form = callObject(doc, "getElementById", {"f"});
    EXPECT_TRUE(callBool(form, "contains", {user}));
    user.release();
    EXPECT_FALSE(writeMember(user, "value", "x"));
    EXPECT_EQ(callStatus(), status::kEmptyHolder);
    EXPECT_EQ(readText(user, "value"), "");
    EXPECT_EQ(callStatus(), status::kEmptyHolder);

    // A number the page cannot take is refused before the call.
    EXPECT_FALSE(writeMember(box, "tabIndex", std::nan("")));
    EXPECT_EQ(callStatus(), status::kBadArgument);
}

TEST(DispatchCall, ConvertsDatesVariantsAndLeftOutArguments) {
    PageHost host;
    ASSERT_TRUE(host.load(QString::fromUtf8(kFormPage)));
    const DispatchObject doc = Bridge::topDocument(host.page());
    const DispatchObject body = readObject(doc, "body");

    // A date text is read in local time: noon of 2 January 2020 is day 43832.5.
    ASSERT_TRUE(writeMember(body, "title", "2020-01-02T12:00:00"));
    EXPECT_DOUBLE_EQ(readDate(body, "title").days, 43832.5);
    // A date argument arrives as the same moment (the page turns it into text here).
    ASSERT_TRUE(writeMember(body, "title", DateTime{44000.25}));
    EXPECT_DOUBLE_EQ(readDate(body, "title").days, 44000.25);
    EXPECT_TRUE(readDate(body, "id").days == 0.0 && callStatus() == status::kNoConversion);

    // Variants keep the kind the page gave.
    EXPECT_EQ(readVariant(doc, "title").kind(), Variant::Kind::Text);
    EXPECT_EQ(readVariant(doc, "body").kind(), Variant::Kind::Object);
    EXPECT_EQ(readVariant(body, "onclick").kind(), Variant::Kind::Null);
    const Variant length = readVariant(readObject(doc, "forms"), "length");
    EXPECT_EQ(length.kind(), Variant::Kind::Number);
    EXPECT_EQ(length.numberValue(), 1.0);
    // A variant passed back in is the same value.
    const Variant element = readVariant(doc, "body");
    EXPECT_TRUE(callBool(readObject(doc, "documentElement"), "contains", {element}));

    // A left-out argument in the middle reaches the page as "not given".
    callMember(body, "setAttribute", {"data-left", DispatchArg::missing(), "ignored", DispatchArg::missing()});
    EXPECT_EQ(callStatus(), status::kOk);
    EXPECT_EQ(readText(body, "getAttribute", {"data-left"}), "undefined");

    // Integers of every width pass as numbers; an int64 gives its low 32 bits.
    EXPECT_TRUE(writeMember(body, "tabIndex", int64_t{0x100000005}));
    EXPECT_EQ(readNumber(body, "tabIndex"), 5.0);
    EXPECT_TRUE(writeMember(body, "tabIndex", uint8_t{200}));
    EXPECT_EQ(readNumber(body, "tabIndex"), 200.0);
}

TEST(DispatchCall, HoldersAreReleasedAndNeverReachALaterDocument) {
    PageHost host;
    ASSERT_TRUE(host.load(QString::fromUtf8(kFormPage)));
    const DispatchObject doc = Bridge::topDocument(host.page());
    const int before = Bridge::registrySize(host.page());
    {
        std::vector<DispatchObject> many;
        for (int i = 0; i < 50; ++i) many.push_back(callObject(doc, "getElementById", {"user"}));
        EXPECT_EQ(Bridge::registrySize(host.page()), before + 50);
        DispatchObject copy = many.front();
        many.clear();
        // The copy still holds its reference after the others went.
        EXPECT_EQ(readText(copy, "id"), "user");
    }
    EXPECT_TRUE(login_test::waitUntil([&] { return Bridge::registrySize(host.page()) == before; }, 5000));

    // After the page moves on, an old holder reaches nothing, not even an element of the
    // new document that happens to have the same id in the registry.
    const DispatchObject oldUser = callObject(doc, "getElementById", {"user"});
    EXPECT_FALSE(oldUser.isStale());
    ASSERT_TRUE(host.load(QString::fromUtf8(kFormPage), QStringLiteral("http://127.0.0.1/other.html")));
    const DispatchObject newDoc = Bridge::topDocument(host.page());
    const DispatchObject newUser = callObject(newDoc, "getElementById", {"user"});
    ASSERT_FALSE(newUser.isEmpty());
    EXPECT_TRUE(oldUser.isStale());
    EXPECT_FALSE(writeMember(oldUser, "value", "secret"));
    EXPECT_EQ(callStatus(), status::kOther);
    EXPECT_EQ(readText(newUser, "value"), "a");
    // Nor can an old holder be passed into the new document.
    EXPECT_FALSE(callBool(newDoc, "contains", {oldUser}));
    EXPECT_EQ(callStatus(), status::kBadArgument);
    EXPECT_FALSE(sameObject(oldUser, newUser));
}

TEST(DispatchCall, ProvidesTheOldEngineMembers) {
    PageHost host;
    ASSERT_TRUE(host.load(QStringLiteral(R"(<html><body><div id="d"><span>s</span><input id="i1"><b>x</b>
<input id="i2"></div><iframe name="one" srcdoc="<p id=inner>in one</p>"></iframe><iframe srcdoc="<p>two</p>"></iframe>
<table id="t"><tr><td>1</td><td><a href="/a1">A1</a><a href="/a2">A2</a></td><td>3</td></tr><tr><td>4</td><td>5</td><td>6</td></tr>
<tr><td>7</td><td>8</td></tr></table><a href="/x">x</a><p id="sel">pick me</p></body></html>)")));
    (void)login_test::waitUntil(
        [&] {
            return inPage(host.page(),
                          QStringLiteral("frames.length===2&&!!frames[0].document.getElementById('inner')"))
                .toBool();
        },
        5000);
    const DispatchObject doc = Bridge::topDocument(host.page());
    const DispatchObject div = callObject(doc, "getElementById", {"d"});

    // all and tags(); item() without an argument gives the first entry.
    const DispatchObject all = readObject(div, "all");
    EXPECT_EQ(readNumber(all, "length"), 4.0);
    EXPECT_EQ(readText(callObject(all, "item"), "tagName"), "SPAN");
    const DispatchObject inputs = callObject(all, "tags", {"INPUT"});
    EXPECT_EQ(readNumber(inputs, "length"), 2.0);
    EXPECT_EQ(readText(callObject(inputs, "item", {1}), "id"), "i2");
    EXPECT_TRUE(callObject(inputs, "item", {2}).isEmpty());
    EXPECT_EQ(callStatus(), status::kOk);
    EXPECT_EQ(readNumber(callObject(readObject(doc, "all"), "tags", {"td"}), "length"), 8.0);

    // frames as a collection of windows, whose documents can be read (same origin).
    const DispatchObject frames = readObject(doc, "frames");
    EXPECT_EQ(readNumber(frames, "length"), 2.0);
    const DispatchObject frame = callObject(frames, "item", {0});
    EXPECT_EQ(readText(frame, "name"), "one");
    EXPECT_EQ(readText(callObject(readObject(frame, "document"), "getElementById", {"inner"}), "textContent"),
              "in one");

    // parentWindow, and the document of any element.
    const DispatchObject window = readObject(doc, "parentWindow");
    EXPECT_EQ(readText(readObject(window, "location"), "href"), "http://127.0.0.1/page.html");
    EXPECT_TRUE(sameObject(readObject(div, "document"), doc));

    // execScript runs in the page's own world: what it defines the page sees.
    PageDocument page;
    ASSERT_TRUE(page.AttachToWindow(host.handle()));
    page.RunScript("window.fromBridge = 41 + 1;");
    EXPECT_EQ(inPage(host.page(), QStringLiteral("window.fromBridge")).toInt(), 42);
    page.RunScript("window.fromBridge = 7;", 2);  // no such language here: nothing runs
    EXPECT_EQ(callStatus(), status::kException);
    EXPECT_EQ(inPage(host.page(), QStringLiteral("window.fromBridge")).toInt(), 42);
    page.SuppressDialogs();
    EXPECT_TRUE(inPage(host.page(), QStringLiteral("String(window.alert).includes('return;') && "
                                                   "String(window.confirm).includes('return;')"))
                    .toBool());

    // Table cells through the old table.cells, links of a cell.
    EXPECT_EQ(page.TableCount(), 1);
    EXPECT_EQ(page.TableRowCellCounts(1), "3,3,2");
    EXPECT_EQ(page.TableCellCount(1), 8);
    EXPECT_EQ(page.TableRowCount(1), 3);
    EXPECT_EQ(page.TableCellOuterText(1, 4), "4");
    EXPECT_EQ(page.TableCellLinkCount(1, 2), 2);
    EXPECT_EQ(page.TableCellLinkHref(1, 2, 2), "http://127.0.0.1/a2");
    EXPECT_EQ(page.TableCellLinkOuterText(1, 2, 1), "A1");
    EXPECT_EQ(page.TableCellLinkCount(1, 1), 0);

    // The selection as the old text range.
    inPage(host.page(), QStringLiteral("getSelection().selectAllChildren(document.getElementById('sel'))"));
    EXPECT_EQ(page.SelectionText(0), "pick me");
    EXPECT_EQ(page.SelectionText(1), "pick me");
    EXPECT_EQ(page.SelectionPlainText(), "pick me");

    // The pop-up: a box over the page with the given content and colours.
    const DispatchObject popup = page.Popup(10, 20, 100, 50, "<i>hi</i>", 0x102030u);
    ASSERT_FALSE(popup.isEmpty());
    EXPECT_EQ(inPage(host.page(),
                     QStringLiteral(
                         "(function(){var p=document.querySelector('[data-tmbl-popup]');"
                         "return p.innerHTML+'|'+p.style.display+'|'+p.style.backgroundColor+'|'+p.style.top;})()"))
                  .toString(),
              QStringLiteral("<i>hi</i>|block|rgb(16, 32, 48)|20px"));
    PageDocument::HidePopup(popup);
    EXPECT_EQ(
        inPage(host.page(), QStringLiteral("document.querySelector('[data-tmbl-popup]').style.display")).toString(),
        QStringLiteral("none"));
}

TEST(DispatchCall, PageThatStopsAnsweringFailsTheCallAndKeepsTheProgramResponsive) {
    PageHost host;
    // The page blocks its own thread for a while after loading; to the program that is
    // a page that never answers.
    ASSERT_TRUE(
        host.load(QStringLiteral("<html><head><title>busy</title></head><body><script>"
                                 "setTimeout(function(){var end=Date.now()+4000;while(Date.now()<end){}},300);"
                                 "</script></body></html>")));
    const DispatchObject doc = Bridge::topDocument(host.page());
    ASSERT_FALSE(doc.isEmpty());
    QTest::qWait(600);

    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);
    EXPECT_EQ(readText(doc, "title"), "");
    EXPECT_EQ(callStatus(), status::kOther);
    EXPECT_GT(ticks, 0);  // events ran while the call waited

    // While the first call is still unanswered, further calls fail without waiting again.
    const long long sent = Bridge::roundTrips();
    EXPECT_EQ(readText(doc, "title"), "");
    EXPECT_EQ(callStatus(), status::kOther);
    EXPECT_EQ(Bridge::roundTrips(), sent);

    // Once the page is free again, calls work.
    EXPECT_TRUE(login_test::waitUntil([&] { return readText(doc, "title") == "busy"; }, 10000));
}

}  // namespace
}  // namespace login
