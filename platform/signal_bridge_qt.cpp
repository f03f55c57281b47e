#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

#include "platform/signal_bridge.h"

namespace {

int s_signalPipe[2] = {-1, -1};

void OnSignal(int signo) {
    int saved = errno;
    char byte = static_cast<char>(signo);
    [[maybe_unused]] ssize_t n = ::write(s_signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

void InstallSignalHandlers(std::function<void()> onClose, std::function<void()> onRebuild) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, s_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, [onClose, onRebuild] {
        char pending[64];
        ssize_t n;
        while ((n = ::read(s_signalPipe[0], pending, sizeof pending)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (pending[i] == SIGUSR1)
                    onRebuild();
                else
                    onClose();
            }
        }
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) ::sigaction(signo, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    // A file-size limit makes the write fail instead of ending the process;
    // the store then treats it as any other failed write.
    ::signal(SIGXFSZ, SIG_IGN);
}
