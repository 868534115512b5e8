// Start-up allocations. Memory is taken only while the program starts; a
// failure ends the process through malloc_fail with a label naming what was
// being allocated.
#pragma once

#include <cstddef>

namespace qv {

// Reports a failed allocation through fatal() (standard error, or syslog at
// LOG_ERR once a daemon has detached) and ends the process with status 1.
[[noreturn]] void malloc_fail(const char* label, size_t size);

// calloc that ends the process through malloc_fail(label, size) on failure.
void* alloc_or_die(size_t size, const char* label);

// A private copy of text; on failure malloc_fail(label, strlen(text)).
char* copy_text(const char* text, const char* label);

}  // namespace qv
