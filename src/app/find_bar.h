// The find bar over the browser pane: a text box, previous and next, and the number of
// matches in the page shown. Escape closes it and removes the highlighting.
#pragma once

#include <QFrame>
#include <QPointer>
#include <QTimer>

class QLabel;
class QLineEdit;
class QPushButton;
class QWebEnginePage;

namespace app {

class FindBar : public QFrame {
    Q_OBJECT
public:
    explicit FindBar(QWidget* parent);

    // Shows the bar for page, its text selected for typing over.
    void open(QWebEnginePage* page);
    // Hides the bar and clears the page's highlighting.
    void close();
    void findNext();
    void findPrevious();

    QLineEdit* textBox() const { return m_text; }
    // "3/7", "0/0" when nothing matches, empty before the first search.
    QString matchText() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void search(bool backward);

    QPointer<QWebEnginePage> m_page;
    QLineEdit* m_text = nullptr;
    QPushButton* m_previous = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_close = nullptr;
    QLabel* m_matches = nullptr;
    quint64 m_search = 0;  // counts searches; an answer names the one it belongs to
    // Typing searches once the keys pause: the engine may drop the answer of a search
    // that a newer one overtook, and one per key would keep overtaking.
    QTimer m_typing;
};

}  // namespace app
