#include "capture/message.h"

#include "capture/wire.h"

namespace qv {
namespace {

constexpr size_t kLabelMax = 63;

// How a label byte is written in presentation form: letters, digits, '-'
// and '_' as they are, '.' and '\\' escaped with a backslash, other printable
// ASCII as itself, every other byte as \\DDD. One table load a byte.
enum : uint8_t { kAsIs, kBackslash, kDecimal };
struct EscapeTable {
    uint8_t how[256] = {};
    constexpr EscapeTable() {
        for (int c = 0; c < 256; ++c) how[c] = c > 0x20 && c < 0x7f ? kAsIs : kDecimal;
        how[static_cast<uint8_t>('.')] = kBackslash;
        how[static_cast<uint8_t>('\\')] = kBackslash;
    }
};
constexpr EscapeTable kEscape;

// The longest text a name can give: every byte of a 255-byte name written
// as four characters fits the buffer, so no write needs a bound check.
static_assert(4 * kWireNameMax <= kNameMax);
// A label offset within the name fits its byte.
static_assert(kWireNameMax <= 256);

// Writes one label and its '.' at name.text + stored; returns the new end.
inline size_t put_label(const uint8_t* label, size_t len, NameBuffer& name, size_t stored) {
    // Most labels need no escape: copied in one pass, and written again
    // byte by byte only when a byte needs one.
    char* out = name.text + stored;
    bool plain = true;
    for (size_t i = 0; i < len; ++i) {
        plain &= kEscape.how[label[i]] == kAsIs;
        out[i] = static_cast<char>(label[i]);
    }
    if (plain) {
        stored += len;
    } else {
        for (size_t i = 0; i < len; ++i) {
            const uint8_t c = label[i];
            switch (kEscape.how[c]) {
                case kAsIs:
                    name.text[stored++] = static_cast<char>(c);
                    break;
                case kBackslash:
                    name.text[stored++] = '\\';
                    name.text[stored++] = static_cast<char>(c);
                    break;
                default:
                    name.text[stored++] = '\\';
                    name.text[stored++] = static_cast<char>('0' + c / 100);
                    name.text[stored++] = static_cast<char>('0' + c / 10 % 10);
                    name.text[stored++] = static_cast<char>('0' + c % 10);
                    break;
            }
        }
    }
    name.text[stored++] = '.';
    return stored;
}

// The question at r's position; false when it breaks a rule or runs past
// the bytes. With kText the name's text is written on the way, into *name
// (its length in *stored): one pass where the program wants both.
template <bool kText = false>
inline bool read_question(WireReader& r, DnsQuestion& q, NameBuffer* name = nullptr,
                          size_t* stored = nullptr) {
    const size_t name_at = r.pos();
    size_t wire = 1;  // the root label's byte
    size_t labels = 0;
    for (;;) {
        const size_t at = r.pos() - name_at;
        // A read past the bytes yields 0 too: told apart once, after the loop.
        const uint8_t len = r.u8();
        if (len == 0) break;
        // 0xC0: a compression pointer; 0x40 and 0x80: no label types of a question.
        if (len > kLabelMax) return false;
        wire += 1u + len;
        if (wire > kWireNameMax) return false;
        q.label_at[labels++] = static_cast<uint8_t>(at);
        if constexpr (kText) {
            const uint8_t* label = r.take(len);
            if (label == nullptr) return false;
            *stored = put_label(label, len, *name, *stored);
        } else {
            r.skip(len);
        }
    }
    // The name's final byte, QTYPE and one byte beyond must be there.
    if (r.left() < 3) return false;
    q.name_at = static_cast<uint16_t>(name_at);
    q.name_len = static_cast<uint16_t>(wire);
    q.labels = static_cast<uint8_t>(labels);
    q.qtype = r.u16();
    q.qclass = r.left() >= 2 ? r.u16() : 0;
    if constexpr (kText) name->text[*stored] = '\0';
    return true;
}

// read_message, inlined where the program reads a query (kText: with the
// name's text, as read_question).
template <bool kText = false>
inline Verdict read_into(std::span<const uint8_t> m, DnsMessage& out, NameBuffer* name = nullptr,
                         size_t* stored = nullptr) {
    // The first byte of the question name must be there, in either direction.
    if (m.size() <= kDnsHeaderLen) return Verdict::malformed;
    WireReader r(m);
    out.header = r.take(kDnsHeaderLen);
    out.has_question = out.qdcount() != 0 && read_question<kText>(r, out.question, name, stored);
    if (out.qr()) return Verdict::response;
    return out.has_question ? Verdict::query : Verdict::malformed;
}

}  // namespace

Verdict read_message(std::span<const uint8_t> m, DnsMessage& out) {
    return read_into(m, out);
}

std::string_view name_text(std::span<const uint8_t> m, const DnsQuestion& q, NameBuffer& name) {
    size_t stored = 0;
    for (size_t k = 0; k < q.labels; ++k) {
        const uint8_t* label = &m[q.name_at + q.label_at[k]];
        stored = put_label(label + 1, *label, name, stored);
    }
    name.text[stored] = '\0';
    return {name.text, stored};
}

namespace {

// One body for each case: without the text the question never leaves this
// function, so the compiler drops what only the text would read; with it,
// the text is written in the same pass as the name is read.
template <bool kText>
bool message_of(std::span<const uint8_t> m, NameBuffer& name, Message& out, Verdict* why, bool answers) {
    DnsMessage msg;
    msg.question.qtype = 0;  // one store, so no reader of it can see it unset
    size_t stored = 0;
    const Verdict v = read_into<kText>(m, msg, &name, &stored);
    if (why != nullptr) *why = v;
    if (v == Verdict::malformed && answers && m.size() == kDnsHeaderLen) {
        // An answer of the header alone is whole when it has no question
        // (servers refuse that way).
        msg.header = m.data();
        msg.has_question = false;
        if (!msg.qr() || msg.qdcount() != 0) return false;
        if (why != nullptr) *why = Verdict::response;
        out.answer = true;
        out.truncated = msg.tc();
        out.rcode = msg.rcode();
        out.has_question = false;
        out.qtype = 0;
        name.text[0] = '\0';
        out.name = std::string_view(name.text, 0);
        return true;
    }
    if (v == Verdict::response) {
        // An answer counts with no question at all, not with a broken one.
        if (!answers || (msg.qdcount() != 0 && !msg.has_question)) return false;
    } else if (v != Verdict::query) {
        return false;
    }
    out.answer = v == Verdict::response;
    out.truncated = msg.tc();
    out.rcode = msg.rcode();
    out.has_question = msg.has_question;
    out.qtype = msg.question.qtype;
    if (!kText || !msg.has_question) {
        stored = 0;
        name.text[0] = '\0';
    }
    out.name = std::string_view(name.text, stored);
    return true;
}

}  // namespace

bool decode_message(std::span<const uint8_t> m, NameBuffer& name, Message& out, Verdict* why, bool text,
                    bool answers) {
    return text ? message_of<true>(m, name, out, why, answers) : message_of<false>(m, name, out, why, answers);
}

}  // namespace qv
