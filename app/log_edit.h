// The log window: a read-only, unwrapped text that shows the operation log.
#pragma once

#include <QPlainTextEdit>
#include <string>

class CLogEdit : public QPlainTextEdit {
public:
    explicit CLogEdit(QWidget* parent);

    // Appends `text` (bytes of the system code page) to the log, trimming the
    // oldest part first when the log has grown past its limit.
    void AppendBytes(const std::string& text);
    const std::string& LogBytes() const { return m_log; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The view catches up once per turn of the event loop, so a burst of log
    // lines costs one update of the widget rather than one each; while the
    // window is hidden it only catches up when shown.
    void Refresh();

    std::string m_log;      // the log's bytes, the text the limits count
    std::string m_pending;  // appended since the last refresh
    bool m_bResetView = false;
    bool m_bRefreshQueued = false;
};

// Decodes bytes for display, line by line: UTF-8 where the line is valid
// UTF-8, else Shift-JIS. CRs go.
QString DecodeLogText(const std::string& bytes);
