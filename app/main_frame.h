// The main window: owner of all server state, host of the log window, the
// status bar with its clock, the menus and the tray icon.
#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <memory>
#include <string>
#include <vector>

#include "store/server_core.h"

class CClientSocket;
class CListenSocket;
class CTlsContext;
class COutgoingFeeds;
class CLogEdit;
class QLabel;
class QMenu;

// Command identifiers of the menus.
constexpr int ID_REBUILD = 32771;
constexpr int ID_SHOW_WINDOW = 32775;
constexpr int ID_APP_EXIT = 57665;

// The window is the server's host (log, maintenance pass, clock) and holds
// the server's state; connections see the two through separate interfaces.
class CMainFrame : public QMainWindow, public IServerHost, public CServerCore {
public:
    // True when the process has no display: message boxes go to stderr.
    static bool s_bHeadless;
    // Whether a notification area exists: -1 asks the platform, 0 or 1
    // answers for it. Tests set it to run the icon's states on a platform
    // that has no tray; the server itself never changes it.
    static int s_nTrayAvailable;

    CMainFrame();
    ~CMainFrame() override;

    // Everything from reading the settings file to listening, with the
    // directory that MARROWBY_HOME names as the base directory, or the
    // executable's directory when it is unset or empty. A MARROWBY_HOME that
    // is not a directory or cannot be written is a start-up failure. False
    // after a start-up failure, whose message has then been shown.
    bool StartServer();
    // The same with the base directory given, so that tests can start a
    // server on a directory of their own.
    bool StartServer(const std::string& baseDir);
    // Takes one pending connection of `listener`, registers it and greets it
    // (after its TLS handshake on the TLS port).
    void AcceptClient(CListenSocket& listener);
    // The teardown: writes changed indexes, then releases groups, users,
    // connections, the listening socket and the log window.
    void Cleanup();

    void AppendLog(const std::string& text) override;
    void FlushLog() override;
    void PostTimerMessage() override;
    // Writes out what the log has gathered for stdout.
    static void FlushStdoutCopy();
    // Shows a start-up message to the operator and returns once it is read
    // (on stderr when there is no display).
    void ShowMessage(const std::string& text);

    // The maintenance pass: removes finished and silent connections, sets the
    // clock, and starts expiry in the first pass of each hour.
    void OnTimer();
    void MaintenancePass(time_t now);

    void ShowMainWindow();
    void OnTrayNotify(QSystemTrayIcon::ActivationReason reason);
    // Runs a menu command by its identifier.
    void OnCommand(int id);

    int m_bTrayIcon = 0;
    CLogEdit* m_pLogEdit = nullptr;
    std::unique_ptr<CListenSocket> m_pListenSocket;
    // The other listening sockets: the TLS port, and the IPv4 twins of IPv6
    // sockets where the system refuses dual-stack ones.
    std::vector<std::unique_ptr<CListenSocket>> m_otherListeners;
    // The certificate and key, loaded when the settings name them; it
    // outlives every connection.
    std::unique_ptr<CTlsContext> m_pTlsContext;
    std::vector<std::unique_ptr<CClientSocket>> m_clients;
    // Our connections to the peers we send to, in the reader mode.
    std::unique_ptr<COutgoingFeeds> m_pOutgoingFeeds;
    QMenu* TrayMenu() const { return m_pTrayMenu; }
    QLabel* ClockPane() const { return m_pClockPane; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    static bool TrayAvailable();
    void CreateMenus();
    void CreateStatusBar();
    void AddTrayIcon();
    void RemoveTrayIcon();
    // What the window's destruction does: stop the timer, take the icon away.
    void OnDestroy();
    // Passes `state` to the service manager that started the process, if
    // any; a notice that cannot be delivered is logged.
    void NotifyService(const std::string& state);
    // Loads the certificate and key that the settings name, if any. False
    // after a failure, whose message has then been shown.
    bool LoadTlsContext();
    // Binds `port` for `listener` and, with UseIPv6, for IPv6 too: one
    // dual-stack socket, or an IPv6 socket and an IPv4 one beside it. The
    // extra socket joins m_otherListeners. False with the system's reason.
    bool OpenPort(CListenSocket& listener, int port, std::string& reason);
    // Opens and listens on the TLS port. False after a failure, whose
    // message has then been shown.
    bool OpenTlsPort();
    // Makes the groups' directories where missing, removes what a crash cut
    // short, and reads every index. False after a failure, whose message has
    // then been shown.
    bool LoadGroups();

    class TimerTarget;
    TimerTarget* m_pTimerTarget = nullptr;
    int m_nTimerId = 0;
    bool m_bDestroyed = false;
    QSystemTrayIcon* m_pTrayIcon = nullptr;
    QMenu* m_pTrayMenu = nullptr;
    QLabel* m_pClockPane = nullptr;
};
