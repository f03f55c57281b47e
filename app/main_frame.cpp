#include "app/main_frame.h"

#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTimerEvent>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/listen_socket.h"
#include "app/log_edit.h"
#include "app/outgoing_feeds.h"
#include "common/date_key.h"
#include "common/file_util.h"
#include "common/text.h"
#include "platform/background_runner.h"
#include "platform/service_notify.h"
#include "platform/stdout_copy.h"
#include "platform/tls_context.h"
#include "protocol/client_socket.h"
#include "protocol/replies.h"
#include "res/strings.h"
#include "store/posting.h"

bool CMainFrame::s_bHeadless = false;

namespace {

// The log's copy on stdout. Lines are written before anything goes out to a
// client, when the event loop is about to wait, or once a good amount has
// gathered: a write per line would cost more than serving the article it
// reports. Under the journal the copy loses its CRs, which would stay in
// each entry; anywhere else it is the log byte for byte.
CStdoutCopy& StdoutCopy() {
    static CStdoutCopy copy(STDOUT_FILENO, StdoutIsJournal());
    return copy;
}

// Watches stdout for room while lines wait for it, so that they go out as
// soon as a stalled reader reads again, and not only at the next event.
QPointer<QSocketNotifier> s_pStdoutNotifier;

void FlushStdout() {
    CStdoutCopy& copy = StdoutCopy();
    bool drained = copy.Flush();
    if (!s_pStdoutNotifier && !drained && copy.WatchFd() >= 0 && QCoreApplication::instance()) {
        // Owned by the application, so it goes before the event loop does.
        s_pStdoutNotifier = new QSocketNotifier(copy.WatchFd(), QSocketNotifier::Write,
                                                QCoreApplication::instance());
        QObject::connect(s_pStdoutNotifier, &QSocketNotifier::activated, [] { FlushStdout(); });
    }
    if (!s_pStdoutNotifier) return;
    if (copy.Ended()) {
        // Its descriptor is closed and its number may come back for another.
        delete s_pStdoutNotifier;
        return;
    }
    s_pStdoutNotifier->setEnabled(!drained);
}

}  // namespace

int CMainFrame::s_nTrayAvailable = -1;

namespace {
// The hour in which expiry last ran; -1 so the first pass after start-up runs it.
int s_nLastExpireKey = -1;
constexpr int kMaintenanceTimerId = 100;
constexpr int kMaintenancePeriodMs = 60000;
constexpr time_t kIdleLimit = 180;
constexpr char kClosed[] = "Closed!!\r\n";
constexpr char kIdleClosed[] = "No S/R Closed!!\r\n";
// For tests only: with MARROWBY_TEST_EXPIRE_EVERY_MINUTE=1 in the
// environment, expiry runs in the first pass of every minute instead of
// every hour (still judging the files by the hour). Normal runs never set it.
const bool s_bExpireEveryMinute = [] {
    const char* value = std::getenv("MARROWBY_TEST_EXPIRE_EVERY_MINUTE");
    return value && std::string(value) == "1";
}();
time_t s_nLastExpireMinute = -1;
}  // namespace

// Receives the maintenance timer and the posted timer messages, apart from
// the window's own timers, which Qt uses for its widgets.
class CMainFrame::TimerTarget : public QObject {
public:
    explicit TimerTarget(CMainFrame* frame) : m_pFrame(frame) {}

protected:
    void timerEvent(QTimerEvent*) override { m_pFrame->OnTimer(); }

private:
    CMainFrame* m_pFrame;
};

CMainFrame::CMainFrame() : CServerCore(static_cast<IServerHost&>(*this)) {
    // The icon lives in a static library, whose resource initialiser the
    // linker would otherwise drop.
    Q_INIT_RESOURCE(marrowby);
    setWindowTitle(QString::fromUtf8(kAppTitle));
    setWindowIcon(QIcon(QStringLiteral(":/res/marrowby.xpm")));
    resize(300, 300);
    m_pTimerTarget = new TimerTarget(this);
    CAsyncSocket::SetErrorLog([this](const std::string& text) { AppendLog(text); });
    m_pLogEdit = new CLogEdit(this);
    setCentralWidget(m_pLogEdit);
    CreateStatusBar();
    CreateMenus();
}

CMainFrame::~CMainFrame() {
    OnDestroy();
    Cleanup();
    CAsyncSocket::SetErrorLog(nullptr);
    delete m_pTimerTarget;
}

void CMainFrame::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QString::fromUtf8(kMenuFile));
    QAction* rebuild = file->addAction(QString::fromUtf8(kMenuRebuild));
    rebuild->setStatusTip(QString::fromUtf8(kRebuildPrompt));
    connect(rebuild, &QAction::triggered, this, [this] { OnCommand(ID_REBUILD); });
    file->addSeparator();
    QAction* exit = file->addAction(QString::fromUtf8(kMenuAppExit));
    connect(exit, &QAction::triggered, this, [this] { OnCommand(ID_APP_EXIT); });

    // The tray menu's own title is never shown; only its items are.
    m_pTrayMenu = new QMenu(QString::fromUtf8(kTrayMenuTitle), this);
    QAction* show = m_pTrayMenu->addAction(QString::fromUtf8(kTrayShowWindow));
    connect(show, &QAction::triggered, this, [this] { OnCommand(ID_SHOW_WINDOW); });
    QAction* quit = m_pTrayMenu->addAction(QString::fromUtf8(kTrayExit));
    connect(quit, &QAction::triggered, this, [this] { OnCommand(ID_APP_EXIT); });
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    m_pClockPane = new QLabel(QString::fromUtf8(kClockInitial), bar);
    bar->addPermanentWidget(m_pClockPane);
    bar->showMessage(QString::fromUtf8(kIdleMessage));
    // When a menu's prompt goes away, the message pane shows its idle text again.
    connect(bar, &QStatusBar::messageChanged, this, [bar](const QString& message) {
        if (message.isEmpty()) bar->showMessage(QString::fromUtf8(kIdleMessage));
    });
}

static std::string ExecutableDirectory() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string full(path, static_cast<size_t>(n));
    size_t slash = SjisFindLast(full, '/');
    return slash == std::string::npos ? "." : full.substr(0, slash);
}

// MARROWBY_HOME without trailing slashes; empty when unset or empty.
static std::string HomeDirectory() {
    const char* home = std::getenv("MARROWBY_HOME");
    std::string dir = home ? home : "";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

bool CMainFrame::StartServer() {
    std::string home = HomeDirectory();
    if (home.empty()) return StartServer(ExecutableDirectory());
    // A base directory given from outside is checked before anything is read
    // from it: a missing or read-only one would otherwise surface later as a
    // missing settings file or as posts that cannot be stored.
    if (!IsDirectory(home)) {
        ShowMessage(home + kSettingsMissing);
        return false;
    }
    if (!IsWritableDirectory(home)) {
        ShowMessage(home + kHomeNotWritable);
        return false;
    }
    return StartServer(home);
}

bool CMainFrame::StartServer(const std::string& baseDir) {
    m_szBaseDir = baseDir;
    std::string settingsPath = m_szBaseDir + "/Marrowby.ini";
    if (!FileExists(settingsPath)) {
        ShowMessage(settingsPath + kSettingsMissing);
        return false;
    }
    if (!LoadSettings(settingsPath)) {
        ShowMessage(settingsPath + kCannotOpen);
        return false;
    }

    if (!LoadTlsContext()) return false;
    m_pListenSocket = std::make_unique<CListenSocket>(this);
    std::string reason;
    if (!OpenPort(*m_pListenSocket, m_nPortNo, reason)) {
        // The classic text alone, as it always was, unless IPv6 was asked for.
        ShowMessage(m_bUseIPv6 ? kListenFailed + (" [" + reason + "]") : kListenFailed);
        return false;
    }
    if (!OpenTlsPort()) return false;
    if (m_bSyncWrites) EnableSyncWrites(MakeBackgroundRunner());
    // An append to an index that a crash cut short is completed from the
    // save record before any index is read.
    OpenSaveRecord();
    if (!LoadGroups()) return false;
    std::string peeringError;
    if (m_bUseRfc3977 && !StartPeering(peeringError)) {
        ShowMessage(peeringError);
        return false;
    }
    // The save record, the group directories and the peers' queues, where
    // synced posts go: their names must be on disk before the first post is
    // answered.
    if (m_bSyncWrites) {
        SystemFileSync().SyncDirectory(m_szBaseDir);
        if (!m_feeds.Directory().empty() && FileExists(m_feeds.Directory()))
            SystemFileSync().SyncDirectory(m_feeds.Directory());
    }
    if (m_bUseRfc3977) m_pOutgoingFeeds = std::make_unique<COutgoingFeeds>(*this, *this);
    m_nTimerId = m_pTimerTarget->startTimer(kMaintenancePeriodMs);
    PostTimerMessage();
    std::string caption = Format("Marrowby [%d]", m_nPortNo);
    setWindowTitle(QString::fromUtf8(caption.c_str()));
    AddTrayIcon();
    AppendLog(Format("Create Listen Port[%d] !!\r\n", m_nPortNo));
    // Ready only once connections can be taken: the service manager starts
    // what depends on the server as soon as it hears this.
    bool listening = m_pListenSocket->Listen(5);
    for (auto& listener : m_otherListeners)
        if (!listener->IsTlsPort()) listening = listener->Listen(5) && listening;
    std::string status = Format("READY=1\nSTATUS=Listening on port %d", m_nPortNo);
    if (m_nTlsPortNo) status += Format(", TLS on port %d", m_nTlsPortNo);
    if (listening) NotifyService(status);
    return true;
}

bool CMainFrame::LoadGroups() {
    for (const auto& group : m_groups) {
        std::string dir = GroupDir(*group);
        if (!FileExists(dir)) MakeDirectory(dir);
        std::string indexPath = IndexPath(*group);
        // A save or a post cut short by a crash leaves its staging file; the
        // index and the article files are whole either way.
        RemoveFile(indexPath + ".tmp");
        RemoveFile(StagingPath(*this, *group));
        if (FileExists(indexPath) && !LoadGroupIndex(indexPath, *group)) {
            ShowMessage(indexPath + kCannotOpen);
            return false;
        }
    }
    return true;
}

// An absolute path as it is; a relative one from the base directory.
static std::string FromBaseDir(const std::string& base, const std::string& path) {
    return !path.empty() && path[0] == '/' ? path : base + "/" + path;
}

bool CMainFrame::LoadTlsContext() {
    const bool named = !m_strTlsCertificate.empty() || !m_strTlsKey.empty();
    if (!named && !m_nTlsPortNo) return true;
    if (m_strTlsCertificate.empty() || m_strTlsKey.empty()) {
        ShowMessage(kTlsFilesMissing +
                    std::string(m_strTlsCertificate.empty() ? "TlsCertificate" : "TlsKey"));
        return false;
    }
    auto context = std::make_unique<CTlsContext>();
    std::string error;
    if (!context->Load(FromBaseDir(m_szBaseDir, m_strTlsCertificate),
                       FromBaseDir(m_szBaseDir, m_strTlsKey), error)) {
        ShowMessage(error);
        return false;
    }
    m_pTlsContext = std::move(context);
    return true;
}

bool CMainFrame::OpenPort(CListenSocket& listener, int port, std::string& reason) {
    if (!m_bUseIPv6) {
        if (listener.Create(port, 63)) return true;
        reason = listener.LastError();
        return false;
    }
    bool ipv4Too = false;
    if (!listener.CreateIPv6(port, ipv4Too, 63)) {
        reason = "IPv6: " + listener.LastError();
        return false;
    }
    if (ipv4Too) return true;
    // The system keeps IPv6 sockets to IPv6: IPv4 clients get a socket of
    // their own on the same port.
    auto twin = std::make_unique<CListenSocket>(this, listener.IsTlsPort());
    if (!twin->Create(port, 63)) {
        reason = twin->LastError();
        return false;
    }
    m_otherListeners.push_back(std::move(twin));
    return true;
}

bool CMainFrame::OpenTlsPort() {
    if (!m_nTlsPortNo) return true;
    auto listener = std::make_unique<CListenSocket>(this, true);
    size_t before = m_otherListeners.size();
    std::string reason;
    bool ok = OpenPort(*listener, m_nTlsPortNo, reason);
    m_otherListeners.push_back(std::move(listener));
    // Listening at once catches every failure of this port before anything
    // else starts; connections are taken only once the event loop runs.
    for (size_t i = before; ok && i < m_otherListeners.size(); ++i) {
        ok = m_otherListeners[i]->Listen(5);
        if (!ok) reason = m_otherListeners[i]->LastError();
    }
    if (!ok) {
        ShowMessage(kTlsListenFailed + std::to_string(m_nTlsPortNo) + " [" + reason + "]");
        return false;
    }
    AppendLog(Format("Create TLS Listen Port[%d] !!\r\n", m_nTlsPortNo));
    return true;
}

void CMainFrame::AcceptClient(CListenSocket& listener) {
    auto client = std::make_unique<CClientSocket>(*this, *this);
    if (!listener.Accept(*client)) return;  // the connection went away meanwhile
    client->SetNoDelay();
    client->SetTlsContext(m_pTlsContext.get());
    CClientSocket* raw = client.get();
    bool admitted = true;
    if (m_nMaxConnections > 0 || m_nMaxConnectionsPerHost > 0) {
        raw->IdentifyPeer();
        // Connections on their way out (finished, not yet removed) no longer
        // count.
        int open = 0;
        int fromHost = 0;
        for (const auto& other : m_clients) {
            if (other->IsFinished()) continue;
            ++open;
            if (other->PeerAddress() == raw->PeerAddress()) ++fromHost;
        }
        admitted = MayAccept(open, fromHost, raw->PeerAddress());
    }
    m_clients.push_back(std::move(client));
    if (!admitted)
        raw->Refuse(replies::kTooManyConnections, listener.IsTlsPort());
    else if (listener.IsTlsPort())
        raw->GreetOverTls();
    else
        raw->Greet();
}

void CMainFrame::Cleanup() {
    SaveGroupIndexes();
    // With SyncWrites the writes are still on their way to the disk.
    StopSyncWrites();
    CloseSaveRecord();
    SaveIndexSidecars();
    // Before the groups go: a client finds article files through them.
    m_pOutgoingFeeds.reset();
    m_groups.clear();
    m_users.clear();
    for (auto& client : m_clients) {
        client->Close();
        AppendLog(client->LogPrefix() + kClosed);
        client.reset();
    }
    m_clients.clear();
    if (m_pListenSocket) {
        m_pListenSocket->Close();
        m_pListenSocket.reset();
    }
    m_otherListeners.clear();
    if (m_pLogEdit) {
        delete m_pLogEdit;
        m_pLogEdit = nullptr;
    }
    // The last lines get a moment to go out to a slow reader.
    FlushStdout();
    StdoutCopy().FlushWaiting(1000);
}

void CMainFrame::FlushLog() {
    FlushStdout();
}

void CMainFrame::FlushStdoutCopy() {
    FlushStdout();
}

void CMainFrame::AppendLog(const std::string& text) {
    StdoutCopy().Append(text);
    if (StdoutCopy().Pending() >= 16 * 1024) FlushStdout();
    if (m_bDestroyed || !m_pLogEdit) return;
    m_pLogEdit->AppendBytes(text);
}

void CMainFrame::ShowMessage(const std::string& text) {
    FlushStdout();
    if (s_bHeadless) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kAppTitle),
                    QString::fromUtf8(text.c_str()), QMessageBox::Ok);
    box.exec();
}

void CMainFrame::PostTimerMessage() {
    QCoreApplication::postEvent(m_pTimerTarget, new QTimerEvent(kMaintenanceTimerId));
}

void CMainFrame::OnTimer() {
    if (m_bDestroyed) return;
    MaintenancePass(time(nullptr));
}

void CMainFrame::MaintenancePass(time_t now) {
    // A pass that runs proves the event loop alive to the service manager's
    // watchdog; a loop stuck in one handler stops the passes, and the
    // manager restarts the server.
    NotifyService("WATCHDOG=1");
    for (size_t i = m_clients.size(); i-- > 0;) {
        CClientSocket& client = *m_clients[i];
        const char* reason = nullptr;
        if (client.IsFinished())
            reason = kClosed;
        else if (now - kIdleLimit > client.LastActivity())
            reason = kIdleClosed;
        if (!reason) continue;
        client.FlushBeforeClose();
        client.Close();
        AppendLog(client.LogPrefix() + reason);
        m_clients[i].reset();
    }
    // The deleted connections leave the list in one pass, the others keeping
    // their order: erasing each from the middle would cost a pass apiece.
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), nullptr), m_clients.end());
    if (m_pOutgoingFeeds) m_pOutgoingFeeds->Maintain(now);
    FlushStdout();
    struct tm tm {};
    LocalTime(now, tm);
    m_pClockPane->setText(QString::asprintf("%02d:%02d", tm.tm_hour, tm.tm_min));
    m_pClockPane->repaint();
    int key = static_cast<int>(DateHourKey(now));
    bool due = s_bExpireEveryMinute ? now / 60 != s_nLastExpireMinute : key != s_nLastExpireKey;
    if (m_bUseExpire && due) {
        s_nLastExpireKey = key;
        s_nLastExpireMinute = now / 60;
        ExpireArticles(key);
    }
}

void CMainFrame::NotifyService(const std::string& state) {
    std::string error;
    if (!NotifyServiceManager(state, error) && !error.empty())
        AppendLog("Service notification failed: " + error + "\r\n");
}

void CMainFrame::OnCommand(int id) {
    switch (id) {
        case ID_REBUILD: RebuildGroupIndexes(); break;
        case ID_SHOW_WINDOW: ShowMainWindow(); break;
        case ID_APP_EXIT: close(); break;
        default: break;
    }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    event->accept();
    // Said before the indexes are written, so that the manager waits for the
    // shutdown instead of judging a slow one as hung.
    NotifyService("STOPPING=1");
    OnDestroy();
    QCoreApplication::quit();
}

void CMainFrame::OnDestroy() {
    if (m_bDestroyed) return;
    m_bDestroyed = true;
    if (m_nTimerId) m_pTimerTarget->killTimer(m_nTimerId);
    m_nTimerId = 0;
    if (m_bTrayIcon) RemoveTrayIcon();
}

void CMainFrame::focusInEvent(QFocusEvent* event) {
    QMainWindow::focusInEvent(event);
    if (m_pLogEdit) m_pLogEdit->setFocus();
}

void CMainFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
    // Without a tray to come back from, hiding would strand the operator.
    if (!TrayAvailable()) return;
    hide();
    AddTrayIcon();
}

bool CMainFrame::TrayAvailable() {
    if (s_nTrayAvailable >= 0) return s_nTrayAvailable != 0;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void CMainFrame::AddTrayIcon() {
    if (!TrayAvailable()) {
        // No notification area: on a desktop the window stands in for the
        // icon; without a display there is nothing to show.
        if (!s_bHeadless) show();
        return;
    }
    if (!m_pTrayIcon) {
        m_pTrayIcon = new QSystemTrayIcon(windowIcon(), this);
        connect(m_pTrayIcon, &QSystemTrayIcon::activated, this, &CMainFrame::OnTrayNotify);
    }
    m_pTrayIcon->setToolTip(windowTitle());
    m_pTrayIcon->show();
    m_bTrayIcon = 1;
}

void CMainFrame::RemoveTrayIcon() {
    if (m_pTrayIcon) m_pTrayIcon->hide();
    m_bTrayIcon = 0;
}

void CMainFrame::ShowMainWindow() {
    showNormal();
    RemoveTrayIcon();
    activateWindow();
    raise();
}

void CMainFrame::OnTrayNotify(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::DoubleClick: ShowMainWindow(); break;
        case QSystemTrayIcon::Context:
            activateWindow();
            m_pTrayMenu->popup(QCursor::pos());
            break;
        default: break;
    }
}
