// The program's one message box and one input box. Every window shows its messages
// and asks for text through these two calls, so tests can answer them through the
// DialogResponder seam instead of a human. User-interface thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class QInputDialog;
class QWidget;

namespace platform {

enum class MessageIcon { Information, Error, Question };
enum class MessageAnswer { Ok, Yes, No };

struct MessageRequest {
    QString text;
    MessageIcon icon = MessageIcon::Information;
    bool yesNo = false;  // a question with Yes and No buttons
};

struct InputRequest {
    QString prompt;
    QString initialText;
    bool password = false;
};

// Modal message box captioned "信息：" with an OK button.
void messageBox(QWidget* parent, const QString& text, MessageIcon icon = MessageIcon::Information);

// Modal question captioned "信息：" with Yes and No buttons and the question icon.
// True for Yes.
[[nodiscard]] bool askYesNo(QWidget* parent, const QString& text);

// Modal input dialog titled "请输入：" with the buttons "确认输入(&O)" and "取消(&C)".
// The text typed (possibly empty) on OK; nothing on Cancel or when closed. Its field
// refuses characters GBK cannot hold (platform/gbk_input.h): every text asked for is
// stored or compared as GBK.
[[nodiscard]] std::optional<QString> inputBox(QWidget* parent, const QString& prompt, bool password = false,
                                              const QString& initialText = {});

// The dialog inputBox shows, not yet shown (a test responder can type into it).
std::unique_ptr<QInputDialog> makeInputDialog(QWidget* parent, const InputRequest& request);

// While a responder is installed no dialog is shown: the responder answers instead.
class DialogResponder {
public:
    virtual ~DialogResponder() = default;
    virtual MessageAnswer answerMessage(const MessageRequest& request) = 0;
    virtual std::optional<QString> answerInput(const InputRequest& request) = 0;
};

// nullptr restores the real dialogs. Returns the responder that was installed.
DialogResponder* setDialogResponder(DialogResponder* responder);

// A responder for tests: installs itself for its lifetime, answers input boxes and
// questions from queues and records every request. An input box with nothing queued
// is answered with Cancel, a question with nothing queued with No.
class ScriptedDialogs : public DialogResponder {
public:
    ScriptedDialogs();
    ~ScriptedDialogs() override;
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    void queueInput(std::optional<QString> answer) { m_inputs.push_back(std::move(answer)); }
    void queueAnswer(bool yes) { m_answers.push_back(yes); }

    const std::vector<MessageRequest>& messages() const { return m_messages; }
    const std::vector<InputRequest>& inputs() const { return m_inputRequests; }
    QStringList messageTexts() const;
    void clear();

    MessageAnswer answerMessage(const MessageRequest& request) override;
    std::optional<QString> answerInput(const InputRequest& request) override;

private:
    DialogResponder* m_previous = nullptr;
    std::deque<std::optional<QString>> m_inputs;
    std::deque<bool> m_answers;
    std::vector<MessageRequest> m_messages;
    std::vector<InputRequest> m_inputRequests;
};

}  // namespace platform
