// The application object: decides how the process is shown, creates the
// main window hidden and starts the server.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/main_frame.h"
#include "platform/signal_bridge.h"

class CServerApp {
public:
    // Creates the main window and starts the server; false ends the process.
    bool InitInstance();
    CMainFrame* m_pMainWnd = nullptr;
};

bool CServerApp::InitInstance() {
    m_pMainWnd = new CMainFrame();
    return m_pMainWnd->StartServer();
}

int main(int argc, char** argv) {
    // A reader of stdout that goes away ends the log's copy there (EPIPE),
    // not the server; the sockets never raise the signal anyway.
    std::signal(SIGPIPE, SIG_IGN);
    // Without a display there is nothing to draw on: run on the offscreen
    // platform and send start-up messages to stderr.
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!display || !*display) && (!wayland || !*wayland)) {
        CMainFrame::s_bHeadless = true;
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // Qt's own chatter about the missing desktop would bury our messages.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                std::fprintf(stderr, "%s\n", msg.toLocal8Bit().constData());
        });
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QCoreApplication::setOrganizationName(QStringLiteral("Wrenfield"));
    QCoreApplication::setApplicationName(QStringLiteral("Marrowby"));

    // The log's stdout copy goes out whenever the loop is about to wait.
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     &CMainFrame::FlushStdoutCopy);
    CServerApp server;
    if (!server.InitInstance()) {
        delete server.m_pMainWnd;
        return 1;
    }
    CMainFrame* frame = server.m_pMainWnd;
    InstallSignalHandlers([frame] { frame->close(); }, [frame] { frame->OnCommand(ID_REBUILD); });
    // A desktop session that ends takes the server down like the close box.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, frame,
                     [frame](QSessionManager&) { frame->close(); });
    int status = QApplication::exec();
    delete frame;
    return status;
}
