#include "base/memory.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "base/lines.h"
#include "base/settings.h"

namespace qv {

void malloc_fail(const char* label, size_t size) {
    // The size is printed unsigned and in full: a request over 2 GiB is
    // exactly the one most likely to fail, and must not show as negative.
    // In daemon mode it goes to syslog even before the detach, as it always
    // has: the foreground setting alone decides.
    if (!process_settings().foreground) fatal_messages_to_syslog();
    fatal("our OS wouldn't let me malloc %zu bytes for a new %s. giving up", size, label);
}

void* alloc_or_die(size_t size, const char* label) {
    void* p = calloc(1, size == 0 ? 1 : size);
    if (p == nullptr) malloc_fail(label, size);
    return p;
}

char* copy_text(const char* text, const char* label) {
    size_t len = strlen(text);
    char* p = static_cast<char*>(malloc(len + 1));
    if (p == nullptr) malloc_fail(label, len);
    memcpy(p, text, len + 1);
    return p;
}

}  // namespace qv
