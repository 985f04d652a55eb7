#include "platform/dialogs.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QStringList>

#include "platform/gbk_input.h"

namespace platform {
namespace {

DialogResponder* g_responder = nullptr;

const QString kMessageCaption = QStringLiteral("信息：");
const QString kInputCaption = QStringLiteral("请输入：");

MessageAnswer showMessage(QWidget* parent, const MessageRequest& request) {
    if (g_responder) return g_responder->answerMessage(request);
    QMessageBox box(parent);
    box.setWindowTitle(kMessageCaption);
    box.setText(request.text);
    switch (request.icon) {
        case MessageIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MessageIcon::Error:
            box.setIcon(QMessageBox::Critical);
            break;
        case MessageIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
    }
    if (request.yesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    int result = box.exec();
    if (!request.yesNo) return MessageAnswer::Ok;
    return result == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

}  // namespace

void messageBox(QWidget* parent, const QString& text, MessageIcon icon) {
    showMessage(parent, MessageRequest{text, icon, false});
}

bool askYesNo(QWidget* parent, const QString& text) {
    return showMessage(parent, MessageRequest{text, MessageIcon::Question, true}) == MessageAnswer::Yes;
}

std::unique_ptr<QInputDialog> makeInputDialog(QWidget* parent, const InputRequest& request) {
    auto dialog = std::make_unique<QInputDialog>(parent);
    dialog->setWindowTitle(kInputCaption);
    dialog->setLabelText(request.prompt);
    dialog->setTextValue(request.initialText);
    dialog->setTextEchoMode(request.password ? QLineEdit::Password : QLineEdit::Normal);
    dialog->setOkButtonText(QStringLiteral("确认输入(&O)"));
    dialog->setCancelButtonText(QStringLiteral("取消(&C)"));
    if (auto* field = dialog->findChild<QLineEdit*>()) guardGbkInput(field);
    return dialog;
}

std::optional<QString> inputBox(QWidget* parent, const QString& prompt, bool password, const QString& initialText) {
    InputRequest request{prompt, initialText, password};
    if (g_responder) return g_responder->answerInput(request);
    std::unique_ptr<QInputDialog> dialog = makeInputDialog(parent, request);
    if (dialog->exec() != QDialog::Accepted) return std::nullopt;
    return dialog->textValue();
}

DialogResponder* setDialogResponder(DialogResponder* responder) {
    DialogResponder* previous = g_responder;
    g_responder = responder;
    return previous;
}

ScriptedDialogs::ScriptedDialogs() { m_previous = setDialogResponder(this); }

ScriptedDialogs::~ScriptedDialogs() { setDialogResponder(m_previous); }

QStringList ScriptedDialogs::messageTexts() const {
    QStringList texts;
    for (const auto& m : m_messages) texts << m.text;
    return texts;
}

void ScriptedDialogs::clear() {
    m_inputs.clear();
    m_answers.clear();
    m_messages.clear();
    m_inputRequests.clear();
}

MessageAnswer ScriptedDialogs::answerMessage(const MessageRequest& request) {
    m_messages.push_back(request);
    if (!request.yesNo) return MessageAnswer::Ok;
    bool yes = false;
    if (!m_answers.empty()) {
        yes = m_answers.front();
        m_answers.pop_front();
    }
    return yes ? MessageAnswer::Yes : MessageAnswer::No;
}

std::optional<QString> ScriptedDialogs::answerInput(const InputRequest& request) {
    m_inputRequests.push_back(request);
    if (m_inputs.empty()) return std::nullopt;
    auto answer = std::move(m_inputs.front());
    m_inputs.pop_front();
    return answer;
}

}  // namespace platform
