// A small builder of captured frames for tests, fuzz seeds and the sample
// captures: link header, IPv4, UDP or TCP, and a DNS query whose fields can
// each be bent to make a frame that the decoder must drop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv::test {

struct FrameSpec {
    // Link header: 14 (Ethernet), 0 (raw IP), 4 (BSD loopback), 16 or 20 (Linux cooked).
    int link_len = 14;
    uint8_t src[4] = {10, 1, 2, 3};
    uint8_t dst[4] = {192, 0, 2, 53};
    uint8_t protocol = 17;       // 17 UDP, 6 TCP, anything else
    uint8_t ip_version = 4;
    uint8_t ihl = 5;             // IPv4 header length in words; options are zero-filled
    uint16_t frag = 0;           // flags and fragment offset, as on the wire
    int total_len_delta = 0;     // added to the correct IPv4 total length
    uint8_t tcp_flags = 0x18;    // PSH|ACK
    uint8_t tcp_doff = 5;        // TCP header length in words; options are zero-filled
    uint16_t src_port = 40000;
    uint16_t dst_port = 53;
    uint16_t dns_id = 0x1234;
    uint8_t dns_flags_hi = 0x01; // RD; 0x80 would make it a response
    uint16_t qdcount = 1;
    // The question name on the wire; an empty vector means "use labels".
    std::vector<uint8_t> raw_name;
    std::vector<std::string> labels = {"abc", "de"};
    uint16_t qtype = 1;
    uint16_t qclass = 1;
    size_t pad_to = 0;           // Ethernet-style fill after the IP datagram
};

// The wire name of labels: length-prefixed labels and the final zero byte.
std::vector<uint8_t> wire_name(const std::vector<std::string>& labels);

// The whole frame as it would be captured (nothing cut).
std::vector<uint8_t> build_frame(const FrameSpec& layout);

// Offset of the first byte of the question name in a frame built from layout.
size_t name_offset(const FrameSpec& layout);

}  // namespace qv::test
