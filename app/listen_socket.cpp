#include "app/listen_socket.h"

#include "app/main_frame.h"

void CListenSocket::OnAccept(int errorCode) {
    m_pFrame->AcceptClient(*this);
    CAsyncSocket::OnAccept(errorCode);
}
