#include "settings/location.h"

#include <cstdlib>

namespace kestrel::settings {

std::filesystem::path settingsFilePath() {
    std::filesystem::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0') {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = std::filesystem::path(home) / ".config";
    } else {
        base = ".config";
    }
    return base / "Pellworth" / "Kestrel.reg";
}

}  // namespace kestrel::settings
