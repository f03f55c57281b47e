#pragma once

#include "platform/async_socket.h"

class CMainFrame;

// A listening socket: hands every pending connection to the main window.
class CListenSocket : public CAsyncSocket {
public:
    // `tls`: the port's connections are encrypted from their first byte.
    explicit CListenSocket(CMainFrame* frame, bool tls = false) : m_pFrame(frame), m_bTls(tls) {}
    void OnAccept(int errorCode) override;
    bool IsTlsPort() const { return m_bTls; }

private:
    CMainFrame* m_pFrame;
    bool m_bTls;
};
