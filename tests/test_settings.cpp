// The settings store and the load and save of the four connection texts.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "settings/connection_settings.h"
#include "settings/registry_store.h"
#include "temp_dir.h"

namespace kestrel::settings {

void PrintTo(const ConnectionTexts& texts, std::ostream* out) {
    *out << "{" << ::testing::PrintToString(texts.address) << ", "
         << ::testing::PrintToString(texts.user) << ", " << ::testing::PrintToString(texts.password)
         << ", " << ::testing::PrintToString(texts.port) << "}";
}

}  // namespace kestrel::settings

namespace {

using namespace std::string_literals;
using kestrel::settings::ConnectionTexts;
using kestrel::settings::IfUnreadable;
using kestrel::settings::RegistryStore;
namespace fs = std::filesystem;

// What the window's edits hold before a load.
const ConnectionTexts kDefaults{"", "admin", "lanterns", "1600"};

const std::string kHead = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Pellworth\\Kestrel]\n";

using kestrel::testing::namesIn;
using kestrel::testing::readText;
using kestrel::testing::TempDir;
using kestrel::testing::writeText;

// Sets an environment variable for one test and puts back what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

fs::perms permissionsOf(const fs::path& path) {
    return fs::status(path).permissions() & fs::perms::all;
}

constexpr fs::perms kOwnerReadWrite = fs::perms::owner_read | fs::perms::owner_write;

// A settings file of its own in a fresh temporary folder.
struct Sandbox {
    TempDir dir;
    fs::path file = dir.path() / "Pellworth" / "Kestrel.reg";

    [[nodiscard]] ConnectionTexts load(ConnectionTexts texts = kDefaults) const {
        RegistryStore store(file);
        loadSettings(texts, store);
        return texts;
    }
    void save(const ConnectionTexts& texts) const {
        RegistryStore store(file);
        saveSettings(texts, store);
    }
};

TEST(Settings, FirstStartCreatesTheFolderAndAnEmptyKey) {
    const TempDir dir;
    const ScopedEnv config("XDG_CONFIG_HOME", (dir.path() / "config").string());
    RegistryStore store;
    ConnectionTexts texts = kDefaults;
    loadSettings(texts, store);

    EXPECT_EQ(texts, kDefaults);
    const fs::path folder = dir.path() / "config" / "Pellworth";
    EXPECT_EQ(readText(folder / "Kestrel.reg"), kHead + "\n");
    EXPECT_EQ(permissionsOf(folder), fs::perms::owner_all);
    EXPECT_EQ(permissionsOf(folder / "Kestrel.reg"), kOwnerReadWrite);
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"Kestrel.reg"});
}

TEST(Settings, SaveWritesTheFourTextsAsStringValues) {
    const Sandbox box;
    box.save({"127.0.0.1", "admin", "lanterns", "1600"});
    EXPECT_EQ(readText(box.file), kHead +
                                      "\"Address\"=\"127.0.0.1\"\n"
                                      "\"User\"=\"admin\"\n"
                                      "\"Password\"=\"lanterns\"\n"
                                      "\"Port\"=\"1600\"\n"
                                      "\n");
    EXPECT_EQ(permissionsOf(box.file), kOwnerReadWrite);
}

TEST(Settings, ASettingsFileThatIsALinkStaysOne) {
    const Sandbox box;
    const fs::path real = box.dir.path() / "dotfiles" / "Kestrel.reg";
    fs::create_directories(real.parent_path());
    fs::create_directories(box.file.parent_path());
    writeText(real, kHead + "\n");
    fs::create_symlink(real, box.file);
    const ConnectionTexts saved{"10.0.0.9", "op", "pw", "1601"};
    box.save(saved);
    EXPECT_TRUE(fs::is_symlink(box.file));
    EXPECT_EQ(box.load(), saved);
    EXPECT_NE(readText(real).find("\"Address\"=\"10.0.0.9\""), std::string::npos);
}

TEST(Settings, SavedTextsLoadBackExactly) {
    const ConnectionTexts rows[] = {
        {" 192.168.0.10 ", "\"quoted\" \\back\\slash\\", "pässwörd ✓ 密码", "not a number"},
        {"camera.local", " ", "\\\"", "-1"},
        {"", "", "", ""},  // empty stays empty rather than falling back to the defaults
        {"two\nlines", "carriage\rreturn", "\ttab ", "1600\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row));
        const Sandbox box;
        box.save(row);
        EXPECT_EQ(box.load(), row);
    }
}

TEST(Settings, LoadTakesStringValuesAndStopsAtOtherTypes) {
    struct Row {
        const char* what;
        std::string file;
        ConnectionTexts expected;
    };
    const Row rows[] = {
        {"an expandable string is taken literally",
         kHead + "\"Address\"=hex(2):25,48,4f,53,54,25,00\n",
         {"%HOST%", "admin", "lanterns", "1600"}},
        {"data ends at its first NUL",
         kHead + "\"User\"=hex(1):61,62,00,63,64,00\n",
         {"", "ab", "lanterns", "1600"}},
        {"hex data continued over lines",
         kHead + "\"Password\"=hex(2):73,65,\\\n  63,72,\\\n  65,74,00\n",
         {"", "admin", "secret", "1600"}},
        {"a missing value keeps its text",
         kHead + "\"Port\"=\"8080\"\n",
         {"", "admin", "lanterns", "8080"}},
        {"a value of size 0 empties its text",
         kHead + "\"User\"=hex(2):\n",
         {"", "", "lanterns", "1600"}},
        {"escapes in quoted data",
         kHead + "\"User\"=\"a\\\"b\\\\\"\n",
         {"", "a\"b\\", "lanterns", "1600"}},
        {"a dword Address stops the load at once",
         kHead + "\"Address\"=dword:0000002a\n\"User\"=\"u\"\n\"Password\"=\"p\"\n\"Port\"=\"1\"\n",
         kDefaults},
        {"a multi-string Port keeps its text",
         kHead +
             "\"Address\"=\"a\"\n\"User\"=\"u\"\n\"Password\"=\"p\"\n\"Port\"=hex(7):31,00,00\n",
         {"a", "u", "p", "1600"}},
        {"binary data stops the load there",
         kHead + "\"Address\"=\"a\"\n\"User\"=hex:75,00\n\"Password\"=\"p\"\n",
         {"a", "admin", "lanterns", "1600"}},
        {"CRLF line ends; names in any case",
         "REGEDIT4\r\n\r\n[hkey_current_user\\software\\pellworth\\kestrel]\r\n"
         "\"ADDRESS\"=\"a\"\r\n\"password\"=hex(2):70,\\\r\n  00\r\n",
         {"a", "admin", "p", "1600"}},
        {"the same names in another key are not ours",
         kHead + "\n[HKEY_CURRENT_USER\\Software\\Pellworth\\Kestrel\\Old]\n\"Address\"=\"x\"\n",
         kDefaults},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Sandbox box;
        writeText(box.file, row.file);
        EXPECT_EQ(box.load(), row.expected);
        EXPECT_EQ(readText(box.file), row.file);  // a load writes nothing
    }
}

TEST(Settings, StoreReportsTypeAndExactDataOfEachForm) {
    struct Row {
        std::string line;
        std::string name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    };
    const Row rows[] = {
        {"\"V\"=\"ab\"", "V", 1, {'a', 'b', 0}},
        {"\"V\"=\"\"", "V", 1, {0}},
        {"@=\"d\"", "", 1, {'d', 0}},
        {"\"a\\\"b\\\\c\"=\"x\"", "a\"b\\c", 1, {'x', 0}},
        {"\"V\"=dword:0000002a", "V", 4, {0x2a, 0, 0, 0}},
        {"\"V\"=hex:de,AD", "V", 3, {0xde, 0xad}},
        {"\"V\"=hex(7):61,00,00", "V", 7, {'a', 0, 0}},
        {"\"V\"=hex(a):01,\\\n  02", "V", 10, {1, 2}},
        {"\"V\"=hex(0):", "V", 0, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        const Sandbox box;
        writeText(box.file, kHead + row.line + "\n");
        RegistryStore store(box.file);
        ASSERT_TRUE(store.openKey("Software\\Pellworth\\Kestrel"));
        const auto info = store.queryValue(row.name);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->type, row.type);
        EXPECT_EQ(info->size, row.data.size());
        EXPECT_EQ(store.readValue(row.name, row.data.size()), row.data);
        EXPECT_EQ(store.readValue(row.name, row.data.size() + 1), std::nullopt);
        EXPECT_EQ(store.queryValue("Other"), std::nullopt);
    }
}

TEST(Settings, WriteStringKeepsEveryByteOfTheText) {
    struct Row {
        std::string text;
        std::optional<std::string> line;  // as written in the file; none: too long to spell out
    };
    const Row rows[] = {
        {"plain", "\"V\"=\"plain\""},
        {"say \"hi\" \\o/", "\"V\"=\"say \\\"hi\\\" \\\\o/\""},
        {"", "\"V\"=\"\""},
        {"a\0b"s, "\"V\"=hex(1):61,00,62,00"},
        {"x\ny", "\"V\"=hex(1):78,0a,79,00"},
        {std::string(40, '\r'), std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.text));
        const Sandbox box;
        {
            RegistryStore store(box.file);
            ASSERT_TRUE(store.openKey("\\Software\\Pellworth\\Kestrel"));
            ASSERT_TRUE(store.writeString("V", row.text));
            ASSERT_TRUE(store.closeKey());
        }
        const std::string file = readText(box.file);
        if (row.line) {
            EXPECT_EQ(file, kHead + *row.line + "\n\n");
        } else {
            EXPECT_NE(file.find(",\\\n  0d,"), std::string::npos) << file;  // hex goes on
        }
        std::vector<std::uint8_t> expected(row.text.begin(), row.text.end());
        expected.push_back(0);
        RegistryStore store(box.file);
        ASSERT_TRUE(store.openKey("Software\\Pellworth\\Kestrel"));
        EXPECT_EQ(store.readValue("V", expected.size()), expected);
    }
}

TEST(Settings, SaveKeepsOtherKeysAndValuesAsTheyWere) {
    const std::string before =
        "REGEDIT4\n"
        "\n"
        "; kept by hand\n"
        "[HKEY_CURRENT_USER\\Software\\Pellworth\\Other]\n"
        "\"Address\"=\"elsewhere\"\n"
        "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
        "    16,17\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\Pellworth\\Kestrel]\n"
        "\"Theme\"=\"dark\"\n"
        "\"User\"   =   \"old\"\n"
        "@=dword:00000001\n"
        "\"Window\"=hex:01,02\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Pellworth]\n"
        "\"Id\"=hex(b):01,00,00,00,00,00,00,00\n";
    const std::string after =
        "REGEDIT4\n"
        "\n"
        "; kept by hand\n"
        "[HKEY_CURRENT_USER\\Software\\Pellworth\\Other]\n"
        "\"Address\"=\"elsewhere\"\n"
        "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
        "    16,17\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\Pellworth\\Kestrel]\n"
        "\"Theme\"=\"dark\"\n"
        "\"User\"=\"new\"\n"
        "@=dword:00000001\n"
        "\"Window\"=hex:01,02\n"
        "\"Address\"=\"10.0.0.2\"\n"
        "\"Password\"=\"pw\"\n"
        "\"Port\"=\"1601\"\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Pellworth]\n"
        "\"Id\"=hex(b):01,00,00,00,00,00,00,00\n";
    const Sandbox box;
    writeText(box.file, before);
    fs::permissions(box.file, fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::others_read);

    box.save({"10.0.0.2", "new", "pw", "1601"});

    EXPECT_EQ(readText(box.file), after);
    EXPECT_EQ(permissionsOf(box.file), kOwnerReadWrite);
    EXPECT_EQ(namesIn(box.file.parent_path()), std::vector<std::string>{"Kestrel.reg"});
}

TEST(Settings, CorruptFileIsLeftByLoadAndSetAsideBySave) {
    struct Row {
        const char* what;
        std::string file;
    };
    const Row rows[] = {
        {"empty", ""},
        {"binary garbage", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR"s},
        {"another format", "[General]\nAddress=127.0.0.1\n"},
        {"no REGEDIT4 line", "[HKEY_CURRENT_USER\\Software\\Pellworth\\Kestrel]\n\"User\"=\"x\"\n"},
        {"a value outside any key", "REGEDIT4\n\n\"User\"=\"x\"\n"},
        {"unterminated quote", kHead + "\"User\"=\"x\n"},
        {"unknown escape", kHead + "\"User\"=\"a\\nb\"\n"},
        {"truncated mid-hex", kHead + "\"User\"=hex(2):61,6"},
        {"truncated after a continuation", kHead + "\"User\"=hex(2):61,\\\n"},
        {"bad hex", kHead + "\"Port\"=hex:zz,00\n"},
        {"bad dword", kHead + "\"Port\"=dword:123456789\n"},
    };
    const ConnectionTexts saved{"10.1.1.1", "root", "pw", "1600"};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Sandbox box;
        writeText(box.file, row.file);

        EXPECT_EQ(box.load(), kDefaults);
        EXPECT_EQ(readText(box.file), row.file);
        EXPECT_EQ(namesIn(box.file.parent_path()), std::vector<std::string>{"Kestrel.reg"});

        box.save(saved);
        EXPECT_EQ(box.load(), saved);
        EXPECT_EQ(readText(box.file.string() + ".bad"), row.file);
        EXPECT_EQ(namesIn(box.file.parent_path()),
                  (std::vector<std::string>{"Kestrel.reg", "Kestrel.reg.bad"}));
    }
}

TEST(Settings, UnwritableLocationChangesNothing) {
    const TempDir dir;
    // A regular file where the config folder should be: creation fails even for root.
    const fs::path blocker = dir.path() / "config";
    writeText(blocker, "not a folder");
    const fs::path file = blocker / "Pellworth" / "Kestrel.reg";

    RegistryStore store(file);
    EXPECT_FALSE(store.openKey("\\Software\\Pellworth\\Kestrel", IfUnreadable::StartFresh));
    EXPECT_FALSE(store.writeString("User", "x"));

    ConnectionTexts texts = kDefaults;
    loadSettings(texts, store);
    EXPECT_EQ(texts, kDefaults);
    saveSettings({"a", "b", "c", "d"}, store);

    EXPECT_EQ(readText(blocker), "not a folder");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"config"});
}

TEST(Settings, FailuresAreReportedAsValues) {
    const Sandbox box;
    RegistryStore store(box.file);
    EXPECT_EQ(store.queryValue("User"), std::nullopt);
    EXPECT_EQ(store.readValue("User", 1), std::nullopt);
    EXPECT_FALSE(store.writeString("User", "x"));
    EXPECT_TRUE(store.closeKey());

    for (const std::string_view bad : {"", "\\", "Software\\\\Pellworth", "Software\\", "a]b"}) {
        EXPECT_FALSE(store.openKey(bad)) << bad;
    }
    EXPECT_FALSE(fs::exists(box.file));

    ASSERT_TRUE(store.openKey("Software\\Pellworth\\Kestrel"));
    EXPECT_FALSE(store.writeString("two\nlines", "x"));
    EXPECT_TRUE(store.writeString("User", "x"));
    // The file's place taken by a folder: the rename fails and no temporary file stays behind.
    fs::remove(box.file);
    fs::create_directories(box.file / "inside");
    EXPECT_FALSE(store.closeKey());
    EXPECT_EQ(namesIn(box.file.parent_path()), std::vector<std::string>{"Kestrel.reg"});
}

}  // namespace
