// A capture's worker: everything the frame path keeps for one source of
// frames, live or stored, built the same way for both: the link layer, the
// TCP streams, the zone finder, the watched network, the capture's counters
// and the table it counts into, which it owns. The capture thread (or the
// replay loop) alone runs its frames; the stats cycle reaches the table
// only through table(), under its lock.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <memory>

#include "base/capture_stats.h"
#include "base/lock_guarded.h"
#include "base/settings.h"
#include "capture/handler.h"
#include "capture/tcp_stream.h"
#include "capture/watched.h"
#include "capture/zone.h"
#include "table/table.h"

namespace qv {

class Worker {
  public:
    // The table: -x buckets a set, -Z zones a set with -T, answer counts
    // with -R, its hash keyed by table_seed. Zones are found with zone_seed
    // when -T counts them; answers count from the watched network with -R.
    Worker(const Settings& s, LinkType link, CaptureStats& stats, const WatchedNetwork& watched,
           uint64_t table_seed, uint64_t stream_seed, uint64_t zone_seed);
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // One frame as libpcap hands it.
    void frame(const pcap_pkthdr* header, const u_char* bytes) {
        handle_packet(user(), header, bytes);
    }
    // One frame, the caller holding the table's lock (table() locked, handed
    // in): a replay takes it once between two cycles.
    void frame(const pcap_pkthdr* header, const u_char* bytes, Table& held) {
        ctx_.held = &held;
        handle_packet(user(), header, bytes);
        ctx_.held = nullptr;
    }
    // For pcap_loop: handle_packet with this as its user pointer.
    u_char* user() { return reinterpret_cast<u_char*>(&ctx_); }

    LockGuarded<Table>& table() { return table_; }

  private:
    LockGuarded<Table> table_;
    TcpStreams streams_;
    std::unique_ptr<ZoneFinder> zones_;
    WatchedNetwork watched_;
    CaptureContext ctx_;
};

}  // namespace qv
