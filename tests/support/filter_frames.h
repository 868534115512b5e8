// The capture filter's meaning as a table of frames: every kind of frame the
// filter has to tell apart, and the verdict each way of choosing the watched
// network should give it. The verdicts come from what the filter is for, not
// from what libpcap makes of its text, so the unit tests can hold the
// compiled filter of every form to them and the end-to-end tests can hold
// the live kernel filter and the replays to them too.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "frames.h"

namespace qv::test {

// A network: an address and the length of its prefix.
struct Net4 {
    std::array<uint8_t, 4> addr{};
    int len = 32;
};
struct Net6 {
    std::array<uint8_t, 16> addr{};
    int len = 128;
};
// From their texts; throws std::invalid_argument on one that does not parse.
Net4 net4(const std::string& addr, int len);
Net6 net6(const std::string& addr, int len);

// What a filter form watches.
struct Watched {
    bool everything = false;  // every destination: -Q, or a file without -A
    std::vector<Net4> v4{};
    std::vector<Net6> v6{};
    bool answers = false;  // -R: a frame from a watched source passes too
};

// The rule the capture filter stands for: a frame passes when it has at most
// two VLAN tags (0x8100, 0x88A8 or 0x9100, on Ethernet only), is a DNS frame
// (UDP or TCP with port 53 at either end, or IPv6 whose first next header is
// one of the extension headers the decoder walks: 0, 43, 44, 51, 60), and
// goes to a watched destination or, with answers, comes from a watched
// source.
bool rule_accepts(const Watched& watched, const FrameSpec& frame);

// A link type the program reads, as a capture file names it.
struct FileLink {
    const char* name;
    int dlt;
    int link_len;  // FrameSpec::link_len
    bool null_big_endian = false;
    bool ipv4 = true;  // which families its frames may carry
    bool ipv6 = true;
    // The address families an IPv6 frame may carry on a BSD loopback link:
    // Linux's, then NetBSD's and OpenBSD's, FreeBSD's and macOS's.
    std::vector<uint32_t> ipv6_families = {};
};
// Every link type the decoder accepts, Ethernet first.
const std::vector<FileLink>& file_links();

// Where the table's frames go, and where they come from.
struct Destinations {
    std::string src4, src6;
    std::vector<std::string> v4, v6;
};
// In and out of every network the filter's unit tests name.
const Destinations& unit_destinations();

struct TableFrame {
    std::string name;
    FrameSpec layout;
};

// Every frame of the table for a link type: on Ethernet untagged, behind one
// tag and two of each kind, and behind three; IPv4, IPv6, IPv6 behind each
// walked extension header and behind one that is not walked; to each
// destination; to port 53, from port 53, and between other ports. The
// frames are queries of type A, so none of them is counted as type 0.
// With answers, every frame also the other way, from each destination to
// the source: what a watched network sends back.
std::vector<TableFrame> table_frames(const FileLink& link, const Destinations& to,
                                     bool answers = false);

}  // namespace qv::test
