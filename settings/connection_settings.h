#pragma once
// The four connection texts the window remembers between runs, kept as REG_SZ values of the
// app's registry key.

#include <string>
#include <string_view>

#include "settings/registry_store.h"

namespace kestrel::settings {

inline constexpr std::string_view kSettingsKey = R"(\Software\Pellworth\Kestrel)";

struct ConnectionTexts {
    std::string address;
    std::string user;
    std::string password;
    std::string port;

    friend bool operator==(const ConnectionTexts&, const ConnectionTexts&) = default;
};

// Fills the texts from the key's values "Address", "User", "Password" and "Port", in that order.
// A missing value leaves its text; a value of size 0 empties it; a REG_SZ or REG_EXPAND_SZ (taken
// literally) gives its data up to the first NUL. A value of any other type, or one that cannot be
// read, ends the load there: it and the later texts keep what they hold. A file that cannot be
// read changes nothing. Never throws; the key is closed in every case. With IfAbsent::Fail a
// missing key, file or folder is left missing: the load then writes nothing at all.
void loadSettings(ConnectionTexts& texts, RegistryStore& store,
                  IfAbsent ifAbsent = IfAbsent::Create) noexcept;

// Writes the four texts, in the same order, as REG_SZ values; they reach the file together, in
// one replacement when the key is closed. A write that fails ends the save there. A file that
// cannot be read is set aside as "<file>.bad" and a new one written. Never throws; the key is
// closed in every case.
void saveSettings(const ConnectionTexts& texts, RegistryStore& store) noexcept;

}  // namespace kestrel::settings
