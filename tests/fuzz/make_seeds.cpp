// Writes the test frames as fuzz seeds: one file per frame, the first byte
// naming the link header as the fuzz target reads it.
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
    for (const auto& [li, layout] : layouts) {
        std::vector<uint8_t> frame = qv::test::build_frame(layout);
        std::string path = std::string(argv[1]) + "/seed-" + std::to_string(n++);
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr) return 1;
        unsigned char lead = static_cast<unsigned char>(li);
        fwrite(&lead, 1, 1, f);
        fwrite(frame.data(), 1, frame.size(), f);
        fclose(f);
    }
    return 0;
}
