// Work that may block (syncing files to disk) done on a thread of its own,
// with its end reported back on the event loop's thread. No Qt here: the
// store hands its work over through this interface, and tests run both
// halves by hand.
#pragma once

#include <functional>
#include <memory>

class IBackgroundRunner {
public:
    virtual ~IBackgroundRunner() = default;
    // Runs `work` off the event loop, then `done` on it, after the events
    // already waiting there. Not called again before `done` has run.
    virtual void Run(std::function<void()> work, std::function<void()> done) = 0;
    // Blocks until the `work` handed over last has returned, then runs its
    // `done` at once instead of later. Does nothing when none is running.
    // For the shutdown.
    virtual void Finish() = 0;
};

// The runner over a thread and the event loop of the calling thread, which
// must run a Qt event loop. The thread ends when the runner is destroyed,
// after the work in hand.
std::unique_ptr<IBackgroundRunner> MakeBackgroundRunner();
