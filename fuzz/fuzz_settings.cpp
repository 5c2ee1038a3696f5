// The settings file reader fed arbitrary files; then a save and a re-load must give the saved
// texts back.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "settings/connection_settings.h"

namespace s = kestrel::settings;

namespace {

const std::filesystem::path& folder() {
    static const std::filesystem::path path = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kestrel-fuzz-XXXXXX").string();
        return std::filesystem::path(::mkdtemp(pattern.data()));
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path file = folder() / "Pellworth" / "Kestrel.reg";
    std::filesystem::create_directories(file.parent_path());
    std::filesystem::remove(std::filesystem::path(file).concat(".bad"));
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    s::ConnectionTexts loaded{"", "admin", "lanterns", "1600"};
    {
        s::RegistryStore store(file);
        s::loadSettings(loaded, store);
    }
    // Whatever came in, including texts with quotes, backslashes and stray bytes, must survive a
    // save and a load exactly.
    const s::ConnectionTexts saved{loaded.address + "\"\\", loaded.user, loaded.password + "\x01",
                                   loaded.port};
    {
        s::RegistryStore store(file);
        s::saveSettings(saved, store);
    }
    s::ConnectionTexts reloaded{"x", "x", "x", "x"};
    {
        s::RegistryStore store(file);
        s::loadSettings(reloaded, store);
    }
    if (!(reloaded == saved)) {
        std::abort();
    }
    return 0;
}
