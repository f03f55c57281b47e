// The peers of [Peers] as the server uses them: who may feed us (by the
// addresses their hosts resolve to at start-up) and who is sent which
// articles (by their group patterns, never back along an article's Path).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"

struct Peer {
    PeerSettings settings;
    std::vector<std::string> addresses;  // text forms, as connections show them
};

class CPeers {
public:
    // Takes the peers of the settings file, resolving each host. A peer whose
    // host resolves to nothing is left out, with a line in `problems` naming
    // it. Resolving may ask the name service; it is done once, at start-up.
    void Load(const std::vector<PeerSettings>& peers, std::vector<std::string>& problems);

    // The peer connecting from `address` (as GetPeerName gives it), or null.
    const Peer* FindByAddress(std::string_view address) const;

    // The peers an article should be sent to: those we send to (port not 0)
    // whose patterns match one of `groups`, the last matching pattern
    // deciding, and whose name is not one of the names of `path` (the Path
    // header's value, names separated by "!").
    std::vector<const Peer*> Recipients(const std::vector<std::string>& groups,
                                        std::string_view path) const;

    const std::vector<Peer>& All() const { return m_peers; }
    bool Empty() const { return m_peers.empty(); }

private:
    std::vector<Peer> m_peers;
};

// Whether `name` is one of the names of a Path value.
bool PathNames(std::string_view path, std::string_view name);
