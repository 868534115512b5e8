// Writes the test frames as fuzz seeds, in the frame target's input form: a
// byte naming the link header, then each frame behind its 3-byte header.
// One seed a frame, and a few short captures of several frames on a link.
#include <cstdio>
#include <string>
#include <vector>

#include "frames.h"

using qv::test::FrameSpec;

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::vector<std::pair<int, FrameSpec>> layouts;
    const int links[] = {14, 0, 4, 16, 20};
    for (int li = 0; li < 5; ++li) {
        FrameSpec udp;
        udp.link_len = links[li];
        layouts.push_back({li, udp});
        FrameSpec tcp = udp;
        tcp.protocol = 6;
        tcp.tcp_doff = 8;
        layouts.push_back({li, tcp});
        FrameSpec udp6 = udp;
        udp6.ip_version = 6;
        layouts.push_back({li, udp6});
        FrameSpec tcp6 = tcp;
        tcp6.ip_version = 6;
        layouts.push_back({li, tcp6});
        // Answers from port 53, over each transport: the fuzz targets count them.
        FrameSpec answer = udp;
        answer.src_port = 53;
        answer.dst_port = 40000;
        answer.dns_flags_hi = 0x81;
        layouts.push_back({li, answer});
        FrameSpec tcp_answer = tcp;
        tcp_answer.src_port = 53;
        tcp_answer.dst_port = 40000;
        tcp_answer.dns_flags_hi = 0x83;  // TC too
        layouts.push_back({li, tcp_answer});
        if (links[li] == 14 || links[li] == 16 || links[li] == 20) {
            FrameSpec tagged = udp6;
            tagged.vlan_tpids = {0x88A8, 0x8100};
            layouts.push_back({li, tagged});
        }
    }
    FrameSpec ext;
    ext.ip_version = 6;
    ext.ext_headers = {{0}, {43}, {44, 0x0001}, {51, 0, 1}, {60, 0, 1}};
    layouts.push_back({0, ext});
    FrameSpec opts;
    opts.ihl = 7;
    layouts.push_back({0, opts});
    FrameSpec longname;
    longname.labels.assign(24, std::string(60, 'x'));
    layouts.push_back({0, longname});
    FrameSpec root;
    root.labels.clear();
    root.qtype = 2;
    layouts.push_back({0, root});
    FrameSpec pointer;
    pointer.raw_name = {3, 'a', 'b', 'c', 0xc0, 0x0c};
    layouts.push_back({0, pointer});

    int n = 0;
    auto write_seed = [&](int li, const std::vector<FrameSpec>& frames) {
        std::vector<uint8_t> seed = {static_cast<uint8_t>(li)};
        for (const FrameSpec& layout : frames) {
            const std::vector<uint8_t> frame = qv::test::build_frame(layout);
            seed.push_back(static_cast<uint8_t>(frame.size() >> 8));
            seed.push_back(static_cast<uint8_t>(frame.size()));
            seed.push_back(1);  // a second after the frame before
            seed.insert(seed.end(), frame.begin(), frame.end());
        }
        const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(n++);
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr) return false;
        const bool ok = fwrite(seed.data(), 1, seed.size(), f) == seed.size();
        return fclose(f) == 0 && ok;
    };
    for (const auto& [li, layout] : layouts) {
        if (!write_seed(li, {layout})) return 1;
    }
    // The same connection's segment three times (the repeats are
    // retransmissions), then UDP and IPv6 frames beside it.
    for (int li = 0; li < 5; ++li) {
        std::vector<FrameSpec> capture;
        for (const auto& [link, layout] : layouts) {
            if (link == li) capture.push_back(layout);
        }
        capture.insert(capture.begin(), 2, capture[1]);
        if (!write_seed(li, capture)) return 1;
    }
    return 0;
}
