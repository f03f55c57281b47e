// The runner's thread waits for work under a mutex; its `done` goes back to
// the event loop as a queued call on an object of the loop's thread, which
// Qt drops if the runner is gone by then.
#include <QCoreApplication>
#include <QObject>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/background_runner.h"

namespace {

class CThreadRunner : public IBackgroundRunner {
public:
    CThreadRunner() : m_thread([this] { Loop(); }) {}

    ~CThreadRunner() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    void Run(std::function<void()> work, std::function<void()> done) override {
        m_done = std::move(done);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_nGeneration;
            m_work = std::move(work);
            m_bWorkDone = false;
        }
        m_wake.notify_all();
    }

    void Finish() override {
        if (!m_done) return;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_bWorkDone; });
        }
        RunDone(m_nGeneration);
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_bStopping || m_work; });
            if (!m_work) return;
            std::function<void()> work = std::move(m_work);
            m_work = nullptr;
            lock.unlock();
            work();
            lock.lock();
            m_bWorkDone = true;
            m_wake.notify_all();
            unsigned long generation = m_nGeneration;
            QMetaObject::invokeMethod(
                &m_context, [this, generation] { RunDone(generation); }, Qt::QueuedConnection);
        }
    }

    // Runs the `done` of the work of `generation`, unless Finish() ran it.
    void RunDone(unsigned long generation) {
        if (generation != m_nGeneration || !m_done) return;
        std::function<void()> done = std::move(m_done);
        m_done = nullptr;
        done();
    }

    QObject m_context;  // lives on the loop's thread; queued calls die with it
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::function<void()> m_work;     // under m_mutex
    bool m_bWorkDone = true;          // under m_mutex
    bool m_bStopping = false;         // under m_mutex
    std::function<void()> m_done;     // the loop's thread only
    unsigned long m_nGeneration = 0;  // under m_mutex when written; counts the runs
    std::thread m_thread;
};

}  // namespace

std::unique_ptr<IBackgroundRunner> MakeBackgroundRunner() {
    return std::make_unique<CThreadRunner>();
}
