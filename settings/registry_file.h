#pragma once
// The regedit export format ("REGEDIT4") the settings file is kept in. A parsed document keeps
// every original line, so that a rewrite changes only the values written through it and leaves
// other keys, values, comments and spacing as they were.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::settings {

// A value as stored: its registry type number and every byte of its data.
struct RegValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

class RegDocument {
public:
    // A document holding only the REGEDIT4 line.
    RegDocument();

    // The document in `text`; empty when the text is not in the format (no REGEDIT4 first line,
    // broken quoting, bad hex, a value outside any key, a stray line, a NUL byte, ...).
    // CRLF and LF line ends are both accepted.
    static std::optional<RegDocument> parse(std::string_view text);

    // The whole file, every line ended by LF.
    [[nodiscard]] std::string serialize() const;

    // Key paths are full ("HKEY_CURRENT_USER\\Software\\...") and, as in the registry, compared
    // without regard to ASCII case; so are value names.
    [[nodiscard]] bool hasKey(std::string_view keyPath) const;
    // Appends the key, empty, at the end of the document.
    void addKey(std::string_view keyPath);

    // The value named `name` ("" is the default value, "@") in the key; when the file repeats it,
    // the last one, as an import would leave it. Null when absent.
    [[nodiscard]] const RegValue* findValue(std::string_view keyPath, std::string_view name) const;

    // Sets the value: its lines are replaced where it stands, or it is added after the key's
    // last value (the key is added first if absent). False, and nothing changed, when the name
    // cannot stand on a value line (it holds a CR, LF or NUL).
    bool setValue(std::string_view keyPath, std::string_view name, RegValue value);

    // Whether a key path can be written on a key line: not empty, no empty component, none of
    // CR, LF, NUL or ']'.
    static bool isValidKeyPath(std::string_view keyPath);

private:
    struct Entry {
        enum class Kind { Other, Key, Value };
        Kind kind = Kind::Other;
        std::vector<std::string> lines;  // without line ends; a hex value may span several
        std::string keyPath;             // Key: the text between the brackets
        std::string name;                // Value: its name, "" for "@"
        RegValue value;                  // Value
    };

    std::vector<Entry> entries_;
};

}  // namespace kestrel::settings
