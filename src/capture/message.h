// Reading a DNS message, in either direction, up to its first question: the
// header (id, flags, counts) and the question's wire name, label by label,
// QTYPE and QCLASS, on the bounds-checked wire reader. The name's
// presentation text is written only when asked for. A query is what the
// program counts; a response is read as far and reported as one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/address.h"
#include "capture/frame.h"

namespace qv {

// Room for the decoded name in presentation form: at most 1025 characters
// and the terminator (a 255-byte wire name escaped byte by byte stays below).
inline constexpr size_t kNameMax = 1025;
struct NameBuffer {
    char text[kNameMax + 1];
};

// The longest wire name, and the most labels it can hold (each at least
// one byte and its length byte, then the root label).
inline constexpr size_t kWireNameMax = 255;
inline constexpr size_t kLabelsMax = (kWireNameMax - 1) / 2;

// The first question of a message, as it lies on the wire. The reader
// sets each field it reports, so that a message costs no clearing.
struct DnsQuestion {
    uint16_t name_at;   // the name's first byte, from the message's start
    uint16_t name_len;  // its wire bytes, the root label's included
    uint8_t labels;     // labels before the root label
    // Where each label's length byte is, from name_at (the first labels
    // entries).
    uint8_t label_at[kLabelsMax];
    uint16_t qtype;
    uint16_t qclass;  // 0 when the message ends inside it
};

// The header's fields are read from its wire bytes on demand: most messages
// need only QR and QDCOUNT. header points into the message read, and is
// valid as long as those bytes are.
inline constexpr size_t kDnsHeaderLen = 12;
struct DnsMessage {
    const uint8_t* header;
    // QDCOUNT above 0, and the first question well formed and within the
    // bytes; question is meaningless without it.
    bool has_question;
    DnsQuestion question;

    uint16_t id() const { return field(0); }
    // QR, OPCODE, AA, TC, RD, RA, Z, AD, CD, RCODE as on the wire.
    uint16_t flags() const { return field(2); }
    uint16_t qdcount() const { return field(4); }
    uint16_t ancount() const { return field(6); }
    uint16_t nscount() const { return field(8); }
    uint16_t arcount() const { return field(10); }
    bool qr() const { return (header[2] & 0x80u) != 0; }
    uint8_t opcode() const { return static_cast<uint8_t>(header[2] >> 3 & 0x0fu); }
    bool tc() const { return (header[2] & 0x02u) != 0; }
    bool rd() const { return (header[2] & 0x01u) != 0; }
    uint8_t rcode() const { return static_cast<uint8_t>(header[3] & 0x0fu); }

private:
    uint16_t field(size_t at) const {
        return static_cast<uint16_t>(header[at] << 8 | header[at + 1]);
    }
};

// Reads msg's header and, when QDCOUNT is above 0, its first question: a
// well-formed name (labels of 1 to 63 bytes of any value, 255 bytes in all,
// ending in the root label; no compression) whose final byte, QTYPE and one
// byte beyond lie within msg. The verdict:
//   malformed  no byte after the header (whatever the direction), or a
//              query with QDCOUNT 0 or a question that fails a rule;
//   response   QR set, however its question reads (see has_question);
//   query      QR clear and the question read.
// With no byte after the header out is left as it was; with a question
// that does not read, has_question is false and question partly set.
Verdict read_message(std::span<const uint8_t> msg, DnsMessage& out);

// The question's name in presentation form, in name: each label followed
// by '.' ("" for the root); letters, digits and other printable ASCII as
// they are, '.' and '\\' after a backslash, every other byte as \\DDD.
// msg and q as read_message read them.
std::string_view name_text(std::span<const uint8_t> msg, const DnsQuestion& q, NameBuffer& name);

// One DNS message as the capture hands it on: a query, or (when answers are
// asked for) an answer. The packet's fields are the caller's to fill in.
struct Message {
    SourceAddr source;  // the packet's own, full source address
    SourceAddr dest;    // and its destination
    uint8_t family;     // 4 or 6: the IP version of the frame
    uint8_t protocol;   // 6 TCP, 17 UDP
    uint16_t src_port;
    bool answer;        // QR set
    bool truncated;     // TC set
    uint8_t rcode;      // the header's RCODE
    bool has_question;  // false only for an answer with QDCOUNT 0
    uint16_t qtype;     // QTYPE (0 without a question); a query of type 0 is dumped but never counted
    uint32_t size;      // the message's length as its headers give it, whatever was captured
    std::string_view name;  // in the caller's NameBuffer; presentation form, each label followed by '.'
};

// Reads the message in msg into out's DNS fields (answer, truncated, rcode,
// has_question, qtype, name), its name written into name when text is set
// (else out.name is empty: no report needs it unless packets are dumped or
// zones counted); the packet's fields and size are the caller's and left as
// they are. A query is read_message's verdict query. With answers set, a
// message with QR set is one too when its first question, if QDCOUNT is
// above 0, follows the rules of a query's; with QDCOUNT 0 the header alone
// is a whole answer (*why is response for it). False when the message is neither; *why (when
// given) is the verdict.
bool decode_message(std::span<const uint8_t> msg, NameBuffer& name, Message& out, Verdict* why = nullptr,
                    bool text = true, bool answers = false);

// The same, into a fresh message whose packet fields are zero.
inline std::optional<Message> decode_message(std::span<const uint8_t> msg, NameBuffer& name,
                                             Verdict* why = nullptr, bool text = true,
                                             bool answers = false) {
    Message m{};
    if (!decode_message(msg, name, m, why, text, answers)) return std::nullopt;
    return m;
}

}  // namespace qv
