// Helpers shared by the unit tests: a fresh directory per test and writing
// fixture bytes into it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/background_runner.h"
#include "store/server_host.h"

// A fresh directory for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "marrowby-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A host that records what the server's logic asks of it.
class FakeHost : public IServerHost {
public:
    std::vector<std::string> logs;
    int timerMessages = 0;
    time_t now = 0;  // 0: the real clock

    void AppendLog(const std::string& text) override { logs.push_back(text); }
    void PostTimerMessage() override { ++timerMessages; }
    time_t Now() const override { return now ? now : ::time(nullptr); }
};

// A background runner whose work and `done` run only when the test says so,
// on the test's thread. The queue owns the runner; the test keeps `state`.
class FakeRunner : public IBackgroundRunner {
public:
    struct State {
        std::function<void()> work, done;
        int runs = 0;

        bool Running() const { return static_cast<bool>(work) || static_cast<bool>(done); }
        void RunWork() {
            auto w = std::move(work);
            work = nullptr;
            if (w) w();
        }
        void RunDone() {
            auto d = std::move(done);
            done = nullptr;
            if (d) d();
        }
        // Work and `done` of the batch in hand.
        void Complete() {
            RunWork();
            RunDone();
        }
    };
    std::shared_ptr<State> state = std::make_shared<State>();

    void Run(std::function<void()> work, std::function<void()> done) override {
        state->work = std::move(work);
        state->done = std::move(done);
        ++state->runs;
    }
    void Finish() override { state->Complete(); }
};

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_pName(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_pName, m_old->c_str(), 1);
        else
            ::unsetenv(m_pName);
    }

private:
    const char* m_pName;
    std::optional<std::string> m_old;
};
