#include "base/hash.h"

#include <sys/random.h>
#include <unistd.h>

#include <ctime>

namespace qv {

uint64_t random_seed() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) == static_cast<ssize_t>(sizeof seed)) return seed;
    // No random source at all: better a poor seed than none.
    return static_cast<uint64_t>(time(nullptr)) * 0x9e3779b97f4a7c15ull ^
           static_cast<uint64_t>(getpid());
}

}  // namespace qv
