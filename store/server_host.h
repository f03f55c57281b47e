// What the server's logic asks of the program that hosts it. The main window
// implements it; tests pass a fake that records the calls.
#pragma once

#include <ctime>
#include <string>

class IServerHost {
public:
    virtual ~IServerHost() = default;

    // Appends one text to the operation log, verbatim; the caller ends it
    // with CR LF.
    virtual void AppendLog(const std::string& text) = 0;
    // Asks for a maintenance pass after the events already waiting.
    virtual void PostTimerMessage() = 0;
    // The current time, in whole seconds.
    virtual time_t Now() const { return ::time(nullptr); }
    // Makes sure every log text appended so far has reached the log's
    // outputs. Called before anything goes out to a client, so a client never
    // sees a reply before the log shows the line that led to it.
    virtual void FlushLog() {}
};
