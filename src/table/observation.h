// One counted DNS message as the capture hands it to the tables: who it
// counts for, what it was, and when.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/address.h"
#include "table/zones.h"

namespace qv {

// A query's or answer's zone, and the hash of its (lower-case) name.
struct ZoneQuery {
    const ZoneKey* zone;
    uint64_t name_hash;
};

struct Observation {
    // The source it counts for, masked by its prefix: a query's sender, an
    // answer's receiver.
    SourceAddr who;
    time_t time;        // the packet's time
    uint8_t protocol;   // 6 TCP, 17 UDP
    bool answer;        // QR set
    bool truncated;     // an answer's TC
    uint8_t rcode;      // an answer's RCODE
    uint16_t qtype;     // a query's QTYPE
    uint32_t size;      // the message's bytes; counted only when answers are
    const ZoneQuery* zone = nullptr;  // null: not counted per zone
    // No message: the source completed a TCP handshake with the watched
    // network (its address is no forgery); only its bucket's flag is set.
    bool handshake = false;
};

}  // namespace qv
