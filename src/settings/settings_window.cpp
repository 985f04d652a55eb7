#include "settings/settings_window.h"

#include <QCheckBox>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>

#include "platform/desktop_shortcut.h"
#include "platform/dialogs.h"
#include "platform/gbk_input.h"
#include "platform/program_folder.h"
#include "platform/qt_text.h"
#include "records/mailbox_facts.h"
#include "settings/entry_editor.h"
#include "settings/entry_store.h"
#include "settings/window_geometry.h"

namespace settings {
namespace {

constexpr int kColumnIcon = 1;
constexpr int kColumnName = 2;
constexpr int kColumnInfo = 3;
constexpr int kColumnKind = 4;

const QString kTitle = QStringLiteral("设置窗口----（提示：双击图标行可设置项目信息）");
const QString kSettingChanged = QStringLiteral("设置修改成功！");
const QString kOldPasswordPrompt = QStringLiteral("请输入原密码：");
const QString kNewPasswordPrompt = QStringLiteral("请输入新密码：");
const QString kConfirmPrompt = QStringLiteral("请再输入一遍新密码！");
const QString kWrongOldPassword = QStringLiteral("输入的原密码错误，请重新执行本操作！");
const QString kPasswordChanged = QStringLiteral("密码修改成功！");
const QString kShortcutCreated = QStringLiteral("已在桌面上成功创建快捷方式！");
const QString kShortcutFailed = QStringLiteral("创建失败！");
// Shown instead of a success when the database refused the write.
const QString kRecordUnreadable = QStringLiteral("读取邮箱信息失败，请稍候再试！");
const QString kPasswordLoginNotSaved = QStringLiteral("“启用密码登录”设置保存失败，设置未修改！");
const QString kNewWindowsNotSaved = QStringLiteral("“允许打开新窗口”设置保存失败，设置未修改！");
const QString kPasswordNotSaved = QStringLiteral("新密码保存失败，原密码仍然有效！");

const QString kShortcutName = QStringLiteral("云梭邮盒");
const QString kShortcutComment = QStringLiteral("方便快捷的邮箱登录软件");
const QString kProgramFileName = QStringLiteral("云梭邮盒");

std::string yesNo(bool value) { return platform::toGbk(value ? QStringLiteral("是") : QStringLiteral("否")); }

}  // namespace

SettingsWindow::SettingsWindow(EntryStore& store, const SettingsOptions& options, const QList<QPixmap>& icons,
                               QWidget* parent)
    : QDialog(parent), m_store(store), m_accessPassword(options.accessPassword), m_icons(icons) {
    placeWindow(this, kTitle, QRect(50, 50, 393, 558));

    m_changePassword = placeControl(new QPushButton(QStringLiteral("修改登录密码"), this),
                                    QStringLiteral("修改登录密码按钮"), QRect(272, 485, 104, 27));
    m_passwordLogin = placeControl(new QCheckBox(QStringLiteral("启用密码登录"), this),
                                   QStringLiteral("启用密码登录选择框"), QRect(160, 504, 92, 13));
    m_newWindows = placeControl(new QCheckBox(QStringLiteral("允许打开新窗口"), this),
                                QStringLiteral("允许打开新窗口选择框"), QRect(160, 480, 105, 13));
    m_shortcut = placeControl(new QPushButton(QStringLiteral("将快捷方式发送至桌面"), this), QStringLiteral("按钮1"),
                              QRect(6, 485, 139, 27));
    m_list = placeControl(new QTreeWidget(this), QStringLiteral("超级列表框"), QRect(0, 0, 387, 468));

    m_list->setColumnCount(5);
    m_list->setHeaderLabels({QStringLiteral("ID"), QStringLiteral("图标"), QStringLiteral("项目名称"),
                             QStringLiteral("信息"), QStringLiteral("登录类别")});
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setIconSize(QSize(48, 48));
    // The columns fill the list's width exactly; a scroll bar for the frame's two
    // pixels would cover the last row.
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionsMovable(false);
    m_list->setColumnWidth(0, 0);
    m_list->setColumnHidden(0, true);
    m_list->setColumnWidth(kColumnIcon, 48);
    m_list->setColumnWidth(kColumnName, 80);
    m_list->setColumnWidth(kColumnInfo, 180);
    m_list->setColumnWidth(kColumnKind, 78);
    m_list->viewport()->installEventFilter(this);
    // Enter on a row opens its editor, as a double-click does; no button of the window
    // takes Enter for itself.
    m_list->installEventFilter(this);
    for (QPushButton* button : {m_changePassword, m_shortcut}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    fillList();
    m_newWindows->setChecked(options.allowNewWindows);
    m_passwordLogin->setChecked(options.passwordLogin);

    connect(m_passwordLogin, &QCheckBox::clicked, this, &SettingsWindow::onPasswordLoginClicked);
    connect(m_newWindows, &QCheckBox::clicked, this, &SettingsWindow::onNewWindowsClicked);
    connect(m_changePassword, &QPushButton::clicked, this, &SettingsWindow::changePassword);
    connect(m_shortcut, &QPushButton::clicked, this, &SettingsWindow::createShortcut);
}

void SettingsWindow::fillList() {
    m_list->clear();
    bool unreadable = false;
    for (int row = 0; row < records::kMailboxCount; ++row) {
        auto* item = new QTreeWidgetItem(m_list);
        item->setSizeHint(kColumnIcon, QSize(48, 48));
        const records::RecordRead<records::MailboxEntry> read = m_store.readEntry(row + 1);
        unreadable = unreadable || !read.ok();
        showEntry(row, read.value);
    }
    if (unreadable) platform::messageBox(this, kRecordUnreadable, platform::MessageIcon::Error);
    setIcons(m_icons);
}

void SettingsWindow::setIcons(const QList<QPixmap>& icons) {
    m_icons = icons;
    for (int row = 0; row < m_list->topLevelItemCount(); ++row) {
        m_list->topLevelItem(row)->setIcon(kColumnIcon, row < icons.size() ? QIcon(icons.at(row)) : QIcon());
    }
}

void SettingsWindow::showEntry(int row, const records::MailboxEntry& entry) {
    QTreeWidgetItem* item = m_list->topLevelItem(row);
    if (!item) return;
    const bool byMailbox = records::isMailboxKind(entry.loginKind);
    item->setText(kColumnName, platform::fromGbk(entry.name));
    item->setText(kColumnInfo, platform::fromGbk(byMailbox ? entry.userName : entry.address));
    item->setText(kColumnKind, platform::fromGbk(entry.loginKind));
}

bool SettingsWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list->viewport() && event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        openEditorForSelectedRow();
        return true;
    }
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            openEditorForSelectedRow();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void SettingsWindow::openEditorForSelectedRow() {
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    if (selected.isEmpty()) return;
    const int row = m_list->indexOfTopLevelItem(selected.first());
    if (!records::isMailboxIndex(row)) return;
    createEditor(row)->exec();
}

std::unique_ptr<EntryEditor> SettingsWindow::createEditor(int row) {
    auto editor = std::make_unique<EntryEditor>(m_store, row, this);
    connect(editor.get(), &EntryEditor::entrySaved, this, [this](int saved, const records::MailboxEntry& stored) {
        showEntry(saved, stored);
        emit entrySaved(saved, stored);
    });
    connect(editor.get(), &EntryEditor::iconFileSaved, this, &SettingsWindow::iconFileSaved);
    connect(editor.get(), &EntryEditor::accountChanged, this, &SettingsWindow::accountChanged);
    return editor;
}

void SettingsWindow::onPasswordLoginClicked(bool checked) {
    // The flag in memory keeps its start-up value: the option takes effect at the
    // next start.
    if (!m_store.writeSettingsNote(1, yesNo(checked))) {
        m_passwordLogin->setChecked(!checked);
        platform::messageBox(this, kPasswordLoginNotSaved, platform::MessageIcon::Error);
    }
}

void SettingsWindow::onNewWindowsClicked(bool checked) {
    if (!m_store.writeSettingsNote(3, yesNo(checked))) {
        m_newWindows->setChecked(!checked);
        platform::messageBox(this, kNewWindowsNotSaved, platform::MessageIcon::Error);
        return;
    }
    emit allowNewWindowsChanged(checked);
    platform::messageBox(this, kSettingChanged, platform::MessageIcon::Information);
}

void SettingsWindow::changePassword() {
    std::optional<QString> old = platform::inputBox(this, kOldPasswordPrompt, true);
    if (!old) return;
    // A character GBK cannot hold would turn into '?' and could match a stored '?'.
    if (!platform::charactersOutsideGbk(*old).isEmpty() || platform::toGbk(*old) != m_accessPassword) {
        platform::messageBox(this, kWrongOldPassword, platform::MessageIcon::Error);
        return;
    }
    std::optional<QString> first = platform::inputBox(this, kNewPasswordPrompt, true);
    if (!first) return;
    std::optional<QString> second = platform::inputBox(this, kConfirmPrompt, true);
    if (!second) return;
    if (*first != *second) return;
    // The input boxes refuse such characters as they are typed; were one to come
    // through, the stored '?' would lock the user out at the next start.
    if (const QStringList outside = platform::charactersOutsideGbk(*first); !outside.isEmpty()) {
        platform::messageBox(this, platform::outsideGbkNotice(outside), platform::MessageIcon::Error);
        return;
    }

    const std::string password = platform::toGbk(*first);
    if (!m_store.writeSettingsNote(2, password)) {
        platform::messageBox(this, kPasswordNotSaved, platform::MessageIcon::Error);
        return;
    }
    m_accessPassword = password;
    emit accessPasswordChanged(password);
    platform::messageBox(this, kPasswordChanged, platform::MessageIcon::Information);
}

void SettingsWindow::createShortcut() {
    // The launcher always starts the program under its installed name, whatever the
    // running file is called. It is written in the data folder first: an installed
    // program's own folder is not the user's to write.
    const platform::LauncherTarget target =
        platform::launcherTarget(platform::programFolder(), kProgramFileName.toStdString());
    const platform::ShortcutDetails details{kShortcutName.toStdString(), kShortcutComment.toStdString(), target.exec,
                                            target.icon};
    if (platform::createDesktopShortcut(platform::dataFolder(), details) == platform::ShortcutResult::Created) {
        platform::messageBox(this, kShortcutCreated, platform::MessageIcon::Information);
    } else {
        platform::messageBox(this, kShortcutFailed, platform::MessageIcon::Error);
    }
}

}  // namespace settings
