#include "capture/zone.h"

#include <libpsl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

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

// The parent of every rule of the list (the rule less its first label, or
// the rest of a wildcard rule), in ASCII lower case; rules whose parent is
// not plain ASCII are left out: names under such a parent are never cached.
std::unordered_set<std::string> parents_of_rules(const char* path) {
    std::unordered_set<std::string> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.rfind("//", 0) == 0) continue;
        std::string rule = line.substr(0, line.find_first_of(" \t\r"));
        if (rule.empty()) continue;
        if (rule[0] == '!') rule.erase(0, 1);
        const size_t dot = rule.find('.');
        if (dot == std::string::npos) continue;
        std::string parent = rule.substr(dot + 1);
        bool ascii = true;
        for (char& c : parent) {
            if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        if (ascii) out.insert(parent);
    }
    return out;
}

}  // namespace

ZoneFinder::ZoneFinder(uint64_t seed) : ZoneFinder(seed, kSystemList) {}

ZoneFinder::ZoneFinder(uint64_t seed, const char* path)
    : hash_(seed, 12), name_hash_(SeededHash::mix(seed), 32) {
    if (path != nullptr && *path != '\0') {
        psl_ = psl_load_file(path);
        own_psl_ = psl_ != nullptr;
    }
    if (psl_ != nullptr) {
        // The cache needs the same list libpsl decides by.
        parents_ = parents_of_rules(path);
        cache_ = static_cast<CacheSlot*>(alloc_or_die(sizeof(CacheSlot) * kCacheSlots, "zone cache"));
    } else {
        psl_ = psl_builtin();
    }
}

ZoneFinder::~ZoneFinder() {
    if (own_psl_) psl_free(const_cast<psl_ctx_t*>(psl_));
    std::free(cache_);
}

int ZoneFinder::registrable_labels(const char* text) {
    if (psl_ == nullptr) return 0;
    const char* r = psl_registrable_domain(psl_, text);
    if (r == nullptr) return 0;
    int labels = 1;
    for (const char* p = r; *p; ++p) labels += *p == '.';
    return labels;
}

void ZoneFinder::zone_of(std::string_view name, ZoneText& out) {
    // Lower case, and where each label starts; a '.' after a backslash is
    // part of a label.
    char text[kZoneMax * 5];
    size_t starts[128];
    size_t labels = 0;
    bool plain[128];
    size_t n = std::min(name.size(), sizeof text - 1);
    bool at_start = true;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = static_cast<uint8_t>(name[i]);
        const uint8_t kind = kChars.kind[c];
        text[i] = kChars.lower[c];
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
            const size_t skip = i + 1 < n && name[i + 1] >= '0' && name[i + 1] <= '9' ? 3 : 1;
            for (size_t k = 0; k < skip && i + 1 < n; ++k) {
                ++i;
                text[i] = name[i];
            }
        }
    }
    text[n] = '\0';
    out.name_hash = name_hash_.text64(text, n);
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

    // The parent: every label after the first, without the final dot.
    const size_t p_from = starts[1];
    const size_t p_len = n - p_from - 1;
    bool parent_plain = true;
    for (size_t k = 1; k < labels; ++k) parent_plain &= plain[k];
    if (parent_plain) {
        for (size_t k = 1; k < labels; ++k) {
            if (n - starts[k] >= 4 && std::memcmp(text + starts[k], "xn--", 4) == 0) parent_plain = false;
        }
    }
    if (cache_ != nullptr && parent_plain && p_len <= kZoneMax) {
        CacheSlot& slot = cache_[hash_.text(text + p_from, p_len)];
        if (slot.len != p_len || std::memcmp(slot.parent, text + p_from, p_len) != 0) {
            char parent[kZoneMax + 1];
            std::memcpy(parent, text + p_from, p_len);
            parent[p_len] = '\0';
            uint8_t k;
            if (parents_.count(parent) != 0) {
                k = 255;  // rules right below the parent: ask for each name
            } else if (psl_is_public_suffix(psl_, parent)) {
                k = 0;  // the name is the public suffix and one label more
            } else {
                k = static_cast<uint8_t>(registrable_labels(parent));
            }
            slot.len = static_cast<uint8_t>(p_len);
            slot.labels = k;
            std::memcpy(slot.parent, parent, p_len);
        }
        if (slot.labels != 255) {
            take_labels(slot.labels);
            return;
        }
    }
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
