// The capture filter: which networks are watched, the filter text handed to
// libpcap, the replay's packet-by-packet filter, and the capture device's
// own networks and the default device.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/settings.h"
#include "capture/watched.h"

namespace qv {

// Whole TCP segments: a stream cut at the snapshot length loses its framing.
inline constexpr int kSnapLen = 65535;

// Which capture filter the settings ask for.
enum class FilterCase {
    no_local,   // -Q, or a file without -A: every DNS frame
    address,    // -A (and -M): that network
    local_net,  // the capture device's own networks
};
FilterCase filter_case(const Settings& s);

// The networks of the capture device: its IPv4 network number and netmask
// (network byte order, both 0 when it has none), and each of its IPv6
// networks other than link-local ones as "PREFIX/LEN", in the order libpcap
// lists them.
struct DeviceNetworks {
    uint32_t net = 0;
    uint32_t mask = 0;
    std::vector<std::string> v6;
};
DeviceNetworks device_networks(const char* device);

// The filter text for the watched network: port 53, or an IPv6 frame whose
// first next header is an extension header the decoder walks (the ports of
// such a frame are checked by the decoder), towards that network, and with
// -R (count_answers) also from it. On an Ethernet link it matches frames
// with no VLAN tag, one or two.
std::string build_filter_text(const Settings& s, const DeviceNetworks& nets, bool ethernet);

// The networks that filter names, read as libpcap reads its text: every
// address for -Q and for a capture file without -A. A device without an
// IPv4 network (net and mask 0) names 0.0.0.0 mask 0.0.0.0, every IPv4
// address, unless -M gives another mask.
WatchedNetwork watched_of(const Settings& s, const DeviceNetworks& nets);

// The capture filter of a replay, applied packet by packet: libpcap's own,
// except on a BSD loopback link (DLT_NULL, DLT_LOOP). There libpcap's "ip6"
// looks for this host's AF_INET6 (10 on Linux) in one byte order only, and
// would drop every IPv6 packet captured on a BSD (24, 28 or 30); so the
// filter is compiled for raw IP and runs on the datagram after the family
// word, for the families the decoder reads.
//
// A filter of every address (a replay without -A) has a shortcut on
// Ethernet: an untagged frame that plainly has port 53 (see
// plainly_port_53) passes without running the filter, which costs a replay
// about a sixth of its work.
class FileFilter {
  public:
    // Compiles text for link type dlt; error() says why when it cannot.
    // any_address: text is the filter of every address, as
    // build_filter_text writes it when the watched network is everything.
    FileFilter(int dlt, const char* text, bool any_address = false);
    ~FileFilter();
    FileFilter(const FileFilter&) = delete;
    FileFilter& operator=(const FileFilter&) = delete;

    // Empty once compiled.
    const std::string& error() const { return error_; }
    bool passes(const pcap_pkthdr& header, const uint8_t* bytes) const;

  private:
    bool loopback_;
    bool shortcut_;
    pcap_t* dead_;
    bpf_program program_{};
    bool compiled_ = false;
    std::string error_;
};

// Whether an untagged Ethernet frame is one that libpcap's code for
// "port 53" accepts, read the way that code reads it: IPv4 (EtherType
// 0x0800, not a later fragment, the ports after the header length the
// header gives) or IPv6 (0x86DD, UDP or TCP as the first next header), UDP
// or TCP, port 53 at either end, both ports captured. False says nothing:
// the filter decides.
bool plainly_port_53(const uint8_t* frame, uint32_t caplen);

// The name of the default capture device, as libpcap's old device lookup
// chose it: the first device libpcap lists, unless there is none or it is a
// loopback device. Allocated; nullptr when there is none.
char* default_device();

}  // namespace qv
