#include "base/hash.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace qv {

uint64_t random_seed() {
    uint64_t seed = 0;
    auto* p = reinterpret_cast<unsigned char*>(&seed);
    size_t got = 0;
    while (got < sizeof seed) {
        ssize_t r = getrandom(p + got, sizeof seed - got, 0);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r < 0 && errno != EINTR) {
            break;
        }
    }
    if (got == sizeof seed) return seed;

    got = 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        while (got < sizeof seed) {
            ssize_t r = read(fd, p + got, sizeof seed - got);
            if (r > 0) {
                got += static_cast<size_t>(r);
            } else if (r == 0 || errno != EINTR) {
                break;
            }
        }
        close(fd);
    }
    if (got == sizeof seed) return seed;

    // No random source at all: better a poor seed than none.
    return SeededHash::mix(static_cast<uint64_t>(time(nullptr)) ^
                           (static_cast<uint64_t>(getpid()) << 32));
}

}  // namespace qv
