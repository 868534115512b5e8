// Sinks that keep what the stats code writes, for tests to read.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/lines.h"
#include "output/export.h"

namespace qv::test {

// One report line: where it went (standard output or syslog, with its
// priority) and its text.
struct Line {
    bool syslog;
    int priority;
    std::string text;
    friend bool operator==(const Line&, const Line&) = default;
};

inline std::ostream& operator<<(std::ostream& os, const Line& l) {
    return os << (l.syslog ? "syslog " : "stdout ") << l.priority << " \"" << l.text << '"';
}

class CollectingSink final : public LineSink {
public:
    void to_stdout(std::string_view line) override {
        lines.push_back({false, 0, std::string(line)});
    }
    void to_syslog(int priority, const char* message) override {
        lines.push_back({true, priority, message});
    }
    std::vector<Line> lines;
};

class CollectingSender final : public DatagramSender {
public:
    void send(const char* data, size_t len) override { datagrams.emplace_back(data, len); }
    std::vector<std::string> datagrams;
};

}  // namespace qv::test
