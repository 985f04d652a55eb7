// PageDocument: the document of the page shown in the browser pane and its thirteen
// element lists, with numbered access to the elements. One object serves the whole run
// (the login driver owns it). User-interface thread only; every page call goes
// through the dispatch bridge and is bounded by its time-out.
#pragma once

#include <QList>
#include <QString>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "login/dispatch_call.h"

class QWidget;
class QWebEngineView;

namespace login {

class PageDocument {
public:
    // The element lists, in the order of the object's fields.
    enum class List {
        Div,
        Button,
        Table,
        Radio,
        Checkbox,
        TextBox,
        Select,
        Link,
        Hidden,
        Image,
        Textarea,
        Frame,
        Form
    };
    static constexpr int kListCount = 13;

    PageDocument() = default;
    PageDocument(const PageDocument&) = delete;
    PageDocument& operator=(const PageDocument&) = delete;

    // Finds the page view below the handle, takes its document and rebuilds every list.
    // False (and nothing changed) when no page view is found or its document gives no
    // answer in time.
    bool AttachToWindow(QWidget* handle);
    void AttachToDocument(const DispatchObject& document);

    // The first page view at or below the handle, depth first in pre-order.
    static QWidget* FindPageWindow(QWidget* handle);
    // Appends every page view below the handle (not the handle itself) in pre-order;
    // true when the list holds at least one afterwards.
    static bool CollectPageWindows(QWidget* handle, QList<QWidget*>& list);
    static bool GetDocumentOfWindow(QWidget* handle, DispatchObject& document);

    void Clear();
    void ScanElements();
    // Waits, letting events run, until the page below the handle reports "complete", the
    // time-out passes (when useTimeout), the page goes away or the document is replaced.
    void WaitUntilComplete(QWidget* handle, int timeoutMs, bool useTimeout);
    void SuppressDialogs();

    const DispatchObject& document() const { return m_document; }
    // Address of the document the lists were built from (read with the scan).
    const QString& documentUrl() const { return m_documentUrl; }
    int count(List list) const { return static_cast<int>(m_lists[index(list)].size()); }
    // The entry at a 1-based position; empty outside 1..count.
    DispatchObject entry(List list, int position) const;

    // ---- used by the login driver
    int TextBoxCount() const { return count(List::TextBox); }
    bool SetTextBoxValue(int position, const std::string& text);
    bool SelectOption(int position, int option);
    void ClickButton(int position);
    void ClickImage(int position);

    // ---- frames
    int FindFrame(const std::string& key) const;
    int FindFrame2(const std::string& key) const { return FindFrame(key); }
    int FrameCount() const { return count(List::Frame); }
    double FrameHeight(int position) const;
    double FrameWidth(int position) const;
    std::string FrameName(int position) const;
    std::string FrameId(int position) const;
    DispatchObject FrameDocument(int position) const;

    // ---- div
    int DivCount() const { return count(List::Div); }
    DispatchObject GetDiv(int position) const { return entry(List::Div, position); }
    std::string DivOuterText(int position) const;
    std::string DivName(int position) const;
    std::string DivId(int position) const;
    std::string DivOuterHtml(int position) const;
    int FindDiv(const std::string& key) const { return find(List::Div, key); }

    // ---- hidden
    int HiddenCount() const { return count(List::Hidden); }
    std::string HiddenName(int position) const;
    std::string HiddenId(int position) const;
    std::string HiddenValue(int position) const;
    int FindHidden(const std::string& key) const { return find(List::Hidden, key); }
    DispatchObject GetHidden(int position) const { return entry(List::Hidden, position); }

    // ---- table
    int TableCount() const { return count(List::Table); }
    std::string TableOuterText(int position) const;
    std::string TableOuterHtml(int position) const;
    int TableCellCount(int position) const;
    int FindTable(const std::string& key) const { return find(List::Table, key); }
    std::string TableName(int position) const;
    std::string TableId(int position) const;
    int TableRowCount(int position) const;
    std::string TableRowCellCounts(int position) const;  // "3,3,2"
    DispatchObject TableCellDocument(int table, int cell) const;
    DispatchObject GetTable(int position) const { return entry(List::Table, position); }
    std::string TableCellOuterText(int table, int cell) const;
    std::string TableCellOuterHtml(int table, int cell) const;
    int TableCellLinkCount(int table, int cell) const;
    std::string TableCellLinkHref(int table, int cell, int link) const;
    std::string TableCellLinkOuterText(int table, int cell, int link) const;

    // ---- button
    std::string ButtonName(int position) const;
    std::string ButtonId(int position) const;
    int ButtonCount() const { return count(List::Button); }
    int FindButton(const std::string& key) const { return find(List::Button, key); }
    std::string ButtonValue(int position) const;
    std::string ButtonType(int position) const;
    DispatchObject GetButton(int position) const { return entry(List::Button, position); }

    // ---- image
    std::string ImageName(int position) const;
    std::string ImageId(int position) const;
    int FindImage(const std::string& key) const { return find(List::Image, key); }
    int ImageCount() const { return count(List::Image); }
    std::string ImageHref(int position) const;
    std::string ImageSrc(int position) const;
    DispatchObject GetImage(int position) const { return entry(List::Image, position); }

    // ---- radio and checkbox
    bool IsRadioChecked(int position) const { return isChecked(List::Radio, position); }
    std::string RadioName(int position) const;
    std::string RadioValue(int position) const;
    int RadioCount() const { return count(List::Radio); }
    DispatchObject GetRadio(int position) const { return entry(List::Radio, position); }
    bool SetRadioChecked(int position) { return setChecked(List::Radio, position, true); }
    bool ClearRadioChecked(int position) { return setChecked(List::Radio, position, false); }
    std::string RadioId(int position) const;
    int FindRadio(const std::string& key) const { return find(List::Radio, key); }
    int CheckboxCount() const { return count(List::Checkbox); }
    std::string CheckboxName(int position) const;
    std::string CheckboxId(int position) const;
    std::string CheckboxValue(int position) const;
    DispatchObject GetCheckbox(int position) const { return entry(List::Checkbox, position); }
    bool IsCheckboxChecked(int position) const { return isChecked(List::Checkbox, position); }
    bool SetCheckboxChecked(int position) { return setChecked(List::Checkbox, position, true); }
    bool ClearCheckboxChecked(int position) { return setChecked(List::Checkbox, position, false); }

    // ---- any list by kind number (1 text box, 2 textarea, 3 button, 4 and 5 radio,
    // 6 image, 7 link, 8 hidden, 9 select, 10 table, 11 frame, 12 div, 13 form)
    static std::optional<List> listOfKind(int kind);
    double ReadNumberByKind(int kind, int position, std::string_view name) const;
    std::string ReadTextByKind(int kind, int position, std::string_view name) const;
    bool ReadBoolByKind(int kind, int position, std::string_view name) const;
    DateTime ReadDateByKind(int kind, int position, std::string_view name) const;
    DispatchObject ReadObjectByKind(int kind, int position, std::string_view name) const;
    Variant ReadVariantByKind(int kind, int position, std::string_view name) const;
    bool WriteTextByKind(int kind, int position, std::string_view name, const std::string& text);
    bool WriteVariantByKind(int kind, int position, std::string_view name, const Variant& value);
    bool WriteNumberByKind(int kind, int position, std::string_view name, double value);

    // ---- select
    int SelectCount() const { return count(List::Select); }
    int SelectOptionCount(int position) const;
    int SelectedIndex(int position) const;  // the page's 0-based value, -1 for none
    std::string SelectOptionText(int position, int option) const;
    std::string SelectName(int position) const;
    std::string SelectId(int position) const;
    int FindSelect(const std::string& key) const { return find(List::Select, key); }
    DispatchObject GetSelect(int position) const { return entry(List::Select, position); }

    // ---- form
    int FindForm(const std::string& key) const { return find(List::Form, key); }
    int FormCount() const { return count(List::Form); }
    std::string FormName(int position) const;
    std::string FormId(int position) const;
    DispatchObject GetForm(int position) const { return entry(List::Form, position); }
    void SubmitForm(int position);

    // ---- text box and textarea
    DispatchObject GetTextBox(int position) const { return entry(List::TextBox, position); }
    DispatchObject GetTextarea(int position) const { return entry(List::Textarea, position); }
    std::string TextBoxType(int position) const;
    std::string TextBoxName(int position) const;
    int FindTextBox(const std::string& key) const { return find(List::TextBox, key); }
    std::string TextBoxValue(int position) const;
    std::string TextBoxId(int position) const;
    int TextareaCount() const { return count(List::Textarea); }
    std::string TextareaName(int position) const;
    bool SetTextareaValue(int position, const std::string& text);
    int FindTextarea(const std::string& key) const { return find(List::Textarea, key); }
    std::string TextareaValue(int position) const;
    std::string TextareaId(int position) const;

    // ---- link
    int LinkCount() const { return count(List::Link); }
    int FindLink(const std::string& key) const { return find(List::Link, key); }
    std::string LinkHref(int position) const;
    std::string LinkOuterText(int position) const;
    void ClickLink(int position);

    // ---- the document
    void WriteHtml(const std::string& html);
    void NavigatePage(const std::string& address);
    std::string FirstItemOuterHtml() const;
    std::string FirstItemOuterText() const;
    std::string BodyOuterHtml() const;
    std::string BodyOuterText() const;
    std::string Title() const;
    std::string Cookie() const;
    std::string Domain() const;
    std::string Address() const;
    std::string ReadDocumentProperty(std::string_view name) const;
    bool WriteDocumentProperty(std::string_view name, const std::string& text);
    bool WriteDocumentProperty(std::string_view name, const Variant& value);
    std::string SelectionText(int htmlFlag) const;
    std::string SelectionHtml() const;
    std::string SelectionPlainText() const;
    void PasteHtml(const std::string& html);
    DispatchObject ElementsByTag(const std::string& tag) const;
    DispatchObject ElementAtPoint(int x, int y) const;
    DispatchObject ElementByNameOrId(const std::string& key, int byName) const;
    void RunScript(const std::string& code, int language = 1);
    // A pop-up over the page; colours are 0xRRGGBB. Returns the pop-up object.
    DispatchObject Popup(int x, int y, int width, int height, const std::string& html,
                         std::optional<unsigned> background = {}, std::optional<int> borderWidth = {},
                         std::optional<unsigned> borderColour = {}, const DispatchObject& owner = {});

    // ---- any element the caller holds
    static std::string InnerHtml(const DispatchObject& element);
    static std::string InnerText(const DispatchObject& element);
    static std::string OuterHtml(const DispatchObject& element);
    static std::string OuterText(const DispatchObject& element);
    static bool SetInnerHtml(const DispatchObject& element, const std::string& html);
    static bool SetInnerText(const DispatchObject& element, const std::string& text);
    static bool SetInnerText2(const DispatchObject& element, const std::string& text) {
        return SetInnerText(element, text);
    }
    static bool SetOuterHtml(const DispatchObject& element, const std::string& html);
    static bool SetOuterText(const DispatchObject& element, const std::string& text);
    static std::string ReadElementProperty(const DispatchObject& element, std::string_view name);
    static Variant ReadElementVariant(const DispatchObject& element, std::string_view name);
    static bool WriteElementProperty(const DispatchObject& element, std::string_view name, const std::string& text);
    static bool WriteElementVariant(const DispatchObject& element, std::string_view name, const Variant& value);
    static void FocusElement(const DispatchObject& element);
    static void HidePopup(const DispatchObject& popup);
    static void ShowElement(const DispatchObject& element, bool show);

private:
    static constexpr size_t index(List list) { return static_cast<size_t>(list); }
    int find(List list, const std::string& key) const;
    std::string text(List list, int position, std::string_view member) const;
    bool isChecked(List list, int position) const;
    bool setChecked(List list, int position, bool checked);

    DispatchObject m_document;
    std::array<std::vector<DispatchObject>, kListCount> m_lists;
    QString m_documentUrl;
};

// The page view a page window handle stands for, or nullptr.
QWebEngineView* pageViewOf(QWidget* handle);

}  // namespace login
