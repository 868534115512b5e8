#include "base/settings.h"

namespace qv {

Settings& process_settings() {
    static Settings settings;
    return settings;
}

}  // namespace qv
