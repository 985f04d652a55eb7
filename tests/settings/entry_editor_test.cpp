#include "settings/entry_editor.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTreeWidget>
#include <QUrl>
#include <QtTest/QTest>
#include <filesystem>
#include <memory>

#include "held_lock.h"
#include "platform/dialogs.h"
#include "platform/gbk_input.h"
#include "platform/qt_text.h"
#include "records/record_database.h"
#include "settings/bitmap_file.h"
#include "settings/icon_files.h"
#include "settings/settings_window.h"
#include "settings/skinned_control.h"
#include "settings_fixture.h"

namespace settings {
namespace {

using platform::fromGbk;
using platform::toGbk;

// Types text as the keyboard would, one character per key press.
void typeText(QWidget* target, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(target, &release);
    }
}

// Types whole characters, one key press each (a character outside the basic plane is
// one key with two UTF-16 units).
void typeCharacters(QWidget* target, const QString& text) {
    for (uint codePoint : text.toUcs4()) {
        const auto c = static_cast<char32_t>(codePoint);
        const QString one = QString::fromUcs4(&c, 1);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, one);
        QCoreApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, one);
        QCoreApplication::sendEvent(target, &release);
    }
}

// The settings window and an editor over it, as the program opens them. The test
// stands where the main window does: it records what the settings window reports and
// answers a new icon file with a rebuilt icon list.
class EntryEditorTest : public testing::ProgramFolderTest {
protected:
    void SetUp() override {
        ProgramFolderTest::SetUp();
        if (HasFatalFailure()) return;
        m_settingsWindow = std::make_unique<SettingsWindow>(store(), SettingsOptions{}, loadIconList());
        m_settings = m_settingsWindow.get();
        QObject::connect(m_settings, &SettingsWindow::entrySaved, [this](int r, const records::MailboxEntry& stored) {
            m_captions.push_back({r, fromGbk(stored.name)});
        });
        QObject::connect(m_settings, &SettingsWindow::iconFileSaved, [this](int r) {
            m_iconFilesSaved.push_back(r);
            m_settings->setIcons(loadIconList());
        });
    }
    void TearDown() override {
        m_settingsWindow.reset();
        ProgramFolderTest::TearDown();
    }

    std::unique_ptr<EntryEditor> openEditor(int row) {
        auto editor = m_settings->createEditor(row);
        editor->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(editor.get()));
        return editor;
    }
    template <typename T>
    static T* control(QWidget* editor, const char* name) {
        T* found = editor->findChild<T*>(QString::fromUtf8(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QTreeWidgetItem* row(int r) {
        return m_settings->findChild<QTreeWidget*>(QStringLiteral("超级列表框"))->topLevelItem(r);
    }
    QByteArray fileBytes(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // A PNG whose left half is fully transparent and right half opaque red.
    QString writeHalfTransparentPng(const QString& name) {
        QImage image(32, 32, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.fillRect(QRect(16, 0, 16, 32), QColor(230, 0, 0));
        p.end();
        const QString path = m_folder.path() + QLatin1Char('/') + name;
        EXPECT_TRUE(image.save(path, "PNG"));
        return path;
    }

    std::unique_ptr<SettingsWindow> m_settingsWindow;
    SettingsWindow* m_settings = nullptr;
    std::vector<std::pair<int, QString>> m_captions;  // row and stored name, per save
    std::vector<int> m_iconFilesSaved;
};

TEST_F(EntryEditorTest, SavesAllSevenFieldsAndRefreshesTheListAndToolbar) {
    platform::ScriptedDialogs dialogs;
    auto editor = openEditor(3);
    EXPECT_EQ(editor->windowTitle(), QStringLiteral("项目设置窗口"));
    control<QLineEdit>(editor.get(), "邮箱名编辑框")->setText(QStringLiteral("工作"));
    control<QLineEdit>(editor.get(), "说明编辑框")->setText(QStringLiteral("单位的邮箱"));
    control<QLineEdit>(editor.get(), "用户名编辑框")->setText(QStringLiteral("zhang.san"));
    control<QLineEdit>(editor.get(), "密码编辑框")->setText(QStringLiteral("密a1,"));
    auto* type = control<QComboBox>(editor.get(), "类型组合框");
    ASSERT_EQ(type->count(), 21);
    type->setCurrentIndex(4);
    control<QLineEdit>(editor.get(), "网址编辑框")->setText(QStringLiteral("http://mail.example/"));
    control<QRadioButton>(editor.get(), "登录邮箱单选框")->click();
    QSignalSpy sessionEnds(m_settings, &SettingsWindow::accountChanged);
    control<QPushButton>(editor.get(), "按钮1")->click();

    // Another user name: the browser session kept for the entry goes, and the message says so.
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList{QStringLiteral("信息保存完毕！该邮箱保存的登录状态已清除，下次打开时重新登录。")});
    ASSERT_EQ(sessionEnds.count(), 1);
    EXPECT_EQ(sessionEnds.at(0).at(0).toInt(), 3);
    EXPECT_EQ(editor->result(), QDialog::Accepted);
    const records::MailboxEntry stored = records::readMailboxEntry(4).value;
    EXPECT_EQ(fromGbk(stored.name), QStringLiteral("工作"));
    EXPECT_EQ(fromGbk(stored.description), QStringLiteral("单位的邮箱"));
    EXPECT_EQ(stored.userName, "zhang.san");
    // The password is stored encoded, byte by byte of its GBK text.
    EXPECT_EQ(stored.password, records::encodePassword(toGbk(QStringLiteral("密a1,"))));
    EXPECT_EQ(stored.type, records::providerTable().at(4).key);
    EXPECT_EQ(stored.address, "http://mail.example/");
    EXPECT_EQ(fromGbk(stored.loginKind), QStringLiteral("邮箱"));
    EXPECT_EQ(row(3)->text(2), QStringLiteral("工作"));
    EXPECT_EQ(row(3)->text(3), QStringLiteral("zhang.san"));
    // The caption of button 3, and nothing else, is reported for the toolbar.
    EXPECT_EQ(m_captions, (std::vector<std::pair<int, QString>>{{3, QStringLiteral("工作")}}));
    EXPECT_TRUE(m_iconFilesSaved.empty());

    // Reopened, the editor shows the password decoded; switching to the address
    // kind lists the address.
    auto again = openEditor(3);
    EXPECT_EQ(control<QLineEdit>(again.get(), "密码编辑框")->text(), QStringLiteral("密a1,"));
    EXPECT_EQ(control<QLineEdit>(again.get(), "密码编辑框")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(control<QComboBox>(again.get(), "类型组合框")->currentText(),
              fromGbk(records::providerTable().at(4).key));
    control<QRadioButton>(again.get(), "登录网址单选框")->click();
    dialogs.clear();
    control<QPushButton>(again.get(), "按钮1")->click();
    // The same account under another login kind keeps its session.
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("信息保存完毕！")});
    EXPECT_EQ(sessionEnds.count(), 1);
    EXPECT_EQ(fromGbk(records::readMailboxEntry(4).value.loginKind), QStringLiteral("网址"));
    EXPECT_EQ(row(3)->text(3), QStringLiteral("http://mail.example/"));
    EXPECT_EQ(row(3)->text(4), QStringLiteral("网址"));
    // The fields of the other kind are still written.
    EXPECT_EQ(records::readMailboxEntry(4).value.userName, "zhang.san");
}

TEST_F(EntryEditorTest, LoginKindLookAndInputLimits) {
    records::MailboxEntry byAddress;
    byAddress.loginKind = toGbk(QStringLiteral("网址"));
    byAddress.address = "http://x.example/";
    ASSERT_TRUE(records::writeEntry(2, byAddress));
    platform::ScriptedDialogs dialogs;
    auto editor = openEditor(1);
    auto* mailboxGroup = control<QGroupBox>(editor.get(), "分组框1");
    auto* addressGroup = control<QGroupBox>(editor.get(), "分组框2");
    auto* userLabel = control<QLabel>(editor.get(), "透明标签9");
    auto* addressLabel = control<QLabel>(editor.get(), "透明标签3");
    const QColor grey(128, 128, 128);

    EXPECT_TRUE(control<QRadioButton>(editor.get(), "登录网址单选框")->isChecked());
    EXPECT_FALSE(control<QRadioButton>(editor.get(), "登录邮箱单选框")->isChecked());
    // On opening both group boxes stay enabled; the fields follow the kind.
    EXPECT_TRUE(mailboxGroup->isEnabled());
    EXPECT_TRUE(addressGroup->isEnabled());
    EXPECT_FALSE(control<QLineEdit>(editor.get(), "用户名编辑框")->isEnabled());
    EXPECT_TRUE(control<QLineEdit>(editor.get(), "网址编辑框")->isEnabled());
    EXPECT_EQ(userLabel->palette().color(QPalette::WindowText), grey);
    EXPECT_EQ(addressLabel->palette().color(QPalette::WindowText), QColor(Qt::black));

    control<QRadioButton>(editor.get(), "登录邮箱单选框")->click();
    EXPECT_FALSE(control<QRadioButton>(editor.get(), "登录网址单选框")->isChecked());
    EXPECT_TRUE(mailboxGroup->isEnabled());
    EXPECT_FALSE(addressGroup->isEnabled());
    EXPECT_TRUE(control<QComboBox>(editor.get(), "类型组合框")->isEnabled());
    EXPECT_FALSE(control<QLineEdit>(editor.get(), "网址编辑框")->isEnabled());
    EXPECT_EQ(userLabel->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(control<QLabel>(editor.get(), "透明标签1")->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(addressLabel->palette().color(QPalette::WindowText), grey);
    // The radio buttons stay usable over a disabled group box.
    control<QRadioButton>(editor.get(), "登录网址单选框")->click();
    EXPECT_TRUE(control<QRadioButton>(editor.get(), "登录网址单选框")->isChecked());
    EXPECT_FALSE(mailboxGroup->isEnabled());
    EXPECT_TRUE(addressGroup->isEnabled());

    // Four Chinese characters fill the name's eight bytes; the fifth is refused.
    auto* name = control<QLineEdit>(editor.get(), "邮箱名编辑框");
    name->clear();
    typeText(name, QStringLiteral("一二三四五"));
    EXPECT_EQ(name->text(), QStringLiteral("一二三四"));
    name->clear();
    typeText(name, QStringLiteral("abcdefghij"));
    EXPECT_EQ(name->text(), QStringLiteral("abcdefgh"));

    // Typing into the type list is refused and its first item chosen.
    control<QRadioButton>(editor.get(), "登录邮箱单选框")->click();
    auto* type = control<QComboBox>(editor.get(), "类型组合框");
    type->setCurrentIndex(5);
    EXPECT_TRUE(dialogs.messages().empty());
    typeText(type->lineEdit(), QStringLiteral("x"));
    ASSERT_FALSE(dialogs.messages().empty());
    EXPECT_EQ(dialogs.messages().front().text, QStringLiteral("此项目不可输入，只允许选择！"));
    EXPECT_EQ(type->currentText(), fromGbk(records::providerTable().at(0).key));
}

TEST_F(EntryEditorTest, DropsAreCheckedByTheFirstFileAndItsLastExtension) {
    EXPECT_TRUE(isSupportedPictureName(QStringLiteral("/tmp/my.holiday.png")));
    EXPECT_TRUE(isSupportedPictureName(QStringLiteral("/tmp/a.tif")));
    EXPECT_FALSE(isSupportedPictureName(QStringLiteral("/tmp/a.PNG")));
    EXPECT_FALSE(isSupportedPictureName(QStringLiteral("/tmp/a.Jpg")));
    EXPECT_FALSE(isSupportedPictureName(QStringLiteral("/tmp/a.png.txt")));
    EXPECT_FALSE(isSupportedPictureName(QStringLiteral("/tmp/a.jpeg")));
    EXPECT_FALSE(isSupportedPictureName(QStringLiteral("/tmp/png")));

    platform::ScriptedDialogs dialogs;
    auto editor = openEditor(0);
    const QString png = writeHalfTransparentPng(QStringLiteral("good.png"));
    const QString refused = QStringLiteral("您所选的文件，不是支持的图片格式！");

    editor->dropFiles(QStringLiteral("/tmp/notes.txt\r\n") + png + QStringLiteral("\r\n"));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{refused});
    EXPECT_FALSE(editor->droppedImage());

    dialogs.clear();
    editor->dropFiles(png + QStringLiteral("\r\n/tmp/notes.txt\r\n"));
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_TRUE(editor->droppedImage());

    // A refused drop clears the flag again.
    editor->dropFiles(QStringLiteral("/tmp/PICTURE.PNG"));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{refused});
    EXPECT_FALSE(editor->droppedImage());

    // A real drop event on the picture box reaches the same handler.
    dialogs.clear();
    auto* picture = control<QLabel>(editor.get(), "图片框1");
    EXPECT_NE(editor->findChild<QObject*>(QStringLiteral("拖放对象1")), nullptr);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(png)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(picture, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(picture, &drop);
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_TRUE(editor->droppedImage());
    EXPECT_EQ(picture->property(kPropType).toInt(), kTypePictureBox);
    EXPECT_EQ(picture->property(kPropBackType).toInt(), 1);
}

TEST_F(EntryEditorTest, ADroppedPngIsSavedAsA24BitBitmapOverTheBackground) {
    platform::ScriptedDialogs dialogs;
    auto editor = openEditor(2);
    editor->dropFiles(writeHalfTransparentPng(QStringLiteral("half.png")));
    QTest::qWait(20);
    ASSERT_TRUE(editor->save());

    const QByteArray bytes = fileBytes(iconPath(2));
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    std::optional<DecodedBitmap> bitmap = decodeBitmap24(std::span(data, static_cast<std::size_t>(bytes.size())));
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->width, 48);
    EXPECT_EQ(bitmap->height, 48);
    EXPECT_GT(static_cast<std::uint32_t>(bytes.at(22)), 0u);  // bottom-up
    const QColor background = editor->palette().color(QPalette::Window);
    auto pixel = [&](int x, int y) { return QColor::fromRgb(bitmap->pixels[static_cast<std::size_t>(y * 48 + x)]); };
    // Stretched over the whole box: the left half shows the dialog, the right half red.
    EXPECT_EQ(pixel(5, 24), background);
    EXPECT_EQ(pixel(40, 24), QColor(230, 0, 0));

    // The opener hears of the new icon file and the settings list shows the new icon
    // at once.
    EXPECT_EQ(m_iconFilesSaved, std::vector<int>{2});
    EXPECT_EQ(row(2)->icon(1).pixmap(48, 48).toImage().pixelColor(40, 24), QColor(230, 0, 0));
    EXPECT_EQ(row(3)->icon(1).pixmap(48, 48).toImage().pixelColor(20, 20), iconGrey(3));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("信息保存完毕！")});

    // A later session that drops nothing leaves the icon file as it is.
    const QByteArray saved = fileBytes(iconPath(2));
    auto again = openEditor(2);
    EXPECT_FALSE(again->droppedImage());
    ASSERT_TRUE(again->save());
    EXPECT_EQ(fileBytes(iconPath(2)), saved);
    EXPECT_EQ(m_iconFilesSaved, std::vector<int>{2});
}

TEST_F(EntryEditorTest, AnIconThatCannotBeWrittenKeepsTheEditorOpen) {
    platform::ScriptedDialogs dialogs;
    auto editor = openEditor(5);
    control<QLineEdit>(editor.get(), "邮箱名编辑框")->setText(QStringLiteral("新名"));
    editor->dropFiles(writeHalfTransparentPng(QStringLiteral("x.png")));
    // A folder where the icon file should go cannot be replaced by a file.
    std::filesystem::remove(iconPath(5).toStdString());
    std::filesystem::create_directories(iconPath(5).toStdString() + "/block");

    EXPECT_FALSE(editor->save());
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("保存图标失败！")});
    EXPECT_EQ(dialogs.messages()[0].icon, platform::MessageIcon::Error);
    EXPECT_TRUE(editor->isVisible());
    // The fields were written before the icon.
    EXPECT_EQ(fromGbk(records::readMailboxEntry(6).value.name), QStringLiteral("新名"));
}

TEST_F(EntryEditorTest, AnUnreadablePictureStoresTheBackgroundOnly) {
    platform::ScriptedDialogs dialogs;
    const QString fake = m_folder.path() + QStringLiteral("/fake.gif");
    QFile file(fake);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("this is not a picture");
    file.close();

    auto editor = openEditor(7);
    editor->dropFiles(fake);
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_TRUE(editor->droppedImage());
    ASSERT_TRUE(editor->save());
    QImage stored;
    ASSERT_TRUE(stored.load(iconPath(7)));
    EXPECT_EQ(stored.pixelColor(24, 24), editor->palette().color(QPalette::Window));
}

TEST_F(EntryEditorTest, ARefusedEntryWriteIsReportedAndTheListShowsWhatIsStored) {
    records::MailboxEntry before;
    before.name = toGbk(QStringLiteral("原名"));
    ASSERT_TRUE(records::writeEntry(9, before));
    m_settings->showEntry(8, records::readMailboxEntry(9).value);
    const QByteArray icon = fileBytes(iconPath(8));

    records::closeMailboxDatabase(folder());
    records::OpenOptions readOnly;
    readOnly.readOnly = true;
    readOnly.password = records::kMailboxDatabasePassword;
    ASSERT_TRUE(records::openDatabase(folder() + "/" + records::kMailboxDatabaseFile, readOnly));

    platform::ScriptedDialogs dialogs;
    auto editor = openEditor(8);
    control<QLineEdit>(editor.get(), "邮箱名编辑框")->setText(QStringLiteral("新名"));
    editor->dropFiles(writeHalfTransparentPng(QStringLiteral("y.png")));
    EXPECT_FALSE(editor->save());

    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages()[0].icon, platform::MessageIcon::Error);
    EXPECT_FALSE(dialogs.messageTexts().contains(QStringLiteral("信息保存完毕！")));
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(row(8)->text(2), QStringLiteral("原名"));
    // The toolbar is told what the database still holds.
    EXPECT_EQ(m_captions, (std::vector<std::pair<int, QString>>{{8, QStringLiteral("原名")}}));
    EXPECT_EQ(fileBytes(iconPath(8)), icon);
    EXPECT_TRUE(m_iconFilesSaved.empty());
}

TEST_F(EntryEditorTest, RowsOutsideTheListOpenNothing) {
    const records::MailboxEntry first = records::readMailboxEntry(1).value;
    for (int outside : {-1, 9}) {
        auto editor = m_settings->createEditor(outside);
        EXPECT_TRUE(editor->findChild<QLineEdit*>(QStringLiteral("邮箱名编辑框"))->text().isEmpty());
        EXPECT_FALSE(editor->save());
    }
    EXPECT_EQ(records::readMailboxEntry(1).value.name, first.name);
    EXPECT_TRUE(m_captions.empty());
}

TEST_F(EntryEditorTest, IconFilesAreWrittenForTheirOwnerOnly) {
    // An icon file put there earlier with the usual permissions, and a stale temporary
    // file readable by everyone.
    namespace fs = std::filesystem;
    fs::permissions(iconPath(4).toStdString(), fs::perms(0644));
    const std::string stale = iconPath(4).toStdString() + ".part";
    {
        QFile staleFile(QString::fromStdString(stale));
        ASSERT_TRUE(staleFile.open(QIODevice::WriteOnly));
    }
    fs::permissions(stale, fs::perms(0666));

    platform::ScriptedDialogs dialogs;
    auto editor = openEditor(4);
    editor->dropFiles(writeHalfTransparentPng(QStringLiteral("z.png")));
    ASSERT_TRUE(editor->save());
    EXPECT_EQ(fs::status(iconPath(4).toStdString()).permissions() & fs::perms::all, fs::perms(0600));
    EXPECT_FALSE(fs::exists(stale));

    // A new file is owner-only from the start.
    fs::remove(iconPath(6).toStdString());
    auto fresh = openEditor(6);
    fresh->dropFiles(writeHalfTransparentPng(QStringLiteral("w.png")));
    ASSERT_TRUE(fresh->save());
    EXPECT_EQ(fs::status(iconPath(6).toStdString()).permissions() & fs::perms::all, fs::perms(0600));
}

TEST_F(EntryEditorTest, FieldsRefuseWhatGbkCannotHoldAsItIsTypedOrPasted) {
    platform::ScriptedDialogs dialogs;
    auto editor = openEditor(1);
    for (const char* name : {"邮箱名编辑框", "说明编辑框", "用户名编辑框", "密码编辑框", "网址编辑框"}) {
        auto* field = control<QLineEdit>(editor.get(), name);
        field->setEnabled(true);
        field->clear();
        dialogs.clear();
        typeCharacters(field, QStringLiteral("a한b"));
        QCoreApplication::processEvents();
        EXPECT_EQ(field->text(), QStringLiteral("ab")) << name;
        ASSERT_EQ(dialogs.messages().size(), 1u) << name;
        EXPECT_TRUE(dialogs.messages()[0].text.contains(QStringLiteral("“한”"))) << name;

        // A paste with such a character in it is refused whole, and says which one.
        dialogs.clear();
        QGuiApplication::clipboard()->setText(QStringLiteral("x😀y€"));
        field->paste();
        QCoreApplication::processEvents();
        EXPECT_EQ(field->text(), QStringLiteral("ab")) << name;
        ASSERT_EQ(dialogs.messages().size(), 1u) << name;
        EXPECT_TRUE(dialogs.messages()[0].text.contains(QStringLiteral("“😀”"))) << name;
        EXPECT_FALSE(dialogs.messages()[0].text.contains(QStringLiteral("“x”"))) << name;

        // Whatever GBK holds goes in, question mark included.
        typeCharacters(field, QStringLiteral("?"));
        EXPECT_EQ(field->text(), QStringLiteral("ab?")) << name;
    }
    dialogs.clear();
    control<QRadioButton>(editor.get(), "登录邮箱单选框")->click();
    ASSERT_TRUE(editor->save());
    const records::MailboxEntry stored = records::readMailboxEntry(2).value;
    EXPECT_EQ(stored.name, "ab?");
    EXPECT_EQ(stored.userName, "ab?");
    EXPECT_EQ(records::decodePassword(stored.password), "ab?");
    EXPECT_EQ(stored.address, "ab?");
    // Another user name and address: the entry's kept session goes, and the message says so.
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList{QStringLiteral("信息保存完毕！该邮箱保存的登录状态已清除，下次打开时重新登录。")});
}

TEST_F(EntryEditorTest, AnEntryThatCouldNotBeReadCannotBeSavedOver) {
    platform::ScriptedDialogs dialogs;
    const auto info = records::currentDatabaseInfo();
    ASSERT_TRUE(info);
    std::unique_ptr<EntryEditor> editor;
    {
        // Another copy holds record 3 longer than the lock wait.
        test_common::HeldLock held(folder() + "/tmbl.edb", info->dataStart + 2 * info->recordLength);
        editor = openEditor(2);
    }
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("读取邮箱信息失败，请稍候再试！")});
    auto* ok = control<QPushButton>(editor.get(), "按钮1");
    EXPECT_FALSE(ok->isEnabled());
    const records::MailboxEntry before = records::readMailboxEntry(3).value;
    ok->click();
    const records::MailboxEntry after = records::readMailboxEntry(3).value;
    EXPECT_EQ(after.name, before.name);
    EXPECT_EQ(after.description, before.description);
}

TEST_F(EntryEditorTest, ATextGbkCannotHoldThatGotInAnotherWayIsNotSaved) {
    const records::MailboxEntry before = records::readMailboxEntry(3).value;
    platform::ScriptedDialogs dialogs;
    auto editor = openEditor(2);
    control<QLineEdit>(editor.get(), "用户名编辑框")->setText(QStringLiteral("李한"));
    QCoreApplication::processEvents();
    // The program's own setText is no typing: no notice yet, but no save either.
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_FALSE(editor->save());
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_TRUE(dialogs.messages()[0].text.contains(QStringLiteral("“한”")));
    EXPECT_EQ(records::readMailboxEntry(3).value.userName, before.userName);
    EXPECT_TRUE(m_captions.empty());
    EXPECT_TRUE(editor->isVisible());
}

}  // namespace
}  // namespace settings

namespace settings {
namespace {

struct Placement {
    const char* name;
    QRect rect;
    const char* container;  // nullptr: the window itself
};

void expectPlaced(QWidget* window, std::initializer_list<Placement> placements) {
    for (const Placement& p : placements) {
        auto* w = window->findChild<QWidget*>(QString::fromUtf8(p.name));
        ASSERT_NE(w, nullptr) << p.name;
        EXPECT_EQ(w->geometry(), p.rect) << p.name;
        QWidget* container = p.container ? window->findChild<QWidget*>(QString::fromUtf8(p.container)) : window;
        EXPECT_EQ(w->parentWidget(), container) << p.name;
    }
}

TEST_F(EntryEditorTest, WindowsKeepTheirLayout) {
    auto editor = openEditor(0);
    EXPECT_EQ(editor->frameGeometry(), QRect(50, 50, 482, 292));
    expectPlaced(
        editor.get(),
        {{"登录网址单选框", QRect(190, 171, 81, 21), nullptr}, {"登录邮箱单选框", QRect(190, 74, 81, 21), nullptr},
         {"透明标签3", QRect(13, 25, 44, 16), "分组框2"},      {"网址编辑框", QRect(68, 24, 264, 42), "分组框2"},
         {"分组框2", QRect(124, 174, 342, 76), nullptr},       {"透明标签5", QRect(135, 13, 44, 16), nullptr},
         {"邮箱名编辑框", QRect(190, 10, 105, 20), nullptr},   {"透明标签7", QRect(303, 12, 152, 16), nullptr},
         {"说明编辑框", QRect(190, 40, 264, 20), nullptr},     {"透明标签6", QRect(135, 41, 44, 16), nullptr},
         {"类型组合框", QRect(232, 24, 99, 20), "分组框1"},    {"透明标签1", QRect(222, 27, 9, 16), "分组框1"},
         {"透明标签9", QRect(12, 27, 44, 16), "分组框1"},      {"透明标签10", QRect(12, 55, 44, 16), "分组框1"},
         {"密码编辑框", QRect(67, 54, 147, 20), "分组框1"},    {"用户名编辑框", QRect(67, 24, 147, 20), "分组框1"},
         {"分组框1", QRect(124, 77, 342, 84), nullptr},        {"图片框1", QRect(32, 16, 48, 48), nullptr},
         {"按钮1", QRect(20, 216, 80, 27), nullptr},           {"透明标签2", QRect(12, 84, 96, 60), nullptr}});
    // The title radio buttons lie above their group boxes, so a click reaches them.
    auto* radio = editor->findChild<QRadioButton*>(QStringLiteral("登录邮箱单选框"));
    EXPECT_EQ(editor->childAt(radio->geometry().center()), radio);

    m_settings->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_settings));
    EXPECT_EQ(m_settings->frameGeometry(), QRect(50, 50, 393, 558));
    expectPlaced(m_settings, {{"修改登录密码按钮", QRect(272, 485, 104, 27), nullptr},
                              {"启用密码登录选择框", QRect(160, 504, 92, 13), nullptr},
                              {"允许打开新窗口选择框", QRect(160, 480, 105, 13), nullptr},
                              {"按钮1", QRect(6, 485, 139, 27), nullptr},
                              {"超级列表框", QRect(0, 0, 387, 468), nullptr}});
}

}  // namespace
}  // namespace settings
