#pragma once
// Where the settings file lives: ${XDG_CONFIG_HOME:-$HOME/.config}/Pellworth/Kestrel.reg.

#include <filesystem>

namespace kestrel::settings {

std::filesystem::path settingsFilePath();

}  // namespace kestrel::settings
