// The usage screen as the program must write it, for a given argv[0].
#pragma once

#include <string>

namespace qv::test {

inline std::string usage_screen(const std::string& progname) {
    return "quorvane, version 1.2\n"
           "Usage: " +
           progname +
           " [OPTION]\n\n"
           "-i IFNAME                 specify device name to listen on\n"
           "-t N                      alarm at >N queries per second\n"
           "-a N                      reset alarm after N seconds\n"
           "-w N                      calculate stats every N seconds\n"
           "-x N                      create N buckets\n"
           "-m N                      report overall stats every N seconds\n"
           "-A addr                   filter for specific address\n"
           "-M mask                   netmask for filter (in conjunction with -A)\n"
           "-Q                        don't filter by local interface address\n"
           "-b                        run in foreground in peekline mode\n"
           "-d                        run in background in daemon mode\n"
           "-D                        dump dns packets (implies -b)\n"
           "-v                        verbose output - use again for more verbosity\n"
           "-s                        send source-IP data to network collector as JSON\n"
           "-z addr                   address to send stats to (default 226.1.1.2)\n"
           "-p N                      UDP port to send stats to (default 2000)\n"
           "-h                        display this usage information\n"
           "-r FILE                   read packets from a capture file (implies -b)\n"
           "-u USER                   drop privileges to USER once the capture is open\n"
           "-V                        show version information\n"
           "-4 LEN                    count IPv4 sources by their first LEN bits (default 32)\n"
           "-6 LEN                    count IPv6 sources by their first LEN bits (default 64)\n"
           "-P [ADDR:]PORT            serve Prometheus metrics over HTTP (default address 127.0.0.1)\n"
           "-T N                      alarm on zones above N queries per second (default: off)\n"
           "-Z N                      track up to N zones per cycle (default 10000)\n"
           "-R                        count the answers the watched network sends\n"
           "-B N                      alarm on sources sent more than N answer bytes per second (default: off; implies -R)\n"
           "-e PROGRAM                run PROGRAM on each cycle's alarms, with them as JSON lines on its standard input\n";
}

}  // namespace qv::test
