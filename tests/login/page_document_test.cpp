// Page document access and the form element scanner on the real engine: finding the
// page view, which element lands in which list and in which order, the per-position
// accessors, and the scan's equality with a walk by single calls.
#include "login/page_document.h"

#include <gtest/gtest.h>

#include <QTimer>
#include <QWebEngineView>

#include "login/dispatch_call.h"
#include "page_host.h"
#include "platform/gbk.h"

namespace login {
namespace {

using login_test::inPage;
using login_test::PageHost;
using List = PageDocument::List;

std::vector<std::string> ids(const PageDocument& page, List list) {
    std::vector<std::string> out;
    for (int i = 1; i <= page.count(list); ++i) out.push_back(readText(page.entry(list, i), "id"));
    return out;
}

using Ids = std::vector<std::string>;

TEST(PageDocument, FindsThePageViewDepthFirstInPreOrder) {
    QWidget root;
    auto* left = new QWidget(&root);
    auto* deep = new QWidget(left);
    auto* first = new QWebEngineView(deep);
    auto* second = new QWebEngineView(&root);  // shallower, but later in pre-order
    EXPECT_EQ(PageDocument::FindPageWindow(&root), first);
    EXPECT_EQ(PageDocument::FindPageWindow(second), second);  // a view is its own page window
    EXPECT_EQ(PageDocument::FindPageWindow(left), first);
    EXPECT_EQ(PageDocument::FindPageWindow(new QWidget(&root)), nullptr);
    EXPECT_EQ(PageDocument::FindPageWindow(nullptr), nullptr);

    QList<QWidget*> found;
    found.append(&root);  // the list is not emptied first
    EXPECT_TRUE(PageDocument::CollectPageWindows(&root, found));
    EXPECT_EQ(found, (QList<QWidget*>{&root, first, second}));
    QList<QWidget*> none;
    EXPECT_FALSE(PageDocument::CollectPageWindows(second, none));  // the handle itself is not tested
}

TEST(PageDocument, FindTakesTheFirstPositionThatMatchesByNameOrById) {
    // "key" is the id of text box 2 and the name of text box 3: the earlier position
    // wins, whichever way it matched; a later name does not outrank an earlier id.
    PageHost host;
    ASSERT_TRUE(
        host.load(QStringLiteral("<html><body><input id=a name=first><input id=key name=second>"
                                 "<input id=third name=key><input id=fourth name=key></body></html>")));
    PageDocument page;
    ASSERT_TRUE(page.AttachToWindow(host.handle()));
    ASSERT_EQ(page.TextBoxCount(), 4);
    EXPECT_EQ(page.FindTextBox("key"), 2);
    EXPECT_EQ(page.FindTextBox("third"), 3);
    EXPECT_EQ(page.FindTextBox("second"), 2);
}

const char* const kMixedPage = R"(<html><body>
<input id="search" type="text"><form id="f1" name="login">
<input id="user" name="user" type="text"><input id="h1" type="hidden" value="hv"><input id="pass" type="password">
<input id="mail" type="email"><input id="up" type="file"><input id="num" type="number">
<input id="r1" type="radio" name="r" value="a"><input id="r2" type="radio" name="r" value="b" checked>
<input id="c1" type="checkbox"><input id="ib" type="image" src="x.png"><input id="sub" type="submit" value="Go">
<input id="rst" type="reset"><input id="plain" type="button">
<button id="b1">B</button><select id="s1" name="dom"><option>one</option><option>two</option><option>three</option></select>
<textarea id="ta" name="note">t</textarea></form>
<form id="f2"><button id="b2" type="button">C</button></form>
<div id="d1"><div id="d2"></div></div><a id="l1" href="/l">link</a><table id="t1"><tr><td>c</td></tr></table>
<svg><image id="svgimg" href="y.png" width="1" height="1"></image></svg>
<iframe id="fr" name="frm" srcdoc="<input id=inner type=text>"></iframe>
</body></html>)";

TEST(PageDocument, ScannerSortsElementsIntoTheirListsInDocumentOrder) {
    PageHost host;
    ASSERT_TRUE(host.load(QString::fromUtf8(kMixedPage)));
    PageDocument page;
    ASSERT_TRUE(page.AttachToWindow(host.handle()));

    // Text, password and file inputs in one list; the search box before the login
    // fields shifts them; the hidden input between them does not; email and number land
    // nowhere.
    EXPECT_EQ(ids(page, List::TextBox), (Ids{"search", "user", "pass", "up"}));
    EXPECT_EQ(ids(page, List::Hidden), (Ids{"h1"}));
    // Button, submit and reset inputs first, then the button elements.
    EXPECT_EQ(ids(page, List::Button), (Ids{"sub", "rst", "plain", "b1", "b2"}));
    // Image inputs, then elements whose tag is "image".
    EXPECT_EQ(ids(page, List::Image), (Ids{"ib", "svgimg"}));
    EXPECT_EQ(ids(page, List::Radio), (Ids{"r1", "r2"}));
    EXPECT_EQ(ids(page, List::Checkbox), (Ids{"c1"}));
    EXPECT_EQ(ids(page, List::Select), (Ids{"s1"}));
    EXPECT_EQ(ids(page, List::Textarea), (Ids{"ta"}));
    EXPECT_EQ(ids(page, List::Form), (Ids{"f1", "f2"}));
    EXPECT_EQ(ids(page, List::Div), (Ids{"d1", "d2"}));
    EXPECT_EQ(ids(page, List::Link), (Ids{"l1"}));
    EXPECT_EQ(ids(page, List::Table), (Ids{"t1"}));
    // The frame is a window entry; its document is not scanned.
    EXPECT_EQ(page.FrameCount(), 1);
    EXPECT_EQ(page.FrameName(1), "frm");
    EXPECT_EQ(page.documentUrl(), QStringLiteral("http://127.0.0.1/page.html"));

    // Rescanning the same document gives the same lists.
    const DispatchObject document = page.document();
    std::vector<DispatchObject> before;
    for (int i = 1; i <= page.count(List::Button); ++i) before.push_back(page.entry(List::Button, i));
    page.AttachToDocument(document);
    ASSERT_EQ(page.count(List::Button), static_cast<int>(before.size()));
    for (int i = 1; i <= page.count(List::Button); ++i)
        EXPECT_TRUE(sameObject(page.entry(List::Button, i), before[i - 1]));
}

// The scanner's walk made of single calls, as the lists are defined.
std::array<std::vector<DispatchObject>, 13> walk(const DispatchObject& document) {
    std::array<std::vector<DispatchObject>, 13> lists;
    auto add = [&](List list, const DispatchObject& o) { lists[static_cast<size_t>(list)].push_back(o); };
    const DispatchObject all = readObject(readObject(document, "body"), "all");
    const DispatchObject inputs = callObject(all, "tags", {"input"});
    const int n = static_cast<int>(readNumber(inputs, "length"));
    for (int i = 1; i <= n; ++i) {
        const DispatchObject element = callObject(inputs, "item", {double(i - 1)});
        const std::string type = readText(element, "type");
        if (type == "button" || type == "submit" || type == "reset")
            add(List::Button, element);
        else if (type == "radio")
            add(List::Radio, element);
        else if (type == "checkbox")
            add(List::Checkbox, element);
        else if (type == "text" || type == "password" || type == "file")
            add(List::TextBox, element);
        else if (type == "hidden")
            add(List::Hidden, element);
        else if (type == "image")
            add(List::Image, element);
    }
    const int frames = static_cast<int>(readNumber(readObject(document, "frames"), "length"));
    for (int i = 1; i <= frames; ++i)
        add(List::Frame, callObject(readObject(document, "frames"), "item", {double(i - 1)}));
    const std::pair<const char*, List> rows[] = {
        {"form", List::Form},     {"image", List::Image},       {"button", List::Button}, {"table", List::Table},
        {"select", List::Select}, {"textarea", List::Textarea}, {"a", List::Link},        {"div", List::Div}};
    for (const auto& [tag, list] : rows) {
        const DispatchObject collection = callObject(all, "tags", {tag});
        const int m = static_cast<int>(readNumber(collection, "length"));
        for (int i = 1; i <= m; ++i) add(list, callObject(collection, "item", {double(i - 1)}));
    }
    return lists;
}

TEST(PageDocument, ScanMatchesTheWalkBySingleCallsInOneRoundTrip) {
    // A generated page with every kind of element, repeated, in a shuffled order.
    QString body;
    const char* pieces[] = {"<input type=text>",
                            "<input type=password>",
                            "<input type=hidden>",
                            "<input type=submit>",
                            "<button>b</button>",
                            "<input type=image>",
                            "<select><option>o</select>",
                            "<textarea></textarea>",
                            "<a href=#>a</a>",
                            "<div>d</div>",
                            "<table><tr><td>t</table>",
                            "<input type=radio>",
                            "<input type=checkbox>",
                            "<input type=email>",
                            "<form></form>",
                            "<input type=RESET>",
                            "<input type=file>",
                            "<input>"};
    for (int i = 0; i < 300; ++i) body += QString::fromLatin1(pieces[(i * 7) % std::size(pieces)]);
    body += QStringLiteral("<iframe srcdoc='x'></iframe><iframe srcdoc='y'></iframe>");
    PageHost host;
    ASSERT_TRUE(host.load(QStringLiteral("<html><body>%1</body></html>").arg(body)));
    (void)login_test::waitUntil([&] { return inPage(host.page(), QStringLiteral("frames.length")).toInt() == 2; },
                                5000);

    PageDocument page;
    DispatchObject document;
    ASSERT_TRUE(PageDocument::GetDocumentOfWindow(PageDocument::FindPageWindow(host.handle()), document));
    const long long before = Bridge::roundTrips();
    page.AttachToDocument(document);
    EXPECT_EQ(Bridge::roundTrips() - before, 1);  // the whole scan is one trip into the page

    const auto expected = walk(document);
    int total = 0;
    for (int l = 0; l < PageDocument::kListCount; ++l) {
        const List list = static_cast<List>(l);
        ASSERT_EQ(page.count(list), static_cast<int>(expected[l].size())) << "list " << l;
        for (int i = 1; i <= page.count(list); ++i) {
            ASSERT_TRUE(sameObject(page.entry(list, i), expected[l][i - 1])) << "list " << l << " position " << i;
            ++total;
        }
    }
    EXPECT_GT(total, 250);
    EXPECT_EQ(page.FrameCount(), 2);
}

TEST(PageDocument, AccessorsReadAndWriteByPositionAndNeverReachOutsideTheLists) {
    PageHost host;
    ASSERT_TRUE(host.load(QString::fromUtf8(kMixedPage)));
    PageDocument page;
    ASSERT_TRUE(page.AttachToWindow(host.handle()));

    // SelectOption writes the option minus one; the reader gives the page's own index.
    EXPECT_TRUE(page.SelectOption(1, 3));
    EXPECT_EQ(inPage(host.page(), QStringLiteral("document.getElementById('s1').selectedIndex")).toInt(), 2);
    EXPECT_EQ(page.SelectedIndex(1), 2);
    EXPECT_TRUE(page.SelectOption(1, 1));
    EXPECT_EQ(page.SelectedIndex(1), 0);
    EXPECT_EQ(page.SelectOptionCount(1), 3);
    EXPECT_EQ(page.SelectOptionText(1, 2), "two");
    inPage(host.page(), QStringLiteral("document.getElementById('s1').selectedIndex=-1"));
    EXPECT_EQ(page.SelectedIndex(1), -1);

    // Checked state: the page's true is -1.
    EXPECT_FALSE(page.IsRadioChecked(1));
    EXPECT_TRUE(page.IsRadioChecked(2));
    EXPECT_TRUE(page.SetRadioChecked(1));
    EXPECT_TRUE(page.IsRadioChecked(1));
    EXPECT_FALSE(page.IsRadioChecked(2));
    EXPECT_TRUE(page.SetCheckboxChecked(1));
    EXPECT_TRUE(page.IsCheckboxChecked(1));
    EXPECT_TRUE(page.ClearCheckboxChecked(1));
    EXPECT_FALSE(page.IsCheckboxChecked(1));

    // Find by name or id: the first position matching either way.
    EXPECT_EQ(page.FindTextBox("user"), 2);
    EXPECT_EQ(page.FindTextBox("pass"), 3);
    EXPECT_EQ(page.FindForm("login"), 1);
    EXPECT_EQ(page.FindForm("f2"), 2);
    EXPECT_EQ(page.FindSelect("dom"), 1);
    EXPECT_EQ(page.FindTextBox("nobody"), 0);
    EXPECT_EQ(page.FindRadio("r"), 1);

    EXPECT_TRUE(page.SetTextBoxValue(2, platform::utf8ToGbk("张三")));
    EXPECT_EQ(page.TextBoxValue(2), platform::utf8ToGbk("张三"));
    EXPECT_EQ(page.TextBoxType(3), "password");
    EXPECT_EQ(page.HiddenValue(1), "hv");
    EXPECT_EQ(page.ButtonValue(1), "Go");
    EXPECT_EQ(page.ButtonType(4), "submit");
    EXPECT_EQ(page.TextareaName(1), "note");
    EXPECT_TRUE(page.SetTextareaValue(1, "changed"));
    EXPECT_EQ(page.TextareaValue(1), "changed");
    EXPECT_EQ(page.LinkHref(1), "http://127.0.0.1/l");
    EXPECT_EQ(page.DivOuterHtml(2), "<div id=\"d2\"></div>");

    // Generic accessors by kind; kind 5 is the radio list, kinds outside 1..13 nothing.
    EXPECT_EQ(page.ReadTextByKind(1, 3, "id"), "pass");
    EXPECT_EQ(page.ReadTextByKind(5, 2, "value"), "b");
    EXPECT_EQ(page.ReadTextByKind(14, 1, "id"), "");
    EXPECT_EQ(page.ReadNumberByKind(0, 1, "tabIndex"), 0.0);
    EXPECT_DOUBLE_EQ(page.ReadDateByKind(99, 1, "x").days, -657434.0);
    EXPECT_FALSE(page.WriteTextByKind(14, 1, "value", "x"));
    EXPECT_TRUE(page.WriteNumberByKind(9, 1, "selectedIndex", 1));
    EXPECT_EQ(page.SelectedIndex(1), 1);

    // Positions outside a list do nothing and touch nothing.
    const QString valuesBefore =
        inPage(host.page(), QStringLiteral("Array.from(document.querySelectorAll('input'),e=>e.value).join('|')"))
            .toString();
    EXPECT_FALSE(page.SetTextBoxValue(5, "x"));
    EXPECT_FALSE(page.SetTextBoxValue(0, "x"));
    EXPECT_FALSE(page.SetTextBoxValue(-1, "x"));
    EXPECT_FALSE(page.SelectOption(2, 1));
    page.ClickButton(6);
    page.ClickImage(3);
    EXPECT_TRUE(page.GetDiv(3).isEmpty());
    EXPECT_EQ(page.TextBoxName(9), "");
    EXPECT_EQ(inPage(host.page(), QStringLiteral("Array.from(document.querySelectorAll('input'),e=>e.value).join('|')"))
                  .toString(),
              valuesBefore);
    EXPECT_EQ(host.view()->url(), QUrl(QStringLiteral("http://127.0.0.1/page.html")));

    // A failed attach keeps the lists of the last page.
    QWidget nothingBelow;
    EXPECT_FALSE(page.AttachToWindow(&nothingBelow));
    EXPECT_EQ(page.TextBoxCount(), 4);
    page.Clear();
    EXPECT_EQ(page.TextBoxCount(), 0);
    EXPECT_TRUE(page.document().isEmpty());
}

TEST(PageDocument, HostilePagesCannotReachTheBridge) {
    PageHost host;
    // The page replaces the members the scanner and the driver use, throws from every
    // getter it can reach and tries to find the bridge.
    ASSERT_TRUE(host.load(
        QStringLiteral(R"(<html><body><form action="/s"><input id="u" name="u"><input id="p" type="password"></form>
<script>
for (const proto of [HTMLInputElement.prototype, HTMLElement.prototype, Element.prototype, Document.prototype]) {
  for (const name of ['type', 'value', 'body', 'all', 'length', 'item', 'tags', 'click']) {
    try { Object.defineProperty(proto, name, {get() { throw new Error('no'); }, set() { throw new Error('no'); }}); } catch (e) {}
  }
}
window.found = typeof __tmblBridge;
</script></body></html>)")));
    PageDocument page;
    ASSERT_TRUE(page.AttachToWindow(host.handle()));
    EXPECT_EQ(page.TextBoxCount(), 2);
    EXPECT_TRUE(page.SetTextBoxValue(2, "pw"));
    EXPECT_EQ(page.TextBoxValue(2), "pw");
    EXPECT_EQ(inPage(host.page(), QStringLiteral("window.found")).toString(), QStringLiteral("undefined"));
    EXPECT_EQ(inPage(host.page(), QStringLiteral("typeof __tmblBridge")).toString(), QStringLiteral("undefined"));
}

TEST(PageDocument, WaitUntilCompleteEndsWhenTheDocumentGoesAway) {
    PageHost host;
    ASSERT_TRUE(host.load(QStringLiteral("<html><body>x</body></html>")));
    PageDocument page;
    // Complete already: returns on the first look.
    page.WaitUntilComplete(host.handle(), 0, false);
    // A document that is replaced while waiting without a time-out does not hold the
    // caller forever.
    inPage(host.page(), QStringLiteral("document.open()"));
    ASSERT_EQ(inPage(host.page(), QStringLiteral("document.readyState")).toString(), QStringLiteral("loading"));
    QSignalSpy replaced(host.view(), &QWebEngineView::loadFinished);
    QTimer::singleShot(100, [&] { host.view()->setHtml(QStringLiteral("<html><body>y</body></html>")); });
    page.WaitUntilComplete(host.handle(), 0, false);
    EXPECT_GE(replaced.count(), 1);
}

}  // namespace
}  // namespace login
