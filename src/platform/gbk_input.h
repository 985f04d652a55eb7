// Text inputs whose text is stored or compared as GBK. A character GBK cannot hold
// would silently become '?' on its way into the database, so such an input refuses
// it the moment it is typed or pasted and says which character it was: what is
// stored is always exactly what the user sees. User-interface thread only.
#pragma once

#include <QString>
#include <QValidator>

class QLineEdit;

namespace platform {

// The characters of text that GBK cannot hold, each once, in the order they first
// appear; empty when the text converts to GBK and back unchanged.
QStringList charactersOutsideGbk(const QString& text);

// The notice shown for a refused input, naming the characters.
QString outsideGbkNotice(const QStringList& characters);

// Accepts a text only when GBK holds every character of it and, with maxBytes >= 0,
// its GBK form is at most maxBytes bytes long. A text refused for its characters
// (not for its length) is reported by refused().
class GbkValidator : public QValidator {
    Q_OBJECT
public:
    explicit GbkValidator(QObject* parent, int maxBytes = -1);
    State validate(QString& input, int& pos) const override;

signals:
    void refused(const QStringList& characters) const;

private:
    int m_maxBytes;
};

// Gives the input a GbkValidator whose refusals are shown, once the key press or
// paste is over, in the program's message box over the input's window.
void guardGbkInput(QLineEdit* input, int maxBytes = -1);

}  // namespace platform
