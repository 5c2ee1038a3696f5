#include "settings/connection_settings.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace kestrel::settings {

namespace {

constexpr std::array<std::string_view, 4> kNames = {"Address", "User", "Password", "Port"};

bool isText(std::uint32_t type) {
    return type == static_cast<std::uint32_t>(ValueType::String) ||
           type == static_cast<std::uint32_t>(ValueType::ExpandString);
}

}  // namespace

void loadSettings(ConnectionTexts& texts, RegistryStore& store, IfAbsent ifAbsent) noexcept {
    const std::array<std::string*, 4> fields = {&texts.address, &texts.user, &texts.password,
                                                &texts.port};
    try {
        // When the key cannot be opened every query fails, which leaves every text as it is.
        store.openKey(kSettingsKey, IfUnreadable::Fail, ifAbsent);
        for (std::size_t i = 0; i < kNames.size(); ++i) {
            const auto info = store.queryValue(kNames[i]);
            if (!info) {
                continue;
            }
            if (info->size == 0) {
                fields[i]->clear();
                continue;
            }
            if (!isText(info->type)) {
                break;
            }
            const auto data = store.readValue(kNames[i], info->size);
            if (!data) {
                break;
            }
            // Up to the first NUL: the terminating one is part of the data.
            fields[i]->assign(data->begin(), std::find(data->begin(), data->end(), 0));
        }
    } catch (...) {
        // The texts keep what was loaded so far; losing a setting must not stop the window.
    }
    store.closeKey();
}

void saveSettings(const ConnectionTexts& texts, RegistryStore& store) noexcept {
    const std::array<const std::string*, 4> fields = {&texts.address, &texts.user, &texts.password,
                                                      &texts.port};
    try {
        // A save replaces an unreadable file (kept aside) instead of failing on it forever.
        store.openKey(kSettingsKey, IfUnreadable::StartFresh);
        for (std::size_t i = 0; i < kNames.size(); ++i) {
            if (!store.writeString(kNames[i], *fields[i])) {
                break;
            }
        }
    } catch (...) {
        // As after a failed write: closeKey still writes the values set before it.
    }
    store.closeKey();
}

}  // namespace kestrel::settings
