// The main window driven in process on the offscreen platform: start-up,
// the tray icon and the window taking turns, the menus, the log view, the
// clock pane, and the shutdown that writes changed indexes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "app/log_edit.h"
#include "app/main_frame.h"
#include "common/text.h"
#include "protocol/client_socket.h"
#include "store/group_index.h"

namespace {

// The application object lives for the whole run; it is made in SetUp so
// that listing the tests needs no display plugin at all.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        m_app = std::make_unique<QApplication>(m_argc, m_argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[10] = "app_tests";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// Runs the event loop until `done` holds; false when it still does not
// after `ms` milliseconds.
bool PumpUntil(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (done()) return true;
        if (clock.elapsed() > ms) return false;
        QThread::msleep(2);
    }
}

void Pump() {
    PumpUntil([] { return false; }, 50);
}

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// A TCP connection to the server on 127.0.0.1 with a bounded receive.
int ConnectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// What a message box showed; filled by AnswerMessageBoxes.
struct ShownBox {
    int count = 0;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
};

// Watches for modal message boxes and presses OK on each, recording what it
// showed. Stops by itself after a few seconds, closing anything still modal
// so that a box nobody expected cannot hang the run.
class MessageBoxAnswerer {
public:
    explicit MessageBoxAnswerer(ShownBox& shown) : m_shown(shown) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(20);
    }

private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            m_shown.count += 1;
            m_shown.title = box->windowTitle();
            m_shown.text = box->text();
            m_shown.buttons = box->standardButtons();
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
            return;
        }
        if (++m_nPolls > 250) {
            m_timer.stop();
            if (modal) modal->close();
        }
    }

    ShownBox& m_shown;
    QTimer m_timer;
    int m_nPolls = 0;
};

// Counts the times a widget is shown, so a test can tell that a window
// never appeared on the way to its end.
class ShowCounter : public QObject {
public:
    int shows = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) shows += 1;
        return false;
    }
};

class MainFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_base = m_dir.path().toStdString();
        m_port = FreePort();
        CMainFrame::s_bHeadless = false;
        CMainFrame::s_nTrayAvailable = -1;
    }

    void TearDown() override {
        m_frame.reset();
        CMainFrame::s_bHeadless = false;
        CMainFrame::s_nTrayAvailable = -1;
    }

    void WriteSettings() {
        std::ofstream out(m_base + "/Marrowby.ini", std::ios::binary);
        out << "[Settings]\r\nPortNo\t" << m_port
            << "\r\n[Group]\r\nlocal.test\t0\ttest\r\nlocal.quiet\t0\tquiet\r\n[Users]\r\n";
    }

    // Writes the settings, starts a server on the temporary directory and
    // lets its first posted events run.
    void Start() {
        WriteSettings();
        m_frame = std::make_unique<CMainFrame>();
        ASSERT_TRUE(m_frame->StartServer(m_base));
        Pump();
    }

    QSystemTrayIcon* TrayIcon() const { return m_frame->findChild<QSystemTrayIcon*>(); }

    // The window is hidden and the icon is in the tray, and the flag says so.
    void ExpectInTray() const {
        EXPECT_FALSE(m_frame->isVisible());
        EXPECT_EQ(1, m_frame->m_bTrayIcon);
        ASSERT_NE(nullptr, TrayIcon());
        EXPECT_TRUE(TrayIcon()->isVisible());
    }

    // The window is on screen and no icon is.
    void ExpectShown() const {
        EXPECT_TRUE(m_frame->isVisible());
        EXPECT_FALSE(m_frame->isMinimized());
        EXPECT_EQ(0, m_frame->m_bTrayIcon);
        if (TrayIcon()) {
            EXPECT_FALSE(TrayIcon()->isVisible());
        }
    }

    void Minimise() {
        m_frame->setWindowState(Qt::WindowMinimized);
        Pump();
    }

    QMenu* FileMenu() const { return m_frame->menuBar()->actions().value(0)->menu(); }

    QAction* TrayAction(const char* text) const {
        for (QAction* action : m_frame->TrayMenu()->actions())
            if (action->text() == U(text)) return action;
        return nullptr;
    }

    QAction* FileAction(const char* text) const {
        for (QAction* action : FileMenu()->actions())
            if (action->text() == U(text)) return action;
        return nullptr;
    }

    std::string ViewText() const { return m_frame->m_pLogEdit->toPlainText().toStdString(); }

    QTemporaryDir m_dir;
    std::string m_base;
    int m_port = 0;
    std::unique_ptr<CMainFrame> m_frame;
};

TEST_F(MainFrameTest, WindowHasLogViewStatusPanesAndMenus) {
    m_frame = std::make_unique<CMainFrame>();
    EXPECT_FALSE(m_frame->isVisible());
    EXPECT_EQ(0, m_frame->m_bTrayIcon);

    CLogEdit* log = m_frame->m_pLogEdit;
    ASSERT_NE(nullptr, log);
    EXPECT_EQ(log, m_frame->centralWidget());
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_EQ(QPlainTextEdit::NoWrap, log->lineWrapMode());
    EXPECT_EQ(Qt::ScrollBarAlwaysOn, log->verticalScrollBarPolicy());
    EXPECT_EQ(Qt::ScrollBarAlwaysOn, log->horizontalScrollBarPolicy());

    EXPECT_EQ(U("ﾚﾃﾞｨ"), m_frame->statusBar()->currentMessage());
    EXPECT_EQ(U("00:00"), m_frame->ClockPane()->text());

    QList<QAction*> menus = m_frame->menuBar()->actions();
    ASSERT_EQ(1, menus.size());
    EXPECT_EQ(U("ﾌｧｲﾙ(&F)"), menus[0]->text());
    QList<QAction*> items = FileMenu()->actions();
    ASSERT_EQ(3, items.size());
    EXPECT_EQ(U("再構築(&R)"), items[0]->text());
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(U("ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)"), items[2]->text());

    // Hovering the rebuild item puts its prompt in the message pane; when the
    // prompt goes, the idle text comes back.
    EXPECT_EQ(U("メッセージの再構築"), items[0]->statusTip());
    items[0]->showStatusText(m_frame.get());
    EXPECT_EQ(U("メッセージの再構築"), m_frame->statusBar()->currentMessage());
    m_frame->statusBar()->clearMessage();
    EXPECT_EQ(U("ﾚﾃﾞｨ"), m_frame->statusBar()->currentMessage());

    QList<QAction*> trayItems = m_frame->TrayMenu()->actions();
    ASSERT_EQ(2, trayItems.size());
    EXPECT_EQ(U("ウインドウの表示(&E)"), trayItems[0]->text());
    EXPECT_EQ(U("Marrowbyの終了(&X)"), trayItems[1]->text());
}

TEST_F(MainFrameTest, StartsHiddenInTheTrayAndRunsTheFirstPassAtOnce) {
    CMainFrame::s_nTrayAvailable = 1;
    WriteSettings();
    m_frame = std::make_unique<CMainFrame>();
    ASSERT_TRUE(m_frame->StartServer(m_base));
    std::string caption = Format("Marrowby [%d]", m_port);
    EXPECT_EQ(U(caption.c_str()), m_frame->windowTitle());
    ExpectInTray();
    ASSERT_NE(nullptr, TrayIcon());
    EXPECT_EQ(m_frame->windowTitle(), TrayIcon()->toolTip());
    EXPECT_EQ(Format("Create Listen Port[%d] !!\r\n", m_port), m_frame->m_pLogEdit->LogBytes());
    EXPECT_TRUE(Exists(m_base + "/local.test"));
    EXPECT_TRUE(Exists(m_base + "/local.quiet"));

    // The pass posted at start-up sets the clock without waiting a minute.
    time_t before = time(nullptr);
    Pump();
    time_t after = time(nullptr);
    struct tm a {};
    struct tm b {};
    localtime_r(&before, &a);
    localtime_r(&after, &b);
    QString clock = m_frame->ClockPane()->text();
    EXPECT_TRUE(clock == QString::asprintf("%02d:%02d", a.tm_hour, a.tm_min) ||
                clock == QString::asprintf("%02d:%02d", b.tm_hour, b.tm_min))
        << clock.toStdString();
    EXPECT_FALSE(m_frame->isVisible());
}

TEST_F(MainFrameTest, TrayIconAndWindowTakeTurns) {
    CMainFrame::s_nTrayAvailable = 1;
    Start();
    ExpectInTray();

    const QSystemTrayIcon::ActivationReason ignored[] = {
        QSystemTrayIcon::Trigger, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown};
    for (auto reason : ignored) {
        SCOPED_TRACE(reason);
        m_frame->OnTrayNotify(reason);
        Pump();
        ExpectInTray();
        EXPECT_FALSE(m_frame->TrayMenu()->isVisible());
    }

    m_frame->OnTrayNotify(QSystemTrayIcon::DoubleClick);
    Pump();
    ExpectShown();
    EXPECT_EQ(QSize(300, 300), m_frame->size());
    for (auto reason : ignored) {
        SCOPED_TRACE(reason);
        m_frame->OnTrayNotify(reason);
        Pump();
        ExpectShown();
    }

    Minimise();
    ExpectInTray();
    m_frame->OnCommand(ID_SHOW_WINDOW);
    Pump();
    ExpectShown();
    m_frame->ShowMainWindow();  // already shown: stays so, still no icon
    ExpectShown();

    // A right click opens the menu; dismissing it changes nothing.
    Minimise();
    ExpectInTray();
    m_frame->OnTrayNotify(QSystemTrayIcon::Context);
    ASSERT_TRUE(PumpUntil([&] { return m_frame->TrayMenu()->isVisible(); }));
    ExpectInTray();
    m_frame->TrayMenu()->hide();
    Pump();
    ExpectInTray();

    // Choosing "show" from the menu brings the window back.
    m_frame->OnTrayNotify(QSystemTrayIcon::Context);
    ASSERT_TRUE(PumpUntil([&] { return m_frame->TrayMenu()->isVisible(); }));
    ASSERT_NE(nullptr, TrayAction("ウインドウの表示(&E)"));
    TrayAction("ウインドウの表示(&E)")->trigger();
    m_frame->TrayMenu()->hide();
    Pump();
    ExpectShown();
}

TEST_F(MainFrameTest, WithoutATrayTheWindowStandsInForTheIcon) {
    if (QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "this platform has a tray";
    Start();
    EXPECT_TRUE(m_frame->isVisible());
    EXPECT_EQ(0, m_frame->m_bTrayIcon);
    EXPECT_EQ(nullptr, TrayIcon());
    // Hiding now would leave nothing to bring the window back with.
    Minimise();
    EXPECT_TRUE(m_frame->isVisible());
    EXPECT_EQ(0, m_frame->m_bTrayIcon);
    m_frame->OnCommand(ID_SHOW_WINDOW);
    Pump();
    EXPECT_TRUE(m_frame->isVisible());
    EXPECT_FALSE(m_frame->isMinimized());
    m_frame.reset();

    // Without a display nothing is shown at all; the server still runs.
    CMainFrame::s_bHeadless = true;
    m_port = FreePort();
    Start();
    EXPECT_FALSE(m_frame->isVisible());
    EXPECT_EQ(0, m_frame->m_bTrayIcon);
    int fd = ConnectLoopback(m_port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(PumpUntil([&] { return m_frame->m_clients.size() == 1; }));
    ::close(fd);
}

// Every way of ending the server writes the changed indexes, and only those,
// before the window's object is gone; the tray menu's exit does it without
// ever showing the window.
TEST_F(MainFrameTest, EveryExitSavesChangedIndexes) {
    struct Exit {
        const char* name;
        bool showFirst;
        std::function<void()> run;
    };
    const Exit exits[] = {
        {"tray menu exit", false, [this] { TrayAction("Marrowbyの終了(&X)")->trigger(); }},
        {"main menu exit", true, [this] { FileAction("ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)")->trigger(); }},
        {"exit command", false, [this] { m_frame->OnCommand(ID_APP_EXIT); }},
        {"close box", true, [this] { m_frame->close(); }},
    };
    for (const Exit& exit : exits) {
        SCOPED_TRACE(exit.name);
        CMainFrame::s_nTrayAvailable = 1;
        m_port = FreePort();
        Start();
        if (exit.showFirst) m_frame->ShowMainWindow();
        Pump();
        ShowCounter counter;
        m_frame->installEventFilter(&counter);

        GroupEntry* group = m_frame->FindGroup("local.test");
        ASSERT_NE(nullptr, group);
        // A Shift-JIS subject.
        group->articles.Add(1, EntryTexts{"\x93\xfa\x96\x7b\x8c\xea", "", "", "<1@test>", ""}, 120,
                            3);
        group->firstNumber = group->lastNumber = group->articleCount = 1;
        group->dirty = 1;
        std::string expected = FormatGroupIndex(*group);
        std::string indexPath = m_frame->IndexPath(*group);
        std::string quietPath = m_base + "/local.quiet/Message.lst";

        exit.run();
        Pump();
        EXPECT_FALSE(m_frame->isVisible());
        EXPECT_EQ(0, counter.shows);
        EXPECT_EQ(0, m_frame->m_bTrayIcon);
        if (TrayIcon()) {
            EXPECT_FALSE(TrayIcon()->isVisible());
        }
        // The log is gone with the window: late lines change nothing.
        std::string logBefore = m_frame->m_pLogEdit->LogBytes();
        m_frame->AppendLog("late\r\n");
        Pump();
        EXPECT_EQ(logBefore, m_frame->m_pLogEdit->LogBytes());

        m_frame->removeEventFilter(&counter);
        m_frame.reset();
        EXPECT_EQ(expected, ReadFile(indexPath));
        EXPECT_FALSE(Exists(quietPath));
        ::unlink(indexPath.c_str());
    }
}

TEST_F(MainFrameTest, RebuildCommandRewritesIndexesFromArticleFiles) {
    Start();
    auto writeArticle = [&](int number, const char* subject) {
        std::ofstream out(m_base + "/local.test/" + std::to_string(number), std::ios::binary);
        out << "Subject: " << subject << "\r\nFrom: a@b\r\nMessage-ID: <" << number
            << "@test>\r\nLines: 1\r\n\r\nbody\r\n.\r\n";
    };
    const std::string indexPath = m_base + "/local.test/Message.lst";
    writeArticle(1, "first");
    m_frame->OnCommand(ID_REBUILD);
    std::string index = ReadFile(indexPath);
    EXPECT_EQ(0u, index.find("1\t1\t1\r\n")) << index;
    EXPECT_NE(std::string::npos, index.find("first")) << index;

    // The menu item reaches the same command.
    writeArticle(2, "second");
    ASSERT_NE(nullptr, FileAction("再構築(&R)"));
    FileAction("再構築(&R)")->trigger();
    index = ReadFile(indexPath);
    EXPECT_EQ(0u, index.find("1\t2\t2\r\n")) << index;
    EXPECT_NE(std::string::npos, index.find("second")) << index;
}

TEST_F(MainFrameTest, LogViewShowsTheLogDecoded) {
    m_frame = std::make_unique<CMainFrame>();
    CLogEdit* log = m_frame->m_pLogEdit;

    // What was logged while the window was hidden is there when it is shown.
    m_frame->AppendLog("Create Listen Port[119] !!\r\n");
    Pump();
    m_frame->ShowMainWindow();
    Pump();
    EXPECT_EQ("Create Listen Port[119] !!\n", ViewText());

    // A burst of entries in one turn of the loop, in both encodings a client
    // may use: each line is shown decoded, CRs dropped.
    m_frame->AppendLog("[127.0.0.1/5000] GROUP \x93\xfa\x96\x7b\x8c\xea\r\n");  // Shift-JIS
    m_frame->AppendLog("[127.0.0.1/5001] GROUP 日本語\r\n");                    // UTF-8
    m_frame->AppendLog("[127.0.0.1/5000] \x95\x5c\x8e\xa6\r\n");  // 表示, 0x5C as second byte
    Pump();
    EXPECT_EQ(
        "Create Listen Port[119] !!\n"
        "[127.0.0.1/5000] GROUP 日本語\n"
        "[127.0.0.1/5001] GROUP 日本語\n"
        "[127.0.0.1/5000] 表示\n",
        ViewText());

    // Past the limit the oldest part goes, the view follows the bytes, and it
    // starts at the beginning of an entry.
    std::string lastEntry;
    for (int i = 0; m_frame->m_pLogEdit->LogBytes().size() <= 30720; ++i) {
        lastEntry = Format("[127.0.0.1/%05d] ", i) + std::string(60, 'x') + "\r\n";
        m_frame->AppendLog(lastEntry);
    }
    Pump();
    EXPECT_EQ(DecodeLogText(log->LogBytes()).toStdString(), ViewText());
    size_t sizeBefore = log->LogBytes().size();
    m_frame->AppendLog("after the trim \x93\xfa\x96\x7b\x8c\xea\r\n");
    Pump();
    const std::string& bytes = log->LogBytes();
    EXPECT_LT(bytes.size(), sizeBefore);
    EXPECT_GE(bytes.size(), sizeBefore - 10240 - lastEntry.size());
    EXPECT_EQ(0u, bytes.find("[127.0.0.1/")) << bytes.substr(0, 40);
    std::string view = ViewText();
    EXPECT_EQ(DecodeLogText(bytes).toStdString(), view);
    EXPECT_EQ(0u, view.find("[127.0.0.1/"));
    const std::string tail = "after the trim 日本語\n";
    ASSERT_GE(view.size(), tail.size());
    EXPECT_EQ(tail, view.substr(view.size() - tail.size()));

    // Entries after the trim are added to the view as before.
    m_frame->AppendLog("next\r\n");
    Pump();
    EXPECT_EQ(DecodeLogText(log->LogBytes()).toStdString(), ViewText());
}

TEST_F(MainFrameTest, MaintenancePassSetsTheClockPane) {
    m_frame = std::make_unique<CMainFrame>();
    EXPECT_EQ(U("00:00"), m_frame->ClockPane()->text());
    struct Case {
        int hour, minute;
        const char* shown;
    };
    const Case cases[] = {{13, 7, "13:07"}, {0, 0, "00:00"}, {9, 59, "09:59"}, {23, 5, "23:05"}};
    for (const Case& c : cases) {
        struct tm tm {};
        tm.tm_year = 2024 - 1900;
        tm.tm_mon = 5;
        tm.tm_mday = 15;
        tm.tm_hour = c.hour;
        tm.tm_min = c.minute;
        tm.tm_isdst = -1;
        m_frame->MaintenancePass(mktime(&tm));
        EXPECT_EQ(U(c.shown), m_frame->ClockPane()->text()) << c.shown;
    }
}

TEST_F(MainFrameTest, StartupFailuresShowAMessageBoxOnTheDesktop) {
    // No settings file: the path and the complaint, nothing created.
    {
        ShownBox shown;
        MessageBoxAnswerer answerer(shown);
        m_frame = std::make_unique<CMainFrame>();
        EXPECT_FALSE(m_frame->StartServer(m_base));
        EXPECT_EQ(1, shown.count);
        EXPECT_EQ(U("Marrowby"), shown.title);
        EXPECT_EQ(U((m_base + "/Marrowby.ini" + "が見つかりません").c_str()), shown.text);
        EXPECT_EQ(QMessageBox::StandardButtons(QMessageBox::Ok), shown.buttons);
        EXPECT_EQ(0, m_frame->m_bTrayIcon);
        EXPECT_FALSE(Exists(m_base + "/local.test"));
        m_frame.reset();
    }
    // The port is taken.
    {
        int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ASSERT_EQ(0, ::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        ASSERT_EQ(0, ::listen(blocker, 1));
        ::getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        WriteSettings();
        ShownBox shown;
        MessageBoxAnswerer answerer(shown);
        m_frame = std::make_unique<CMainFrame>();
        EXPECT_FALSE(m_frame->StartServer(m_base));
        ::close(blocker);
        EXPECT_EQ(1, shown.count);
        EXPECT_EQ(U("Marrowby"), shown.title);
        EXPECT_EQ(U("Listenポートがすでに開かれているか、その他のエラーです。"), shown.text);
        EXPECT_EQ(0, m_frame->m_bTrayIcon);
        m_frame.reset();
    }
    // Without a display the message goes to stderr instead.
    {
        ::unlink((m_base + "/Marrowby.ini").c_str());
        CMainFrame::s_bHeadless = true;
        ShownBox shown;
        MessageBoxAnswerer answerer(shown);
        m_frame = std::make_unique<CMainFrame>();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(m_frame->StartServer(m_base));
        std::string err = testing::internal::GetCapturedStderr();
        Pump();
        EXPECT_EQ(0, shown.count);
        EXPECT_EQ(m_base + "/Marrowby.ini" + "が見つかりません\n", err);
    }
}

TEST_F(MainFrameTest, ConnectionsAreGreetedLoggedAndReleased) {
    Start();
    int fd = ConnectLoopback(m_port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(PumpUntil([&] { return m_frame->m_clients.size() == 1; }));
    char buffer[64] = {};
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    EXPECT_EQ("200 connected!!\r\n", std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0));
    std::string prefix = m_frame->m_clients[0]->LogPrefix();
    EXPECT_EQ(0u, prefix.find("[127.0.0.1/")) << prefix;
    Pump();
    EXPECT_NE(std::string::npos, ViewText().find(prefix + "200 connected!!\n"));

    // The peer going away takes the connection out at the next pass.
    ::close(fd);
    ASSERT_TRUE(PumpUntil([&] { return m_frame->m_clients.empty(); }));
    Pump();
    EXPECT_NE(std::string::npos, ViewText().find(prefix + "Closed!!\n"));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);
    return RUN_ALL_TESTS();
}
