// What the fuzz targets share: a check that stops the run with a message, a
// scratch directory, a small server with a few groups and articles on disk,
// and a connection whose output is captured instead of sent.
//
// The targets are built twice: with libFuzzer, which calls
// LLVMFuzzerTestOneInput with generated inputs, and with replay_main.cpp
// into the unit-test build, which feeds it the saved inputs under
// fuzz/corpus and fuzz/regressions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/client_socket.h"
#include "store/server_core.h"

// Stops the process with `what` when `condition` is false. Unlike assert it
// stays active in every build type, so a replay of a saved input fails the
// same way the fuzzer did.
#define FUZZ_CHECK(condition, what) \
    ((condition) ? (void)0 : FuzzFail(__FILE__, __LINE__, #condition, (what)))

[[noreturn]] void FuzzFail(const char* file, int line, const char* condition,
                           const std::string& what);

// Bytes made printable for a failure message: non-printing bytes as \xNN.
std::string Escaped(const std::string& bytes);

std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return m_strPath; }
    // Names in the directory, without "." and "..", sorted.
    std::vector<std::string> Names() const;

private:
    std::string m_strPath;
};

// Points $TMPDIR at a private directory for the whole process, once, so the
// posting temporary files of the targets land where a check can see that
// none is left behind. Returns that directory.
const std::string& PrivateTempDir();

// The server core with recorded host services and a fixed set of groups:
//   local.general  three articles on disk and one whose file is missing;
//                  one is cross-posted to local.secret
//   local.staff    readable by all, postable by alice and bob
//   local.secret   readable by alice and carol, postable by alice
//   local.edge     empty, or loaded from an index text the caller gives
// Users alice/wonderland, bob/builder, carol/tea.
class FakeServer : public IServerHost, public CServerCore {
public:
    // Lays the groups out in a fresh directory. `edgeIndex` is the content
    // of local.edge's Message.lst, loaded as the server loads it at start-up.
    explicit FakeServer(const std::string& edgeIndex = std::string());

    // Starts measuring how deep the stack goes below the caller's frame
    // until CheckStack: every log line the connection writes takes a
    // reading.
    void StartStackWatch();
    // Fails when handling one received block went deeper than a handler
    // that never recurses per command could.
    void CheckStack(const std::string& what);

    void AppendLog(const std::string& text) override;
    void PostTimerMessage() override { ++m_nTimerMessages; }

    // Each group's article files and index, as a map of relative path to
    // contents, for comparing two servers.
    std::string Snapshot() const;

    size_t m_nLogBytes = 0;
    int m_nTimerMessages = 0;

private:
    ScratchDir m_dir;
    const char* m_pStackBase = nullptr;
    size_t m_nStackUsed = 0;
};

// A connection with no socket behind it: what it would send is captured,
// in pieces as large as the current send budget allows.
class CaptureSocket : public CClientSocket {
public:
    explicit CaptureSocket(FakeServer& server) : CClientSocket(server, server) {}

    // How SendVector answers.
    struct Budget {
        int maxBytes = 0;         // at most this many bytes per send; 0: all
        bool wouldBlock = false;  // every other send takes nothing
    };

    std::string m_strSent;  // every byte taken, in order
    Budget m_budget;

    int SendVector(const iovec* parts, int count) override;
    int Send(const void* buffer, int length) override;

    // Calls OnSend until the queue is empty, checking on the way that the
    // queue's byte count matches its items and that bytes offered but not
    // taken are offered again first. Fails when the queue never drains.
    void Drain();
    // One OnSend, with the same checks.
    void SendOnce();
    // Forgets what the last send left over: new input may have changed the
    // files behind queued chunks.
    void InputArrived() { m_bHaveLeftover = false; }
    void CheckQueueAccounting() const;

private:
    std::string m_strLeftover;  // offered by the last send but not taken
    bool m_bHaveLeftover = false;
    int m_nCalls = 0;
    std::string m_strOffered;
};

// Fails when the process holds more descriptors than at the first call,
// beyond what the server's spool may keep open.
void CheckDescriptors(const CServerCore& server);

// A group's counters and entries as one comparable text.
std::string DescribeEntries(const GroupEntry& group);

// Saves every group as if all were dirty, then checks that each index file
// is exactly what FormatGroupIndex gives and reads back to the same entries.
void CheckIndexesRoundTrip(FakeServer& server);

// Cuts `text` at every `separator` byte; empty pieces are kept.
std::vector<std::string> SplitAt(const std::string& text, char separator);
