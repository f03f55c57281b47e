// What the process tells the service manager that started it, and what it
// learns from it: readiness, shutdown and watchdog notices over the notify
// socket, and whether stdout is a journal stream. Without a service manager
// (no NOTIFY_SOCKET, no JOURNAL_STREAM) every call here is a no-op, so a
// desktop start and the tests run exactly as before. No Qt.
#pragma once

#include <string>

// Sends `state`, one or more NAME=value lines such as "READY=1" or
// "WATCHDOG=1" joined by LF, as one datagram to the socket that NOTIFY_SOCKET
// names: a file system path, or an abstract name when it starts with '@'.
// Never blocks: a manager too busy to take the datagram loses it.
// Returns true when the datagram went out. False with `error` empty when
// NOTIFY_SOCKET is unset or empty (nobody to tell); false with `error` naming
// the socket and the reason when it cannot be addressed or the send failed.
bool NotifyServiceManager(const std::string& state, std::string& error);

// True when JOURNAL_STREAM, which the service manager sets to
// "<device>:<inode>" when it connects a stream to the journal, names what
// descriptor 1 is now. A stdout redirected since then no longer matches.
bool StdoutIsJournal();
