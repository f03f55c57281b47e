// A connection driven with arbitrary command texts, in either interpreter,
// against a small server with articles on disk.
//
// Input: the first byte chooses the setting; the rest is cut at 0xFF bytes
// into received blocks (empty ones are skipped, as a receive of nothing
// never reaches the connection).
//   bit 0     the standard reader mode
//   bit 1     UseAuthor
//   bit 2     CancelEveryOne off
//   bit 3     the first block is not received but is local.edge's index file
//   bits 4-6  how much each send takes (see kBudgets)
//   bit 7     one send per received block instead of draining the queue, so
//             replies pile up behind partly sent ones
//
// Checked: the queue's byte count always matches its items; a partly taken
// send is resumed at the first byte not taken; the queue drains; handling
// one block needs no more stack for many commands than for one; no posting
// temporary file or descriptor outlives the connection; every index file
// saved afterwards is what FormatGroupIndex gives and reads back to the same
// entries.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

const CaptureSocket::Budget kBudgets[8] = {
    {0, false},    {1, false}, {3, false}, {61, false},
    {4096, false}, {0, true},  {5, true},  {1000, false},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string& tempDir = PrivateTempDir();
    const uint8_t flags = data[0];
    std::vector<std::string> blocks =
        SplitAt(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), '\xff');
    std::string edgeIndex;
    if (flags & 8) {
        edgeIndex = blocks.front();
        blocks.erase(blocks.begin());
    }

    FakeServer server(edgeIndex);
    server.m_bUseRfc3977 = flags & 1;
    server.m_bUseAuthor = (flags >> 1) & 1;
    server.m_bCancelEveryOne = (flags & 4) ? 0 : 1;
    const bool lazy = (flags & 0x80) != 0;
    {
        CaptureSocket client(server);
        client.m_budget = kBudgets[(flags >> 4) & 7];
        client.Greet();
        for (const std::string& block : blocks) {
            if (block.empty()) continue;
            client.InputArrived();
            server.StartStackWatch();
            client.HandleReceived(block.data(), block.size());
            server.CheckStack("one received block");
            client.CheckQueueAccounting();
            if (lazy)
                client.SendOnce();
            else
                client.Drain();
        }
        client.Drain();
    }
    FUZZ_CHECK(std::filesystem::is_empty(tempDir), "a posting temporary file was left behind");
    CheckDescriptors(server);
    CheckIndexesRoundTrip(server);
    return 0;
}
