// The run settings: one field per command-line option, with its default.
// Filled by the command line and the start-up sequence, read-only once the
// stats thread runs.
#pragma once

#include <cstdint>

#include "base/address.h"

namespace qv {

struct Settings {
    uint32_t threshold = 60;        // -t: alarm above this many queries per second
    int32_t alarm_reset = 90;       // -a: daemon-mode hold-off, seconds
    uint32_t stats_interval = 20;   // -w: seconds between two stats cycles
    int32_t bucket_count = 10000;   // -x: per-source buckets
    int32_t totals_interval = 0;    // -m: seconds; 0 = no totals report
    const char* collector_addr = nullptr;  // -z; "226.1.1.2" once parsed
    int32_t collector_port = 2000;  // -p; only the low 16 bits are used
    int32_t multicast_ttl = 10;
    const char* version = QV_VERSION;
    int32_t foreground = 0;         // -b, -D: foreground mode; clear: daemon mode
    int32_t daemon_mode = 0;        // -d: read only by the post-parse rules
    int32_t dump_packets = 0;       // -D
    int32_t verbosity = 0;          // -v, repeatable
    int32_t show_usage = 0;         // -h and friends
    int32_t no_local_filter = 0;    // -Q
    char* addr_filter = nullptr;    // -A, as typed
    char* mask_filter = nullptr;    // -M, as typed
    int32_t send_json = 0;          // -s
    char* device = nullptr;         // -i, or the looked-up default device
    char* progname = nullptr;       // argv[0], for the usage screen and refusals
    char* read_file = nullptr;      // -r: replay a capture file
    char* run_as_user = nullptr;    // -u: drop privileges once the capture is open
    int32_t show_version = 0;       // -V
    int32_t v4_prefix = 32;         // -4: IPv4 sources counted by their first N bits
    int32_t v6_prefix = 64;         // -6: IPv6 sources counted by their first N bits
    char* metrics_addr = nullptr;   // -P: [ADDR:]PORT of the metrics page, as typed
    uint32_t zone_threshold = 0;    // -T: alarm on zones above this many qps; 0 = zones not counted
    int32_t zone_count = 10000;     // -Z: zones tracked per cycle
    int32_t count_answers = 0;      // -R: count the answers the watched network sends
    uint32_t answer_bytes_threshold = 0;  // -B: 0 = off
    char* hook_program = nullptr;   // -e: the action hook, as typed; null = none
    char* hook_path = nullptr;      // -e resolved to an absolute path (daemon mode leaves the directory)
};

// The prefixes sources are counted by.
inline Prefixes source_prefixes(const Settings& s) { return {s.v4_prefix, s.v6_prefix}; }

// The process-wide settings. Only control/ writes them, before any thread
// starts; everything below control/ takes a Settings reference instead, so
// tests can build their own.
Settings& process_settings();

}  // namespace qv
