#include "store/peers.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "common/wildmat.h"

namespace {

// Every address `host` resolves to, as text; empty when none.
std::vector<std::string> Resolve(const std::string& host) {
    std::vector<std::string> out;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return out;
    for (addrinfo* a = found; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw = nullptr;
        if (a->ai_family == AF_INET)
            raw = &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr;
        else if (a->ai_family == AF_INET6)
            raw = &reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr;
        if (!raw || !::inet_ntop(a->ai_family, raw, text, sizeof text)) continue;
        if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
    }
    ::freeaddrinfo(found);
    return out;
}

}  // namespace

void CPeers::Load(const std::vector<PeerSettings>& peers, std::vector<std::string>& problems) {
    m_peers.clear();
    for (const PeerSettings& settings : peers) {
        Peer peer{settings, Resolve(settings.host)};
        if (peer.addresses.empty()) {
            problems.push_back("[" + settings.name + " " + settings.host + " " +
                               std::to_string(settings.port) + " " + settings.patterns +
                               "] has an unknown host");
            continue;
        }
        m_peers.push_back(std::move(peer));
    }
}

const Peer* CPeers::FindByAddress(std::string_view address) const {
    for (const Peer& peer : m_peers)
        for (const std::string& a : peer.addresses)
            if (a == address) return &peer;
    return nullptr;
}

std::vector<const Peer*> CPeers::Recipients(const std::vector<std::string>& groups,
                                            std::string_view path) const {
    std::vector<const Peer*> out;
    for (const Peer& peer : m_peers) {
        if (peer.settings.port == 0 || PathNames(path, peer.settings.name)) continue;
        for (const std::string& group : groups) {
            if (Wildmat(group, peer.settings.patterns)) {
                out.push_back(&peer);
                break;
            }
        }
    }
    return out;
}

bool PathNames(std::string_view path, std::string_view name) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t bang = path.find('!', start);
        std::string_view part = path.substr(
            start, bang == std::string_view::npos ? std::string_view::npos : bang - start);
        while (!part.empty() && (part.front() == ' ' || part.front() == '\t'))
            part.remove_prefix(1);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
        if (part == name) return true;
        if (bang == std::string_view::npos) break;
        start = bang + 1;
    }
    return false;
}
