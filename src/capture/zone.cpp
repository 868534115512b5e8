#include "capture/zone.h"

#include <libpsl.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unordered_set>

#include "base/memory.h"

namespace qv {
namespace {

constexpr const char* kSystemList = "/usr/share/publicsuffix/public_suffix_list.dat";

// What each character of a name in presentation form is, and its lower case:
// one table load a character.
enum : uint8_t { kPlain, kDot, kEscape, kOther };
struct NameChars {
    uint8_t kind[256] = {};
    char lower[256] = {};
    constexpr NameChars() {
        for (int c = 0; c < 256; ++c) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            const bool plain = letter || (c >= '0' && c <= '9') || c == '-' || c == '_';
            kind[c] = plain ? kPlain : c == '.' ? kDot : c == '\\' ? kEscape : kOther;
            lower[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
    }
};
constexpr NameChars kChars;

// A name has at most 127 labels (a 255-byte wire name).
constexpr size_t kLabelsMax = 127;

// dst = src in ASCII lower case, eight bytes at a time.
inline uint64_t lower8(uint64_t x) {
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    const uint64_t low7 = x & ~kHigh;
    // A byte's top bit: set in ge_a when its low seven bits are 'A' or
    // above, in gt_z when above 'Z' (no carry reaches the next byte).
    const uint64_t ge_a = low7 + 0x3f3f3f3f3f3f3f3full;
    const uint64_t gt_z = low7 + 0x2525252525252525ull;
    const uint64_t upper = ge_a & ~gt_z & ~x & kHigh;
    return x | upper >> 2;
}
void lower_copy(const char* src, size_t n, char* dst) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, src + i, 8);
        w = lower8(w);
        std::memcpy(dst + i, &w, 8);
    }
    for (; i < n; ++i) dst[i] = kChars.lower[static_cast<uint8_t>(src[i])];
}

// a[0, n) == b[0, n), inline: tails are short.
inline bool same_text(const char* a, const char* b, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) return false;
    }
    for (; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// Punycode: the list's internationalized rules are matched by libpsl.
bool punycode(const char* p, size_t n) { return n >= 4 && std::memcmp(p, "xn--", 4) == 0; }

bool plain_label(const char* p, size_t n) {
    if (n == 0 || punycode(p, n)) return false;
    for (size_t i = 0; i < n; ++i) {
        if (kChars.kind[static_cast<uint8_t>(p[i])] != kPlain) return false;
    }
    return true;
}

// Every suffix of every rule of the list that has only plain labels (the
// '!' of an exception left out; a wildcard's '*' ends the rule's tails, as
// does a label not plain ASCII), in lower case; and the tails that a
// wildcard rule puts its '*' in front of.
struct RuleTails {
    std::unordered_set<std::string> tails;
    std::unordered_set<std::string> wildcards;
};
RuleTails tails_of_rules(const char* path) {
    RuleTails out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.rfind("//", 0) == 0) continue;
        std::string rule = line.substr(0, line.find_first_of(" \t\r"));
        if (rule.empty()) continue;
        if (rule[0] == '!') rule.erase(0, 1);
        for (char& c : rule) c = kChars.lower[static_cast<uint8_t>(c)];
        size_t end = rule.size();  // of the label being looked at
        for (;;) {
            const size_t dot = end == 0 ? std::string::npos : rule.rfind('.', end - 1);
            const size_t from = dot == std::string::npos ? 0 : dot + 1;
            if (end - from == 1 && rule[from] == '*' && end < rule.size()) out.wildcards.insert(rule.substr(end + 1));
            if (!plain_label(rule.data() + from, end - from) || rule.size() - from > kZoneMax) break;
            out.tails.insert(rule.substr(from));
            if (from == 0) break;
            end = dot;
        }
    }
    return out;
}

// A label to put in front of text that makes no tail: what libpsl says of
// it holds for every such label.
std::string probe_before(const std::unordered_set<std::string>& tails, const std::string& text) {
    for (int i = 0;; ++i) {
        std::string p = "x";
        p += std::to_string(i);
        if (!text.empty()) p.append(".").append(text);
        if (tails.count(p) == 0) return p;
    }
}

}  // namespace

ZoneFinder::ZoneFinder(uint64_t seed) : ZoneFinder(seed, kSystemList) {}

ZoneFinder::ZoneFinder(uint64_t seed, const char* path)
    : tail_seed_(SeededHash::mix(seed ^ 0x7a11u)),
      tail_mul_(SeededHash::mix(seed + 0x7a11u) | 1u),
      name_hash_(SeededHash::mix(seed), 32) {
    if (path != nullptr && *path != '\0') {
        psl_ = psl_load_file(path);
        own_psl_ = psl_ != nullptr;
    }
    if (psl_ != nullptr) {
        // The tails must come from the same list libpsl decides by.
        build_tails(path);
    } else {
        psl_ = psl_builtin();
    }
}

ZoneFinder::~ZoneFinder() {
    if (own_psl_) psl_free(const_cast<psl_ctx_t*>(psl_));
}

uint64_t ZoneFinder::tail_state(uint64_t state, const char* p, size_t n) const {
    for (size_t i = n; i > 0; --i) state = (state + static_cast<uint8_t>(p[i - 1])) * tail_mul_;
    return state;
}

void ZoneFinder::build_tails(const char* path) {
    const RuleTails rules = tails_of_rules(path);
    if (rules.tails.empty()) return;
    size_t n_slots = 16;
    while (n_slots < 2 * rules.tails.size()) n_slots <<= 1;
    tail_shift_ = 64 - std::countr_zero(n_slots);
    slots_.assign(n_slots, Slot{0, 0, 0, 0});
    filter_.assign(8 * n_slots / 64, 0);
    for (const std::string& t : rules.tails) {
        // libpsl's word on the tail, and on a label of no rule in front of
        // it. That label is a public suffix only by a wildcard rule: asked
        // only where the list has one.
        uint8_t flags = is_public(t.c_str()) ? kPublic : 0;
        if (rules.wildcards.count(t) != 0 && is_public(probe_before(rules.tails, t).c_str())) {
            flags |= kWildcard;
        }
        const uint64_t h = SeededHash::mix(tail_state(tail_seed_, t.data(), t.size()));
        const size_t f = filter_bit(h);
        filter_[f / 64] |= uint64_t{1} << (f % 64);
        size_t i = h >> tail_shift_;
        while (slots_[i].len != 0) i = (i + 1) & (n_slots - 1);
        slots_[i] = Slot{static_cast<uint32_t>(h), static_cast<uint32_t>(text_.size()),
                         static_cast<uint8_t>(t.size()), flags};
        text_.insert(text_.end(), t.begin(), t.end());
    }
    tails_ = rules.tails.size();
    root_wildcard_ = is_public(probe_before(rules.tails, "").c_str());
}

const ZoneFinder::Slot* ZoneFinder::find_tail(const char* p, size_t n, uint64_t state) const {
    if (n > kZoneMax) return nullptr;
    const uint64_t h = SeededHash::mix(state);
    const size_t f = filter_bit(h);
    if ((filter_[f / 64] >> (f % 64) & 1) == 0) return nullptr;
    const uint32_t check = static_cast<uint32_t>(h);
    const size_t mask = slots_.size() - 1;
    for (size_t i = h >> tail_shift_;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.len == 0) return nullptr;
        if (s.check == check && s.len == n && same_text(text_.data() + s.at, p, n)) return &s;
    }
}

int ZoneFinder::registrable_labels(const char* text) const {
    if (psl_ == nullptr) return 0;
    const char* r = psl_registrable_domain(psl_, text);
    if (r == nullptr) return 0;
    int labels = 1;
    for (const char* p = r; *p; ++p) labels += *p == '.';
    return labels;
}

bool ZoneFinder::zone_by_tails(const char* text, size_t n, ZoneText& out) const {
    if (n < 2 || text[n - 1] != '.') return false;
    // The suffixes of the name from the right, one label more each time:
    // best is the longest that is a public suffix, which the first that is
    // no tail decides (no rule matches a longer one). A label looked at
    // that is not plain, or that is punycode, is libpsl's to judge.
    size_t from_of[kLabelsMax + 1];  // [d]: where the d-th label from the right starts
    size_t best = 0;
    size_t d = 0;
    const Slot* parent = nullptr;
    size_t end = n - 1;  // the '.' after the label looked at
    // The tail hash's state over the suffix so far, taken on from the right
    // one label (and its '.') at a time.
    uint64_t state = tail_seed_;
    for (;;) {
        size_t from = end;
        if (end != n - 1) state = (state + static_cast<uint8_t>('.')) * tail_mul_;
        while (from > 0) {
            const uint8_t c = static_cast<uint8_t>(text[from - 1]);
            if (kChars.kind[c] != kPlain) break;
            state = (state + c) * tail_mul_;  // as tail_state() takes it on
            --from;
        }
        if (from == end || punycode(text + from, end - from)) return false;
        // Stopped at anything but a '.' that ends a label: not plain.
        if (from > 0 && (text[from - 1] != '.' || (from >= 2 && text[from - 2] == '\\'))) return false;
        from_of[++d] = from;
        const Slot* t = find_tail(text + from, n - 1 - from, state);
        const bool is_suffix = t != nullptr ? (t->flags & kPublic) != 0
                               : parent != nullptr ? (parent->flags & kWildcard) != 0
                                                   : root_wildcard_;
        if (is_suffix) best = d;
        if (t == nullptr || from == 0 || d == kLabelsMax) break;
        parent = t;
        end = from - 1;
    }
    size_t zone_from;
    if (best < d) {
        zone_from = from_of[best + 1];
    } else if (from_of[d] == 0) {
        zone_from = 0;  // the name is a public suffix: its own zone
    } else {
        // The label in front of the public suffix, whatever it holds but
        // an escape.
        const size_t dot = from_of[d] - 1;
        zone_from = dot;
        while (zone_from > 0 && text[zone_from - 1] != '.') {
            if (text[zone_from - 1] == '\\') return false;
            --zone_from;
        }
        if (zone_from == dot) return false;
    }
    const size_t len = std::min(n - zone_from, kZoneMax);
    std::memcpy(out.text, text + zone_from, len);
    out.text[len] = '\0';
    out.len = static_cast<uint8_t>(len);
    return true;
}

void ZoneFinder::zone_of(std::string_view name, ZoneText& out) {
    // Lower case: escapes hold digits, '.' and '\\' only, which it leaves.
    char text[kZoneMax * 5];
    const size_t n = std::min(name.size(), sizeof text - 1);
    lower_copy(name.data(), n, text);
    text[n] = '\0';
    out.name_hash = name_hash_.text64(text, n);
    if (cached() && zone_by_tails(text, n, out)) return;
    zone_by_libpsl(text, n, out);
}

void ZoneFinder::zone_by_libpsl(const char* text, size_t n, ZoneText& out) const {
    // Where each label starts; a '.' after a backslash is part of a label.
    size_t starts[128];
    size_t labels = 0;
    bool plain[128];
    bool at_start = true;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t kind = kChars.kind[static_cast<uint8_t>(text[i])];
        if (at_start && labels < 128) {
            starts[labels] = i;
            plain[labels] = true;
            ++labels;
        }
        at_start = kind == kDot;
        if (kind == kPlain || kind == kDot) continue;
        plain[labels - 1] = false;
        if (kind == kEscape) {
            // An escape: the next character, or three digits.
            i += i + 1 < n && text[i + 1] >= '0' && text[i + 1] <= '9' ? 3 : 1;
        }
    }
    auto put = [&](size_t from) {
        const size_t len = std::min(n - from, kZoneMax);
        std::memcpy(out.text, text + from, len);
        out.text[len] = '\0';
        out.len = static_cast<uint8_t>(len);
    };
    if (labels <= 1) {  // the root, or a single label
        if (labels == 0) {
            out.text[0] = '.';
            out.text[1] = '\0';
            out.len = 1;
        } else {
            put(0);
        }
        return;
    }
    const size_t last = labels;  // labels of the whole name
    // The zone as a count of labels from the right, 0 for the whole name.
    auto take_labels = [&](int k) { put(k <= 0 || static_cast<size_t>(k) >= last ? 0 : starts[last - static_cast<size_t>(k)]); };

    // Ask libpsl for the whole name. A label that is not plain ASCII
    // matches no rule but a wildcard, as any plain label would.
    char ask[kZoneMax * 5];
    size_t a = 0;
    for (size_t k = 0; k < labels; ++k) {
        const size_t end = k + 1 < labels ? starts[k + 1] - 1 : n - 1;
        if (plain[k]) {
            std::memcpy(ask + a, text + starts[k], end - starts[k]);
            a += end - starts[k];
        } else {
            ask[a++] = 'x';
        }
        ask[a++] = k + 1 < labels ? '.' : '\0';
    }
    take_labels(registrable_labels(ask));
}

}  // namespace qv
