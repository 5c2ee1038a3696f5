#include "settings/registry_file.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace kestrel::settings {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kBlanks = " \t";
// Regedit keeps hex lines within 80 columns, continuing them with a backslash.
constexpr std::size_t kLineWidth = 80;
constexpr std::string_view kContinuationIndent = "  ";
constexpr std::uint32_t kTypeString = 1;
constexpr std::uint32_t kTypeBinary = 3;
constexpr std::uint32_t kTypeDword = 4;

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowerAscii(x) == lowerAscii(y);
           });
}

std::string_view trimLeft(std::string_view s) {
    const auto start = s.find_first_not_of(kBlanks);
    return start == std::string_view::npos ? std::string_view{} : s.substr(start);
}

std::string_view trimRight(std::string_view s) {
    const auto end = s.find_last_not_of(kBlanks);
    return end == std::string_view::npos ? std::string_view{} : s.substr(0, end + 1);
}

std::string_view trim(std::string_view s) {
    return trimRight(trimLeft(s));
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.push_back(line);
    }
    return lines;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// One to eight hex digits, as regedit writes type numbers and dwords.
std::optional<std::uint32_t> parseHexNumber(std::string_view digits) {
    if (digits.empty() || digits.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : digits) {
        const int digit = hexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return value;
}

// "xx,xx,...": every byte exactly two hex digits; an empty list is empty data.
std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view list) {
    std::vector<std::uint8_t> data;
    if (trim(list).empty()) {
        return data;
    }
    while (true) {
        const auto comma = list.find(',');
        const std::string_view token = trim(list.substr(0, comma));
        if (token.size() != 2 || hexDigit(token[0]) < 0 || hexDigit(token[1]) < 0) {
            return std::nullopt;
        }
        data.push_back(static_cast<std::uint8_t>(hexDigit(token[0]) * 16 + hexDigit(token[1])));
        if (comma == std::string_view::npos) {
            return data;
        }
        list.remove_prefix(comma + 1);
    }
}

// A quoted name or string at the start of `s`, unescaped; `s` is left just past the closing
// quote. Only \\ and \" are escapes in this format.
std::optional<std::string> takeQuoted(std::string_view& s) {
    if (!s.starts_with('"')) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return out;
        }
        if (c == '\\') {
            if (i + 1 == s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
                return std::nullopt;
            }
            c = s[++i];
        }
        out.push_back(c);
    }
    return std::nullopt;
}

std::string quote(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string hexByte(std::uint8_t byte) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    return {kDigits[byte >> 4], kDigits[byte & 0x0f]};
}

std::string hexNumber(std::uint32_t value, std::size_t minDigits) {
    std::string out;
    do {
        out.insert(out.begin(), "0123456789abcdef"[value & 0x0f]);
        value >>= 4;
    } while (value != 0);
    if (out.size() < minDigits) {
        out.insert(0, minDigits - out.size(), '0');
    }
    return out;
}

bool fitsOnLine(std::string_view s) {
    return s.find_first_of(std::string_view{"\r\n\0", 3}) == std::string_view::npos;
}

// A REG_SZ can be written in quotes only when its one NUL ends it and no byte would break the
// line; anything else is written as hex(1) so that it reads back exactly.
bool fitsQuoted(const RegValue& value) {
    const auto& d = value.data;
    if (value.type != kTypeString || d.empty() || d.back() != 0) {
        return false;
    }
    const std::string_view text(reinterpret_cast<const char*>(d.data()), d.size() - 1);
    return fitsOnLine(text);
}

std::vector<std::string> formatValue(std::string_view name, const RegValue& value) {
    std::string line = name.empty() ? "@=" : quote(name) + "=";
    if (fitsQuoted(value)) {
        const std::string_view text(reinterpret_cast<const char*>(value.data.data()),
                                    value.data.size() - 1);
        return {line + quote(text)};
    }
    const auto& d = value.data;
    if (value.type == kTypeDword && d.size() == 4) {
        const std::uint32_t number = std::uint32_t{d[0]} | (std::uint32_t{d[1]} << 8) |
                                     (std::uint32_t{d[2]} << 16) | (std::uint32_t{d[3]} << 24);
        return {line + "dword:" + hexNumber(number, 8)};
    }
    line += value.type == kTypeBinary ? "hex:" : "hex(" + hexNumber(value.type, 1) + "):";
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < d.size(); ++i) {
        std::string piece = hexByte(d[i]);
        if (i + 1 < d.size()) {
            piece.push_back(',');
        }
        if (line.size() + piece.size() + 1 > kLineWidth) {
            line.push_back('\\');
            lines.push_back(std::move(line));
            line = kContinuationIndent;
        }
        line += piece;
    }
    lines.push_back(std::move(line));
    return lines;
}

// Parses the value starting at lines[index], advancing `index` past every line it spans and
// keeping those lines in `raw`. False when the lines are not a value in the format.
bool parseValue(const std::vector<std::string_view>& lines, std::size_t& index,
                std::vector<std::string>& raw, std::string& name, RegValue& value) {
    std::string_view rest = trimLeft(lines[index]);
    raw.emplace_back(lines[index]);
    ++index;
    if (rest.starts_with('@')) {
        rest.remove_prefix(1);
    } else if (auto quoted = takeQuoted(rest)) {
        name = std::move(*quoted);
    } else {
        return false;
    }
    rest = trimLeft(rest);
    if (!rest.starts_with('=')) {
        return false;
    }
    rest = trimLeft(rest.substr(1));

    if (rest.starts_with('"')) {
        auto text = takeQuoted(rest);
        if (!text || !trim(rest).empty()) {
            return false;
        }
        value.type = kTypeString;
        value.data.assign(text->begin(), text->end());
        value.data.push_back(0);
        return true;
    }
    if (rest.starts_with("dword:")) {
        const auto number = parseHexNumber(trimRight(rest.substr(6)));
        if (!number) {
            return false;
        }
        value.type = kTypeDword;
        value.data = {static_cast<std::uint8_t>(*number), static_cast<std::uint8_t>(*number >> 8),
                      static_cast<std::uint8_t>(*number >> 16),
                      static_cast<std::uint8_t>(*number >> 24)};
        return true;
    }
    if (!rest.starts_with("hex")) {
        return false;
    }
    rest.remove_prefix(3);
    value.type = kTypeBinary;
    if (rest.starts_with('(')) {
        const auto close = rest.find(')');
        const auto type = close == std::string_view::npos
                              ? std::nullopt
                              : parseHexNumber(rest.substr(1, close - 1));
        if (!type) {
            return false;
        }
        value.type = *type;
        rest.remove_prefix(close + 1);
    }
    if (!rest.starts_with(':')) {
        return false;
    }
    rest.remove_prefix(1);
    // The byte list may go on over lines that end in a backslash.
    std::string list;
    while (true) {
        std::string_view part = trimRight(rest);
        if (!part.ends_with('\\')) {
            list += part;
            break;
        }
        part.remove_suffix(1);
        list += part;
        if (index == lines.size()) {
            return false;  // the file ends where the data should go on
        }
        rest = trimLeft(lines[index]);
        raw.emplace_back(lines[index]);
        ++index;
    }
    auto data = parseHexBytes(list);
    if (!data) {
        return false;
    }
    value.data = std::move(*data);
    return true;
}

}  // namespace

RegDocument::RegDocument() {
    Entry header;
    header.lines.emplace_back(kHeader);
    entries_.push_back(std::move(header));
}

std::optional<RegDocument> RegDocument::parse(std::string_view text) {
    const auto lines = splitLines(text);
    if (lines.empty() || lines.front() != kHeader || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    RegDocument doc;
    bool inKey = false;
    std::size_t index = 1;
    while (index < lines.size()) {
        const std::string_view body = trim(lines[index]);
        Entry entry;
        if (body.empty() || body.starts_with(';')) {
            entry.lines.emplace_back(lines[index]);
            ++index;
        } else if (body.starts_with('[')) {
            if (body.size() < 3 || !body.ends_with(']')) {
                return std::nullopt;
            }
            entry.kind = Entry::Kind::Key;
            entry.keyPath = body.substr(1, body.size() - 2);
            entry.lines.emplace_back(lines[index]);
            inKey = true;
            ++index;
        } else if (inKey && (body.starts_with('"') || body.starts_with('@'))) {
            entry.kind = Entry::Kind::Value;
            if (!parseValue(lines, index, entry.lines, entry.name, entry.value)) {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
        doc.entries_.push_back(std::move(entry));
    }
    return doc;
}

std::string RegDocument::serialize() const {
    std::string out;
    for (const Entry& entry : entries_) {
        for (const std::string& line : entry.lines) {
            out += line;
            out.push_back('\n');
        }
    }
    return out;
}

bool RegDocument::hasKey(std::string_view keyPath) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        return entry.kind == Entry::Kind::Key && equalsIgnoreCase(entry.keyPath, keyPath);
    });
}

void RegDocument::addKey(std::string_view keyPath) {
    const Entry& last = entries_.back();
    const bool endsBlank = last.kind == Entry::Kind::Other && last.lines.size() == 1 &&
                           trim(last.lines.front()).empty();
    Entry blank;
    blank.lines.emplace_back();
    if (!endsBlank) {
        entries_.push_back(blank);
    }
    Entry key;
    key.kind = Entry::Kind::Key;
    key.keyPath = keyPath;
    key.lines.push_back("[" + key.keyPath + "]");
    entries_.push_back(std::move(key));
    entries_.push_back(std::move(blank));
}

const RegValue* RegDocument::findValue(std::string_view keyPath, std::string_view name) const {
    const RegValue* found = nullptr;
    bool inKey = false;
    for (const Entry& entry : entries_) {
        if (entry.kind == Entry::Kind::Key) {
            inKey = equalsIgnoreCase(entry.keyPath, keyPath);
        } else if (inKey && entry.kind == Entry::Kind::Value &&
                   equalsIgnoreCase(entry.name, name)) {
            found = &entry.value;
        }
    }
    return found;
}

bool RegDocument::setValue(std::string_view keyPath, std::string_view name, RegValue value) {
    if (!fitsOnLine(name) || !isValidKeyPath(keyPath)) {
        return false;
    }
    Entry formatted;
    formatted.kind = Entry::Kind::Value;
    formatted.lines = formatValue(name, value);
    formatted.name = name;
    formatted.value = std::move(value);

    // The last occurrence is the one a reader sees, so that is the one replaced.
    std::size_t existing = entries_.size();
    std::size_t lastSection = entries_.size();
    bool inKey = false;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        if (entry.kind == Entry::Kind::Key) {
            inKey = equalsIgnoreCase(entry.keyPath, keyPath);
            if (inKey) {
                lastSection = i;
            }
        } else if (inKey && entry.kind == Entry::Kind::Value &&
                   equalsIgnoreCase(entry.name, name)) {
            existing = i;
        }
    }
    if (existing < entries_.size()) {
        entries_[existing] = std::move(formatted);
        return true;
    }
    if (lastSection == entries_.size()) {
        addKey(keyPath);
        lastSection = entries_.size() - 2;
    }
    std::size_t insertAt = lastSection + 1;
    for (std::size_t i = lastSection + 1;
         i < entries_.size() && entries_[i].kind != Entry::Kind::Key; ++i) {
        if (entries_[i].kind == Entry::Kind::Value) {
            insertAt = i + 1;
        }
    }
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(formatted));
    return true;
}

bool RegDocument::isValidKeyPath(std::string_view keyPath) {
    if (keyPath.empty() || !fitsOnLine(keyPath) || keyPath.find(']') != std::string_view::npos) {
        return false;
    }
    while (true) {
        const auto separator = keyPath.find('\\');
        if (separator == 0 || keyPath.empty()) {
            return false;
        }
        if (separator == std::string_view::npos) {
            return true;
        }
        keyPath.remove_prefix(separator + 1);
    }
}

}  // namespace kestrel::settings
