// Receives the program's JSON datagrams on 127.0.0.1:PORT and sums every
// exported count; prints the sum, the number of datagrams and of distinct
// sources once no datagram has come for IDLE seconds (after the first).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_set>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: flood_collect PORT IDLE_SECONDS\n");
        return 2;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 64 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        perror("bind");
        return 1;
    }
    timeval tv{atoi(argv[2]), 0};
    long long total = 0, datagrams = 0, bad = 0;
    std::unordered_set<std::string> sources;
    char buf[2048];
    for (;;) {
        if (datagrams > 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        ++datagrams;
        try {
            auto j = nlohmann::json::parse(std::string(buf, strnlen(buf, static_cast<size_t>(n))));
            for (auto& [k, v] : j["data"].items()) {
                total += v.get<long long>();
                sources.insert(k);
            }
        } catch (const std::exception&) {
            ++bad;
        }
    }
    printf("exported %lld queries in %lld datagrams (%lld unparsable) from %zu sources\n", total,
           datagrams, bad, sources.size());
    return 0;
}
