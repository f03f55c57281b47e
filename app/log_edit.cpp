#include "app/log_edit.h"

#include <QScrollBar>
#include <QShowEvent>
#include <QStringDecoder>
#include <QTimer>

#include "common/log_text.h"

CLogEdit::CLogEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setUndoRedoEnabled(false);
    setFrameShape(QFrame::Box);
}

void CLogEdit::AppendBytes(const std::string& text) {
    if (AppendLogText(m_log, text)) {
        m_bResetView = true;
        m_pending.clear();
    } else if (!m_bResetView) {
        m_pending += text;
    }
    if (!isVisible()) {
        // Nobody sees it: rebuild the view from the bytes when it is shown.
        m_bResetView = true;
        m_pending.clear();
        return;
    }
    if (!m_bRefreshQueued) {
        m_bRefreshQueued = true;
        QTimer::singleShot(0, this, [this] { Refresh(); });
    }
}

void CLogEdit::showEvent(QShowEvent* event) {
    QPlainTextEdit::showEvent(event);
    Refresh();
}

void CLogEdit::Refresh() {
    m_bRefreshQueued = false;
    if (m_bResetView) {
        setPlainText(DecodeLogText(m_log));
        m_bResetView = false;
    } else if (!m_pending.empty()) {
        moveCursor(QTextCursor::End);
        insertPlainText(DecodeLogText(m_pending));
    }
    m_pending.clear();
    moveCursor(QTextCursor::End);
    ensureCursorVisible();
}

QString DecodeLogText(const std::string& bytes) {
    // Each line is decoded on its own: clients differ in what they send, and
    // one Shift-JIS line must not turn the UTF-8 lines shown with it, in the
    // same burst or after a trim, into noise.
    // Stateless: a line cut short inside a character shows a replacement
    // character instead of losing its last bytes.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QStringDecoder sjis("Shift_JIS", QStringConverter::Flag::Stateless);
    QString decoded;
    std::string line;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t lf = bytes.find('\n', pos);
        size_t end = lf == std::string::npos ? bytes.size() : lf + 1;
        line.clear();
        for (size_t i = pos; i < end; ++i)
            if (bytes[i] != '\r') line += bytes[i];
        pos = end;
        QByteArrayView view(line.data(), static_cast<qsizetype>(line.size()));
        utf8.resetState();
        QString text = utf8(view);
        if (utf8.hasError()) {
            if (sjis.isValid()) {
                sjis.resetState();
                text = sjis(view);
            } else {
                text = QString::fromLatin1(view);
            }
        }
        decoded += text;
    }
    return decoded;
}
