#include "app/find_bar.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWebEngineFindTextResult>
#include <QWebEnginePage>

namespace app {

FindBar::FindBar(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("查找条"));
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setAutoFillBackground(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->setSpacing(4);
    m_text = new QLineEdit(this);
    m_text->setPlaceholderText(QStringLiteral("在网页中查找"));
    m_text->setMinimumWidth(160);
    m_previous = new QPushButton(QStringLiteral("上一个"), this);
    m_previous->setToolTip(QStringLiteral("上一个（Shift+Enter）"));
    m_next = new QPushButton(QStringLiteral("下一个"), this);
    m_next->setToolTip(QStringLiteral("下一个（Enter）"));
    m_matches = new QLabel(this);
    m_matches->setMinimumWidth(48);
    m_close = new QPushButton(QStringLiteral("×"), this);
    m_close->setToolTip(QStringLiteral("关闭（Esc）"));
    m_close->setFixedWidth(24);
    for (QPushButton* button : {m_previous, m_next, m_close}) button->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(m_text);
    layout->addWidget(m_previous);
    layout->addWidget(m_next);
    layout->addWidget(m_matches);
    layout->addWidget(m_close);
    m_text->installEventFilter(this);
    m_typing.setSingleShot(true);
    m_typing.setInterval(150);
    connect(&m_typing, &QTimer::timeout, this, [this] { search(false); });
    connect(m_text, &QLineEdit::textChanged, this, [this] { m_typing.start(); });
    connect(m_previous, &QPushButton::clicked, this, &FindBar::findPrevious);
    connect(m_next, &QPushButton::clicked, this, &FindBar::findNext);
    connect(m_close, &QPushButton::clicked, this, &FindBar::close);
    adjustSize();
    hide();
}

void FindBar::open(QWebEnginePage* page) {
    if (m_page != page) {
        if (m_page) m_page->disconnect(this);
        m_page = page;
        m_matches->clear();
    }
    show();
    raise();
    m_text->setFocus();
    m_text->selectAll();
    if (!m_text->text().isEmpty()) search(false);
}

void FindBar::close() {
    m_typing.stop();
    ++m_search;                               // answers still on their way belong to no search any more
    if (m_page) m_page->findText(QString());  // an empty search removes the highlighting
    m_page = nullptr;
    m_matches->clear();
    hide();
}

void FindBar::findNext() { search(false); }

void FindBar::findPrevious() { search(true); }

void FindBar::search(bool backward) {
    m_typing.stop();
    if (!m_page) return;
    if (m_text->text().isEmpty()) {
        ++m_search;
        m_page->findText(QString());
        m_matches->clear();
        return;
    }
    // Typing searches at every key; only the answer to the latest search is shown.
    const quint64 search = ++m_search;
    QPointer<FindBar> alive(this);
    m_page->findText(
        m_text->text(), backward ? QWebEnginePage::FindBackward : QWebEnginePage::FindFlags(),
        [alive, search](const QWebEngineFindTextResult& result) {
            if (!alive || search != alive->m_search) return;
            alive->m_matches->setText(QStringLiteral("%1/%2").arg(result.activeMatch()).arg(result.numberOfMatches()));
        });
}

QString FindBar::matchText() const { return m_matches->text(); }

bool FindBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_text && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape) {
            close();
            return true;
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            search(key->modifiers() & Qt::ShiftModifier);
            return true;
        }
    }
    return QFrame::eventFilter(watched, event);
}

}  // namespace app
