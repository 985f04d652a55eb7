#include "settings/entry_editor.h"

#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>

#include "platform/dialogs.h"
#include "platform/gbk_input.h"
#include "platform/image_loader.h"
#include "platform/qt_text.h"
#include "records/mailbox_facts.h"
#include "settings/entry_store.h"
#include "settings/icon_files.h"
#include "settings/skinned_control.h"
#include "settings/window_geometry.h"

namespace settings {
namespace {

constexpr int kNameMaxBytes = 8;

const QString kTitle = QStringLiteral("项目设置窗口");
const QString kDropHint = QStringLiteral("注：将图片或图标\r\n\r\n拖到此处可以更换\r\n\r\n程序默认图标");
const QString kTypingRefused = QStringLiteral("此项目不可输入，只允许选择！");
const QString kUnsupportedPicture = QStringLiteral("您所选的文件，不是支持的图片格式！");
const QString kIconNotSaved = QStringLiteral("保存图标失败！");
const QString kSaved = QStringLiteral("信息保存完毕！");
const QString kSessionCleared = QStringLiteral("该邮箱保存的登录状态已清除，下次打开时重新登录。");
// Shown instead of a success when the database refused the write.
const QString kRecordUnreadable = QStringLiteral("读取邮箱信息失败，请稍候再试！");
const QString kEntryNotSaved = QStringLiteral("邮箱项目信息保存失败，数据库中仍是原来的信息！");

const QColor kActiveText(0, 0, 0);
const QColor kInactiveText(128, 128, 128);

// 拖放对象1: receives the files dropped on the picture box and hands them on as
// one text, a single path alone, several each followed by "\r\n".
class DropTarget : public QObject {
public:
    DropTarget(QWidget* window, EntryEditor* editor) : QObject(editor), m_editor(editor) {
        setObjectName(QStringLiteral("拖放对象1"));
        window->setAcceptDrops(true);
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto* drag = static_cast<QDropEvent*>(event);
            if (!localFiles(drag->mimeData()).isEmpty()) drag->acceptProposedAction();
            return true;
        }
        if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            const QStringList files = localFiles(drop->mimeData());
            if (files.isEmpty()) return true;
            drop->acceptProposedAction();
            m_editor->dropFiles(files.size() == 1 ? files.first()
                                                  : files.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
            return true;
        }
        return false;
    }

private:
    static QStringList localFiles(const QMimeData* data) {
        QStringList files;
        if (!data) return files;
        for (const QUrl& url : data->urls()) {
            if (url.isLocalFile()) files << url.toLocalFile();
        }
        return files;
    }

    EntryEditor* m_editor;
};

void setTextColour(QLabel* label, const QColor& colour) {
    QPalette palette = label->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, colour);
    }
    label->setPalette(palette);
}

QLabel* transparentLabel(QWidget* parent, const QString& name, const QString& text, const QRect& rect) {
    auto* label = placeControl(new QLabel(text, parent), name, rect);
    label->setAutoFillBackground(false);
    return label;
}

// One skinned picture box object serves every editor of the run; each drop
// attaches it to the picture box of the editor that is open.
SkinnedControl& pictureBoxObject() {
    static SkinnedControl object;
    return object;
}

}  // namespace

bool isSupportedPictureName(const QString& path) {
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) return false;
    const QString extension = path.mid(dot + 1);
    static const QStringList kExtensions{QStringLiteral("jpg"), QStringLiteral("bmp"), QStringLiteral("tif"),
                                         QStringLiteral("gif"), QStringLiteral("ico"), QStringLiteral("png")};
    return kExtensions.contains(extension, Qt::CaseSensitive);
}

EntryEditor::EntryEditor(EntryStore& store, int row, QWidget* parent)
    : QDialog(parent), m_store(store), m_row(records::isMailboxIndex(row) ? row : -1) {
    placeWindow(this, kTitle, QRect(50, 50, 482, 292));

    m_byAddress = placeControl(new QRadioButton(QStringLiteral("登录网址："), this), QStringLiteral("登录网址单选框"),
                               QRect(190, 171, 81, 21));
    m_byMailbox = placeControl(new QRadioButton(QStringLiteral("登录邮箱："), this), QStringLiteral("登录邮箱单选框"),
                               QRect(190, 74, 81, 21));
    m_addressGroup = new QGroupBox(this);
    m_addressLabel = transparentLabel(m_addressGroup, QStringLiteral("透明标签3"), QStringLiteral("网  址："),
                                      QRect(13, 25, 44, 16));
    m_address = placeControl(new QLineEdit(m_addressGroup), QStringLiteral("网址编辑框"), QRect(68, 24, 264, 42));
    placeControl(m_addressGroup, QStringLiteral("分组框2"), QRect(124, 174, 342, 76));
    transparentLabel(this, QStringLiteral("透明标签5"), QStringLiteral("项目名："), QRect(135, 13, 44, 16));
    m_name = placeControl(new QLineEdit(this), QStringLiteral("邮箱名编辑框"), QRect(190, 10, 105, 20));
    platform::guardGbkInput(m_name, kNameMaxBytes);
    transparentLabel(this, QStringLiteral("透明标签7"), QStringLiteral("（为了美观不超过四个字）"),
                     QRect(303, 12, 152, 16));
    m_description = placeControl(new QLineEdit(this), QStringLiteral("说明编辑框"), QRect(190, 40, 264, 20));
    transparentLabel(this, QStringLiteral("透明标签6"), QStringLiteral("说  明："), QRect(135, 41, 44, 16));

    m_mailboxGroup = new QGroupBox(this);
    m_type = placeControl(new QComboBox(m_mailboxGroup), QStringLiteral("类型组合框"), QRect(232, 24, 99, 20));
    m_type->setEditable(true);
    m_type->setInsertPolicy(QComboBox::NoInsert);
    for (const records::ProviderRow& provider : records::providerTable()) {
        m_type->addItem(platform::fromGbk(provider.key));
    }
    m_atLabel =
        transparentLabel(m_mailboxGroup, QStringLiteral("透明标签1"), QStringLiteral("@"), QRect(222, 27, 9, 16));
    m_userLabel = transparentLabel(m_mailboxGroup, QStringLiteral("透明标签9"), QStringLiteral("用户名："),
                                   QRect(12, 27, 44, 16));
    m_passwordLabel = transparentLabel(m_mailboxGroup, QStringLiteral("透明标签10"), QStringLiteral("密  码："),
                                       QRect(12, 55, 44, 16));
    m_password = placeControl(new QLineEdit(m_mailboxGroup), QStringLiteral("密码编辑框"), QRect(67, 54, 147, 20));
    m_password->setEchoMode(QLineEdit::Password);
    m_userName = placeControl(new QLineEdit(m_mailboxGroup), QStringLiteral("用户名编辑框"), QRect(67, 24, 147, 20));
    placeControl(m_mailboxGroup, QStringLiteral("分组框1"), QRect(124, 77, 342, 84));

    m_picture = placeControl(new QLabel(this), QStringLiteral("图片框1"), QRect(32, 16, 48, 48));
    m_picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    new DropTarget(m_picture, this);
    m_ok = placeControl(new QPushButton(QStringLiteral("确定"), this), QStringLiteral("按钮1"), QRect(20, 216, 80, 27));
    auto* hint = transparentLabel(this, QStringLiteral("透明标签2"), QString(), QRect(12, 84, 96, 60));
    // The blank lines of the hint become paragraph gaps so its three lines fit the
    // label's height.
    QString hintHtml;
    for (const QString& line : kDropHint.split(QStringLiteral("\r\n\r\n"))) {
        hintHtml += QStringLiteral("<p style=\"margin:0 0 6px 0\">%1</p>").arg(line.toHtmlEscaped());
    }
    hint->setTextFormat(Qt::RichText);
    hint->setText(hintHtml);

    // The radio buttons sit on the group boxes' top edges as their titles; they stay
    // above the boxes so that clicks on them reach them.
    m_byAddress->raise();
    m_byMailbox->raise();

    for (QLineEdit* field : {m_address, m_description, m_password, m_userName}) platform::guardGbkInput(field);

    connect(m_byAddress, &QRadioButton::clicked, this, [this] { applyLoginKindLook(false); });
    connect(m_byMailbox, &QRadioButton::clicked, this, [this] { applyLoginKindLook(true); });
    connect(m_type->lineEdit(), &QLineEdit::textEdited, this, &EntryEditor::onTypeEdited);
    connect(m_ok, &QPushButton::clicked, this, [this] { save(); });

    if (m_row >= 0) {
        const records::RecordRead<records::MailboxEntry> read = m_store.readEntry(m_row + 1);
        if (!read.ok()) {
            platform::messageBox(this, kRecordUnreadable, platform::MessageIcon::Error);
            // The form would show the empty entry; saving it would overwrite the real one.
            m_ok->setEnabled(false);
        }
        loadEntry(read.value);
        loadIcon();
    }
}

void EntryEditor::loadEntry(const records::MailboxEntry& entry) {
    m_droppedImage = false;
    m_name->setText(platform::fromGbk(entry.name));
    m_description->setText(platform::fromGbk(entry.description));
    m_userName->setText(platform::fromGbk(entry.userName));
    m_password->setText(platform::fromGbk(records::decodePassword(entry.password)));
    m_type->setEditText(platform::fromGbk(entry.type));
    m_address->setText(platform::fromGbk(entry.address));
    const bool byMailbox = records::isMailboxKind(entry.loginKind);
    m_byMailbox->setChecked(byMailbox);
    m_byAddress->setChecked(!byMailbox);
    applyLoginKindLook(byMailbox, false);
}

void EntryEditor::applyLoginKindLook(bool byMailbox, bool groupBoxes) {
    if (groupBoxes) {
        m_mailboxGroup->setEnabled(byMailbox);
        m_addressGroup->setEnabled(!byMailbox);
    } else {
        m_mailboxGroup->setEnabled(true);
        m_addressGroup->setEnabled(true);
    }
    m_userName->setEnabled(byMailbox);
    m_type->setEnabled(byMailbox);
    m_password->setEnabled(byMailbox);
    m_address->setEnabled(!byMailbox);
    for (QLabel* label : {m_atLabel, m_userLabel, m_passwordLabel}) {
        setTextColour(label, byMailbox ? kActiveText : kInactiveText);
    }
    setTextColour(m_addressLabel, byMailbox ? kInactiveText : kActiveText);
}

void EntryEditor::loadIcon() {
    std::optional<QImage> icon = platform::loadImageFile(iconFilePath(m_row));
    if (!icon) return;
    QImage image = *icon;
    if (image.width() > m_picture->width() || image.height() > m_picture->height()) {
        image = image.scaled(m_picture->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    m_picture->setPixmap(QPixmap::fromImage(image));
}

void EntryEditor::onTypeEdited() {
    platform::messageBox(this, kTypingRefused, platform::MessageIcon::Information);
    m_type->setCurrentIndex(0);
    m_type->setEditText(m_type->itemText(0));
}

void EntryEditor::dropFiles(const QString& dropped) {
    const QString first = dropped.section(QStringLiteral("\r\n"), 0, 0);
    if (!isSupportedPictureName(first)) {
        platform::messageBox(this, kUnsupportedPicture, platform::MessageIcon::Information);
        m_droppedImage = false;
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QImage picture = platform::loadImageFile(first).value_or(QImage());
    SkinnedControl& box = pictureBoxObject();
    box.AttachPictureBox(m_picture);
    // A picture that does not load leaves only the background to show.
    box.SetBackImage(picture);
    box.SetBackType(1);
    m_droppedImage = true;
    QApplication::restoreOverrideCursor();
}

records::MailboxEntry EntryEditor::entryFromControls() const {
    records::MailboxEntry entry;
    entry.name = platform::toGbk(m_name->text());
    entry.description = platform::toGbk(m_description->text());
    entry.userName = platform::toGbk(m_userName->text());
    entry.password = records::encodePassword(platform::toGbk(m_password->text()));
    entry.type = platform::toGbk(m_type->currentText());
    entry.address = platform::toGbk(m_address->text());
    entry.loginKind = m_byMailbox->isChecked() ? records::mailboxKind() : records::addressKind();
    return entry;
}

bool EntryEditor::save() {
    if (m_row < 0) return false;
    // The fields refuse such characters as they are typed; one put there another way
    // would still be stored as '?'. Nothing is written then.
    QStringList outside;
    for (const QString& text : {m_name->text(), m_description->text(), m_userName->text(), m_password->text(),
                                m_type->currentText(), m_address->text()}) {
        outside << platform::charactersOutsideGbk(text);
    }
    outside.removeDuplicates();
    if (!outside.isEmpty()) {
        platform::messageBox(this, platform::outsideGbkNotice(outside), platform::MessageIcon::Error);
        return false;
    }
    const records::MailboxEntry before = m_store.readEntry(m_row + 1).value;
    const bool written = m_store.writeEntry(m_row + 1, entryFromControls());
    // Whatever happened, the list and the toolbar show what the database holds.
    const records::MailboxEntry stored = m_store.readEntry(m_row + 1).value;
    emit entrySaved(m_row, stored);
    if (!written) {
        platform::messageBox(this, kEntryNotSaved, platform::MessageIcon::Error);
        return false;
    }

    if (m_droppedImage) {
        const QImage shown = captureWindowPixels(m_picture);
        if (!saveIconBitmap(iconFilePath(m_row), shown)) {
            platform::messageBox(this, kIconNotSaved, platform::MessageIcon::Error);
            return false;
        }
        emit iconFileSaved(m_row);
    }
    // The mailbox's kept browser session belongs to the account it was made for.
    const bool otherAccount =
        before.userName != stored.userName || before.type != stored.type || before.address != stored.address;
    if (otherAccount) emit accountChanged(m_row);
    platform::messageBox(this, otherAccount ? kSaved + kSessionCleared : kSaved, platform::MessageIcon::Information);
    accept();
    return true;
}

}  // namespace settings
