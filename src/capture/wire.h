// A cursor over captured bytes that checks every read against the captured
// length and keeps a sticky error: once a read fails, every later read fails
// too and yields zeros, so a decoder is a straight run of reads with one
// check of ok() where it matters. Lengths are compared as "need <= left",
// never as sums that could overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv {

class WireReader {
public:
    explicit WireReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    void fail() { ok_ = false; }
    size_t pos() const { return pos_; }
    size_t left() const { return ok_ ? bytes_.size() - pos_ : 0; }

    uint8_t u8() {
        if (!need(1)) return 0;
        return bytes_[pos_++];
    }
    uint16_t u16() {
        if (!need(2)) return 0;
        const uint16_t v = static_cast<uint16_t>(bytes_[pos_] << 8 | bytes_[pos_ + 1]);
        pos_ += 2;
        return v;
    }
    uint32_t u32() {
        const uint32_t hi = u16();
        return hi << 16 | u16();
    }
    // The next n bytes, or nullptr (and the error set) when fewer are captured.
    const uint8_t* take(size_t n) {
        if (!need(n)) return nullptr;
        const uint8_t* p = bytes_.data() + pos_;
        pos_ += n;
        return p;
    }
    void skip(size_t n) { take(n); }

private:
    bool need(size_t n) {
        if (ok_ && n <= bytes_.size() - pos_) return true;
        ok_ = false;
        return false;
    }

    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace qv
