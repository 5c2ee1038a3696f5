#pragma once
// One open key of the per-user registry the app keeps its settings in. On Linux the registry is
// a single file in regedit export format (see registry_file.h) holding keys under
// HKEY_CURRENT_USER; this class offers exactly the registry operations the app relies on.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/location.h"
#include "settings/registry_file.h"

namespace kestrel::settings {

enum class ValueType : std::uint32_t {
    None = 0,
    String = 1,
    ExpandString = 2,
    Binary = 3,
    Dword = 4,
    MultiString = 7,
    // Any other number is a valid type too.
};

struct ValueInfo {
    std::uint32_t type;
    std::size_t size;
};

// What openKey does with a settings file that exists but cannot be read or parsed. A load must
// not touch it (the app keeps its texts, and the user may still repair the file), while a save
// must be able to succeed: it starts from an empty file and, rather than destroying the old
// one, renames it to "<file>.bad" in the same step that writes the new one.
enum class IfUnreadable {
    Fail,        // openKey fails; nothing is read or written
    StartFresh,  // openKey writes a file holding just the empty key, the old one set aside
};

// What openKey does when the key, the file or its folder does not exist. The window creates them
// on its first start; a reader that must leave the disk as it found it (the command-line client)
// fails instead.
enum class IfAbsent {
    Create,  // the key (and the file and folder) is created and written at once
    Fail,    // openKey fails; nothing is written
};

class RegistryStore {
public:
    explicit RegistryStore(std::filesystem::path file = settingsFilePath());
    // Closes the key, writing what was written through it.
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // Opens the key under HKEY_CURRENT_USER; `path` may start with a backslash
    // ("\\Software\\Pellworth\\Kestrel") or not. When the key (or the file, or its folder) is
    // absent it is created and written at once, the folder 0700 and the file 0600, unless
    // `ifAbsent` is Fail: then openKey never writes anything. Closes any key already open first.
    // Returns whether the key is open.
    bool openKey(std::string_view path, IfUnreadable ifUnreadable = IfUnreadable::Fail,
                 IfAbsent ifAbsent = IfAbsent::Create);

    // Type and data size of a value without reading it; empty when it does not exist or no key
    // is open. The name "" is the key's default value.
    [[nodiscard]] std::optional<ValueInfo> queryValue(std::string_view name) const;

    // The value's data; empty when it does not exist, no key is open, or its size is not `size`.
    [[nodiscard]] std::optional<std::vector<std::uint8_t>> readValue(std::string_view name,
                                                                     std::size_t size) const;

    // Sets a REG_SZ value: the text's bytes, exactly as given, plus a terminating NUL. It reaches
    // the file at closeKey. False when no key is open or the name cannot be stored (it holds a
    // CR, LF or NUL).
    bool writeString(std::string_view name, std::string_view text);

    // Closes the key. If anything was written through it, the file is replaced atomically (a
    // temporary file beside it, fsync, rename). False when that write failed; the file then
    // still holds what it held before. Closing with no key open does nothing and succeeds.
    bool closeKey() noexcept;

    [[nodiscard]] bool isOpen() const noexcept { return open_.has_value(); }
    [[nodiscard]] const std::filesystem::path& file() const noexcept { return file_; }

private:
    struct OpenKey {
        std::string keyPath;  // full, "HKEY_CURRENT_USER\\..."
        RegDocument document;
        bool dirty = false;
    };

    [[nodiscard]] const RegValue* find(std::string_view name) const;
    [[nodiscard]] bool writeFile(const RegDocument& document, bool setAsideUnreadable) const;

    std::filesystem::path file_;
    std::optional<OpenKey> open_;
};

}  // namespace kestrel::settings
