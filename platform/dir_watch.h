// Reports of changes to the names in watched directories, from the system
// (inotify on Linux). No Qt here: the store's file cache reads the reports
// itself at every lookup, so that a change finished before a command arrived
// is always seen, which a report delivered through the event loop would not
// guarantee.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class CDirectoryWatch {
public:
    // What a watch reports, as bits.
    static constexpr uint32_t kNames = 1;     // names created, removed, moved
    static constexpr uint32_t kContents = 2;  // also files written or changed

    // One report. A report about the directory itself has an empty name.
    struct Report {
        int watch = -1;         // the watch it belongs to; -1 with `overflow`
        bool overflow = false;  // reports were lost: nothing seen so far can be trusted
        bool selfGone = false;  // the directory was removed, moved away or unmounted
        bool nameGone = false;  // `name` was removed or moved away
        std::string_view name;  // valid during the callback only
    };

    CDirectoryWatch() = default;
    ~CDirectoryWatch();
    CDirectoryWatch(const CDirectoryWatch&) = delete;
    CDirectoryWatch& operator=(const CDirectoryWatch&) = delete;

    // Starts the service on first use; false where the system offers none
    // (then every Add fails).
    bool Open();
    bool IsOpen() const { return m_nFd >= 0; }

    // Watches `directory` (only a directory; a symbolic link is followed) for
    // `changes`. With `extend`, adds them to what a watch of the same directory
    // already reports; the system then hands back that watch. The watch, or -1
    // when the directory cannot be watched (not there yet, say).
    int Add(const std::string& directory, uint32_t changes, bool extend);
    void Remove(int watch);

    // Reads every report pending now, without waiting, and hands each to
    // `handle` in order. Costs one system call when none is pending.
    void ReadReports(const std::function<void(const Report&)>& handle);

    // Descriptors held: the service's own, or none.
    size_t Descriptors() const { return m_nFd >= 0 ? 1 : 0; }

private:
    int m_nFd = -2;  // -2: not opened yet; -1: none to be had
};
