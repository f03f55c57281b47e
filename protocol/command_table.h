// The command tables of the two modes: a row per command with its handler,
// the number of arguments it takes and whether it needs a login. Adding a
// command is one row and one handler.
#pragma once

#include <cstddef>

#include "protocol/session.h"

using CommandHandler = void (*)(CSession& session, const Words& words);

// Whether a command may be used before a login, while logins are on.
enum class Gate {
    Login,   // only after a successful AUTHINFO
    Open,    // before a login too
    Logins,  // AUTHINFO itself: there only while logins are on, open before one
    Feed,    // a peer's command: open to a peer, which is known by its address
    Tls      // STARTTLS: there only with a certificate, open before a login
};

struct CommandRow {
    const char* name;     // upper case
    const char* keyword;  // the second word it needs (upper case), or null for any
    CommandHandler handler;
    int minArgs;  // words after the name
    int maxArgs;
    Gate gate;
};

constexpr int kAnyCount = 1 << 20;

struct CommandTable {
    const CommandRow* rows;
    size_t count;
    // The classic mode's rule: a row applies only when the number of words
    // fits it too, and a text no row fits is not recognised (500). In the
    // reader mode the first row of the name decides, and a count outside its
    // bounds is a syntax error (501), reported before anything is looked up.
    bool countSelectsRow;
};

extern const CommandTable kClassicCommands;
extern const CommandTable kReaderCommands;

// The row that answers `words` (the first upper-cased) in `table`, or null.
// Rows that need logins are skipped while logins are off, STARTTLS while no
// certificate is loaded (`tlsAvailable` false). In a table whose count selects the row, only a row
// the count fits is returned.
const CommandRow* FindCommand(const CommandTable& table, const Words& words, bool loginsOn,
                              bool tlsAvailable);
