#include "login/page_document.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <QWebEngineView>
#include <QWidget>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "login/form_scanner.h"

namespace login {

namespace {

// Positions the page counts from 0 are passed as the caller's position minus 1, as a
// double.
DispatchArg zeroBased(int position) { return DispatchArg(static_cast<double>(position) - 1.0); }

int truncated(double value) {
    if (!std::isfinite(value)) return 0;
    const double t = std::trunc(value);
    if (t > 2147483647.0) return 2147483647;
    if (t < -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(t);
}

std::string hexColour(unsigned colour) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%02X%02X%02X", (colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF);
    return buffer;
}

}  // namespace

QWebEngineView* pageViewOf(QWidget* handle) { return qobject_cast<QWebEngineView*>(handle); }

// ---- attaching

QWidget* PageDocument::FindPageWindow(QWidget* handle) {
    if (!handle) return nullptr;
    if (pageViewOf(handle)) return handle;
    for (QObject* object : handle->children()) {
        auto* child = qobject_cast<QWidget*>(object);
        if (!child) continue;
        if (pageViewOf(child)) return child;
        if (QWidget* found = FindPageWindow(child)) return found;
    }
    return nullptr;
}

bool PageDocument::CollectPageWindows(QWidget* handle, QList<QWidget*>& list) {
    if (handle) {
        for (QObject* object : handle->children()) {
            auto* child = qobject_cast<QWidget*>(object);
            if (!child) continue;
            if (pageViewOf(child)) list.append(child);
            CollectPageWindows(child, list);
        }
    }
    return !list.isEmpty();
}

bool PageDocument::GetDocumentOfWindow(QWidget* handle, DispatchObject& document) {
    QWebEngineView* view = pageViewOf(handle);
    if (!view || !view->page()) return false;
    DispatchObject taken = Bridge::topDocument(view->page());
    if (taken.isEmpty()) return false;
    document = std::move(taken);
    return true;
}

bool PageDocument::AttachToWindow(QWidget* handle) {
    DispatchObject document;
    if (!GetDocumentOfWindow(FindPageWindow(handle), document)) return false;
    AttachToDocument(document);
    return true;
}

void PageDocument::AttachToDocument(const DispatchObject& document) {
    Clear();
    m_document = document;
    ScanElements();
}

void PageDocument::Clear() {
    m_document.release();
    for (auto& list : m_lists) list.clear();
    m_documentUrl.clear();
}

void PageDocument::ScanElements() {
    FormScan scanned = scanFormElements(m_document);
    m_documentUrl = scanned.documentUrl;
    m_lists = std::move(scanned.lists);
}

void PageDocument::WaitUntilComplete(QWidget* handle, int timeoutMs, bool useTimeout) {
    QPointer<QWidget> view = FindPageWindow(handle);
    DispatchObject document;
    if (!GetDocumentOfWindow(view, document)) return;
    int elapsed = 0;
    for (;;) {
        QThread::msleep(10);
        elapsed += 10;
        QCoreApplication::processEvents();
        // The events may have closed the window or replaced the document; nothing
        // would ever report "complete" then.
        if (!view || !document.page()) return;
        if (readText(document, "readyState") == "complete") return;
        if (callStatus() != status::kOk && document.isStale()) return;
        if (useTimeout && elapsed >= timeoutMs) return;
    }
}

void PageDocument::SuppressDialogs() {
    const DispatchObject window = readObject(m_document, "parentWindow");
    for (const char* code : {"function alert(){return;}", "function confirm(){return;}", "function prompt(){return;}",
                             "function showModalDialog(){return;}"})
        callMember(window, "execScript", {code, "JScript"});
}

DispatchObject PageDocument::entry(List list, int position) const {
    const auto& entries = m_lists[index(list)];
    if (position < 1 || position > static_cast<int>(entries.size())) return {};
    return entries[static_cast<size_t>(position - 1)];
}

std::string PageDocument::text(List list, int position, std::string_view member) const {
    return readText(entry(list, position), member);
}

int PageDocument::find(List list, const std::string& key) const {
    const int n = count(list);
    for (int position = 1; position <= n; ++position) {
        const DispatchObject element = entry(list, position);
        if (readText(element, "name") == key) return position;
        if (readText(element, "id") == key) return position;
    }
    return 0;
}

bool PageDocument::isChecked(List list, int position) const {
    const Variant checked = readVariant(entry(list, position), "checked");
    return std::fabs(variantToNumber(checked) + 1.0) <= 1e-7;
}

bool PageDocument::setChecked(List list, int position, bool checked) {
    return writeMember(entry(list, position), "checked", checked ? 1 : 0);
}

// ---- the login driver's operations

bool PageDocument::SetTextBoxValue(int position, const std::string& text) {
    return writeMember(entry(List::TextBox, position), "value", text);
}

bool PageDocument::SelectOption(int position, int option) {
    return writeMember(entry(List::Select, position), "selectedIndex", zeroBased(option));
}

void PageDocument::ClickButton(int position) { callMember(entry(List::Button, position), "click"); }

void PageDocument::ClickImage(int position) { callMember(entry(List::Image, position), "click"); }

// ---- frames

int PageDocument::FindFrame(const std::string& key) const { return find(List::Frame, key); }
double PageDocument::FrameHeight(int position) const {
    return variantToNumber(readVariant(entry(List::Frame, position), "height"));
}
double PageDocument::FrameWidth(int position) const {
    return variantToNumber(readVariant(entry(List::Frame, position), "width"));
}
std::string PageDocument::FrameName(int position) const { return text(List::Frame, position, "name"); }
std::string PageDocument::FrameId(int position) const { return text(List::Frame, position, "id"); }
DispatchObject PageDocument::FrameDocument(int position) const {
    return readObject(entry(List::Frame, position), "document");
}

// ---- div, hidden

std::string PageDocument::DivOuterText(int position) const { return text(List::Div, position, "outerText"); }
std::string PageDocument::DivName(int position) const { return text(List::Div, position, "name"); }
std::string PageDocument::DivId(int position) const { return text(List::Div, position, "id"); }
std::string PageDocument::DivOuterHtml(int position) const { return text(List::Div, position, "outerHTML"); }
std::string PageDocument::HiddenName(int position) const { return text(List::Hidden, position, "name"); }
std::string PageDocument::HiddenId(int position) const { return text(List::Hidden, position, "id"); }
std::string PageDocument::HiddenValue(int position) const { return text(List::Hidden, position, "value"); }

// ---- tables

std::string PageDocument::TableOuterText(int position) const { return text(List::Table, position, "outerText"); }
std::string PageDocument::TableOuterHtml(int position) const { return text(List::Table, position, "outerHTML"); }
int PageDocument::TableCellCount(int position) const {
    return truncated(readNumber(readObject(entry(List::Table, position), "cells"), "length"));
}
std::string PageDocument::TableName(int position) const { return text(List::Table, position, "name"); }
std::string PageDocument::TableId(int position) const { return text(List::Table, position, "id"); }
int PageDocument::TableRowCount(int position) const {
    return truncated(readNumber(readObject(entry(List::Table, position), "rows"), "length"));
}

std::string PageDocument::TableRowCellCounts(int position) const {
    const DispatchObject rows = readObject(entry(List::Table, position), "rows");
    const int n = truncated(readNumber(rows, "length"));
    std::string joined;
    for (int i = 1; i <= n; ++i) {
        const DispatchObject row = callObject(rows, "item", {zeroBased(i)});
        if (!joined.empty()) joined += ',';
        joined += std::to_string(truncated(readNumber(readObject(row, "cells"), "length")));
    }
    return joined;
}

namespace {

DispatchObject cellOf(const DispatchObject& table, int cell) {
    return callObject(readObject(table, "cells"), "item", {zeroBased(cell)});
}

DispatchObject cellLink(const DispatchObject& table, int cell, int link) {
    const DispatchObject links = callObject(readObject(cellOf(table, cell), "all"), "tags", {"a"});
    return callObject(links, "item", {zeroBased(link)});
}

}  // namespace

DispatchObject PageDocument::TableCellDocument(int table, int cell) const {
    return readObject(cellOf(entry(List::Table, table), cell), "document");
}
std::string PageDocument::TableCellOuterText(int table, int cell) const {
    return readText(cellOf(entry(List::Table, table), cell), "outerText");
}
std::string PageDocument::TableCellOuterHtml(int table, int cell) const {
    return readText(cellOf(entry(List::Table, table), cell), "outerHTML");
}
// The links of the cell itself: the same collection the link readers below index, so
// that positions 1..count are exactly the readable ones.
int PageDocument::TableCellLinkCount(int table, int cell) const {
    const DispatchObject links = callObject(readObject(cellOf(entry(List::Table, table), cell), "all"), "tags", {"a"});
    return truncated(readNumber(links, "length"));
}
std::string PageDocument::TableCellLinkHref(int table, int cell, int link) const {
    return readText(cellLink(entry(List::Table, table), cell, link), "href");
}
std::string PageDocument::TableCellLinkOuterText(int table, int cell, int link) const {
    return readText(cellLink(entry(List::Table, table), cell, link), "outerText");
}

// ---- buttons, images

std::string PageDocument::ButtonName(int position) const { return text(List::Button, position, "name"); }
std::string PageDocument::ButtonId(int position) const { return text(List::Button, position, "id"); }
std::string PageDocument::ButtonValue(int position) const { return text(List::Button, position, "value"); }
std::string PageDocument::ButtonType(int position) const { return text(List::Button, position, "type"); }
std::string PageDocument::ImageName(int position) const { return text(List::Image, position, "name"); }
std::string PageDocument::ImageId(int position) const { return text(List::Image, position, "id"); }
std::string PageDocument::ImageHref(int position) const { return text(List::Image, position, "href"); }
std::string PageDocument::ImageSrc(int position) const { return text(List::Image, position, "src"); }

// ---- radios, checkboxes

std::string PageDocument::RadioName(int position) const { return text(List::Radio, position, "name"); }
std::string PageDocument::RadioValue(int position) const { return text(List::Radio, position, "value"); }
std::string PageDocument::RadioId(int position) const { return text(List::Radio, position, "id"); }
std::string PageDocument::CheckboxName(int position) const { return text(List::Checkbox, position, "name"); }
std::string PageDocument::CheckboxId(int position) const { return text(List::Checkbox, position, "id"); }
std::string PageDocument::CheckboxValue(int position) const { return text(List::Checkbox, position, "value"); }

// ---- by kind

std::optional<PageDocument::List> PageDocument::listOfKind(int kind) {
    switch (kind) {
        case 1:
            return List::TextBox;
        case 2:
            return List::Textarea;
        case 3:
            return List::Button;
        case 4:
        case 5:
            return List::Radio;
        case 6:
            return List::Image;
        case 7:
            return List::Link;
        case 8:
            return List::Hidden;
        case 9:
            return List::Select;
        case 10:
            return List::Table;
        case 11:
            return List::Frame;
        case 12:
            return List::Div;
        case 13:
            return List::Form;
        default:
            return std::nullopt;
    }
}

double PageDocument::ReadNumberByKind(int kind, int position, std::string_view name) const {
    const auto list = listOfKind(kind);
    return list ? readNumber(entry(*list, position), name) : 0.0;
}
std::string PageDocument::ReadTextByKind(int kind, int position, std::string_view name) const {
    const auto list = listOfKind(kind);
    return list ? readText(entry(*list, position), name) : std::string();
}
bool PageDocument::ReadBoolByKind(int kind, int position, std::string_view name) const {
    const auto list = listOfKind(kind);
    return list && readBool(entry(*list, position), name);
}
DateTime PageDocument::ReadDateByKind(int kind, int position, std::string_view name) const {
    const auto list = listOfKind(kind);
    // 1 January 100, the earliest date the old date type holds.
    return list ? readDate(entry(*list, position), name) : DateTime{-657434.0};
}
DispatchObject PageDocument::ReadObjectByKind(int kind, int position, std::string_view name) const {
    const auto list = listOfKind(kind);
    return list ? readObject(entry(*list, position), name) : DispatchObject();
}
Variant PageDocument::ReadVariantByKind(int kind, int position, std::string_view name) const {
    const auto list = listOfKind(kind);
    return list ? readVariant(entry(*list, position), name) : Variant();
}
bool PageDocument::WriteTextByKind(int kind, int position, std::string_view name, const std::string& text) {
    const auto list = listOfKind(kind);
    return list && writeMember(entry(*list, position), name, text);
}
bool PageDocument::WriteVariantByKind(int kind, int position, std::string_view name, const Variant& value) {
    const auto list = listOfKind(kind);
    return list && writeMember(entry(*list, position), name, value);
}
bool PageDocument::WriteNumberByKind(int kind, int position, std::string_view name, double value) {
    const auto list = listOfKind(kind);
    return list && writeMember(entry(*list, position), name, value);
}

// ---- selects, forms

int PageDocument::SelectOptionCount(int position) const {
    return truncated(readNumber(readObject(entry(List::Select, position), "options"), "length"));
}
int PageDocument::SelectedIndex(int position) const {
    return truncated(readNumber(entry(List::Select, position), "selectedIndex"));
}
std::string PageDocument::SelectOptionText(int position, int option) const {
    const DispatchObject options = readObject(entry(List::Select, position), "options");
    return readText(callObject(options, "item", {zeroBased(option)}), "text");
}
std::string PageDocument::SelectName(int position) const { return text(List::Select, position, "name"); }
std::string PageDocument::SelectId(int position) const { return text(List::Select, position, "id"); }
std::string PageDocument::FormName(int position) const { return text(List::Form, position, "name"); }
std::string PageDocument::FormId(int position) const { return text(List::Form, position, "id"); }
void PageDocument::SubmitForm(int position) { callMember(entry(List::Form, position), "submit"); }

// ---- text boxes, textareas, links

std::string PageDocument::TextBoxType(int position) const { return text(List::TextBox, position, "type"); }
std::string PageDocument::TextBoxName(int position) const { return text(List::TextBox, position, "name"); }
std::string PageDocument::TextBoxValue(int position) const { return text(List::TextBox, position, "value"); }
std::string PageDocument::TextBoxId(int position) const { return text(List::TextBox, position, "id"); }
std::string PageDocument::TextareaName(int position) const { return text(List::Textarea, position, "name"); }
bool PageDocument::SetTextareaValue(int position, const std::string& text) {
    return writeMember(entry(List::Textarea, position), "value", text);
}
std::string PageDocument::TextareaValue(int position) const { return text(List::Textarea, position, "value"); }
std::string PageDocument::TextareaId(int position) const { return text(List::Textarea, position, "id"); }
std::string PageDocument::LinkHref(int position) const { return text(List::Link, position, "href"); }
std::string PageDocument::LinkOuterText(int position) const { return text(List::Link, position, "outerText"); }
void PageDocument::ClickLink(int position) { callMember(entry(List::Link, position), "click"); }

// ---- the document

void PageDocument::WriteHtml(const std::string& html) {
    callMember(m_document, "open");
    callMember(m_document, "write", {html});
    callMember(m_document, "Close");
}

void PageDocument::NavigatePage(const std::string& address) {
    callMember(readObject(m_document, "parentwindow"), "navigate", {address});
}

std::string PageDocument::FirstItemOuterHtml() const {
    return readText(callObject(readObject(m_document, "all"), "item"), "outerHTML");
}
std::string PageDocument::FirstItemOuterText() const {
    return readText(callObject(readObject(m_document, "all"), "item"), "outerText");
}
std::string PageDocument::BodyOuterHtml() const { return readText(readObject(m_document, "body"), "outerHTML"); }
std::string PageDocument::BodyOuterText() const { return readText(readObject(m_document, "body"), "outerText"); }
std::string PageDocument::Title() const { return readText(m_document, "title"); }
std::string PageDocument::Cookie() const { return readText(m_document, "cookie"); }
std::string PageDocument::Domain() const { return readText(m_document, "domain"); }
std::string PageDocument::Address() const { return readText(m_document, "url"); }
std::string PageDocument::ReadDocumentProperty(std::string_view name) const { return readText(m_document, name); }
bool PageDocument::WriteDocumentProperty(std::string_view name, const std::string& text) {
    return writeMember(m_document, name, text);
}
bool PageDocument::WriteDocumentProperty(std::string_view name, const Variant& value) {
    return writeMember(m_document, name, value);
}

std::string PageDocument::SelectionText(int htmlFlag) const {
    const DispatchObject range = callObject(readObject(m_document, "selection"), "createRange");
    if (range.isEmpty()) return {};
    return readText(range, htmlFlag >= 1 ? "htmlText" : "Text");
}
std::string PageDocument::SelectionHtml() const {
    return readText(callObject(readObject(m_document, "selection"), "createRange"), "htmlText");
}
std::string PageDocument::SelectionPlainText() const {
    return readText(callObject(readObject(m_document, "selection"), "createRange"), "Text");
}
void PageDocument::PasteHtml(const std::string& html) {
    callMember(callObject(readObject(m_document, "selection"), "createRange"), "pasteHTML", {html});
}

DispatchObject PageDocument::ElementsByTag(const std::string& tag) const {
    return callObject(m_document, "getElementsByTagName", {tag});
}
DispatchObject PageDocument::ElementAtPoint(int x, int y) const {
    return callObject(m_document, "elementFromPoint", {x, y});
}
DispatchObject PageDocument::ElementByNameOrId(const std::string& key, int byName) const {
    if (byName == 1) return callObject(callObject(m_document, "getElementsByName", {key}), "item");
    return callObject(m_document, "getElementById", {key});
}

void PageDocument::RunScript(const std::string& code, int language) {
    callMember(readObject(m_document, "parentWindow"), "execScript", {code, language == 1 ? "JavaScript" : "VBScript"});
}

DispatchObject PageDocument::Popup(int x, int y, int width, int height, const std::string& html,
                                   std::optional<unsigned> background, std::optional<int> borderWidth,
                                   std::optional<unsigned> borderColour, const DispatchObject& owner) {
    const DispatchObject popup = callObject(readObject(m_document, "parentWindow"), "createPopup");
    const DispatchObject body = readObject(readObject(popup, "document"), "body");
    const DispatchObject style = readObject(body, "style");
    // The "#" keeps the colour valid outside the engine's quirks mode.
    writeMember(style, "backgroundColor", "#" + hexColour(background.value_or(0xFFFFFF)));
    writeMember(
        style, "border",
        "solid #" + hexColour(borderColour.value_or(0xC0C0C0)) + " " + std::to_string(borderWidth.value_or(1)) + "px");
    writeMember(body, "innerHTML", html);
    if (owner.isEmpty())
        callMember(popup, "show", {x, y, width, height});
    else
        callMember(popup, "show", {x, y, width, height, owner});
    return popup;
}

// ---- elements the caller holds

std::string PageDocument::InnerHtml(const DispatchObject& element) { return readText(element, "innerHTML"); }
std::string PageDocument::InnerText(const DispatchObject& element) { return readText(element, "innerText"); }
std::string PageDocument::OuterHtml(const DispatchObject& element) { return readText(element, "outerHTML"); }
std::string PageDocument::OuterText(const DispatchObject& element) { return readText(element, "outerText"); }
bool PageDocument::SetInnerHtml(const DispatchObject& element, const std::string& html) {
    return writeMember(element, "innerHTML", html);
}
bool PageDocument::SetInnerText(const DispatchObject& element, const std::string& text) {
    return writeMember(element, "innerText", text);
}
bool PageDocument::SetOuterHtml(const DispatchObject& element, const std::string& html) {
    return writeMember(element, "outerHTML", html);
}
bool PageDocument::SetOuterText(const DispatchObject& element, const std::string& text) {
    return writeMember(element, "outerText", text);
}
std::string PageDocument::ReadElementProperty(const DispatchObject& element, std::string_view name) {
    return readText(element, name);
}
Variant PageDocument::ReadElementVariant(const DispatchObject& element, std::string_view name) {
    return readVariant(element, name);
}
bool PageDocument::WriteElementProperty(const DispatchObject& element, std::string_view name, const std::string& text) {
    return writeMember(element, name, text);
}
bool PageDocument::WriteElementVariant(const DispatchObject& element, std::string_view name, const Variant& value) {
    return writeMember(element, name, value);
}
void PageDocument::FocusElement(const DispatchObject& element) { callMember(element, "focus"); }
void PageDocument::HidePopup(const DispatchObject& popup) { callMember(popup, "hide"); }

void PageDocument::ShowElement(const DispatchObject& element, bool show) {
    std::string tag = readText(element, "tagName");
    for (char& c : tag) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tag == "input") {
        writeMember(element, "type", show ? "text" : "hidden");
        return;
    }
    writeMember(readObject(element, "style"), "display", show ? "block" : "none");
}

}  // namespace login
