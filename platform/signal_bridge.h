// Turns process signals into calls on the event loop: the handlers only
// write a byte to a pipe, and the loop reads it and runs the callback, so
// nothing but the write happens inside the signal handler.
#pragma once

#include <functional>

// SIGTERM, SIGINT and SIGHUP run `onClose`; SIGUSR1 runs `onRebuild`.
// SIGPIPE and SIGXFSZ are ignored. Call once, after the application object exists.
void InstallSignalHandlers(std::function<void()> onClose, std::function<void()> onRebuild);
