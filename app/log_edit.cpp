#include "app/log_edit.h"

#include <QScrollBar>
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
    if (!m_bRefreshQueued) {
        m_bRefreshQueued = true;
        QTimer::singleShot(0, this, [this] { Refresh(); });
    }
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
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes)
        if (c != '\r') text += c;
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString decoded = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    if (!utf8.hasError()) return decoded;
    QStringDecoder sjis("Shift_JIS");
    if (sjis.isValid())
        return sjis(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}
