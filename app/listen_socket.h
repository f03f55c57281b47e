#pragma once

#include "platform/async_socket.h"

class CMainFrame;

// The listening socket: hands every pending connection to the main window.
class CListenSocket : public CAsyncSocket {
public:
    explicit CListenSocket(CMainFrame* frame) : m_pFrame(frame) {}
    void OnAccept(int errorCode) override;

private:
    CMainFrame* m_pFrame;
};
