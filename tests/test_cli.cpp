// kestrel-cli run in-process against the scripted fake camera: the bytes each command sends, how
// replies are judged, the files the stream commands write, exit statuses and messages, the
// settings it reads without writing, and the stream framer underneath.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_camera.h"
#include "protocol/bytes.h"
#include "protocol/jpeg_header.h"
#include "protocol/stream_packet.h"
#include "protocol/wire.h"
#include "settings/connection_settings.h"
#include "settings/registry_store.h"
#include "temp_dir.h"
#include "tools/camsim/sample_frames.h"
#include "tools/cli/cli.h"
#include "video/stream_framer.h"

namespace {

namespace fs = std::filesystem;
namespace p = kestrel::protocol;
namespace v = kestrel::video;
using kestrel::camsim::encodedFrame;
using kestrel::camsim::framePackets;
using namespace kestrel::testing;
using namespace std::chrono_literals;

template <typename Message>
Bytes bytesOf(const Message& message) {
    return {message.begin(), message.end()};
}

Bytes ack(std::uint8_t sequence) {
    return commandReply(p::Ack, sequence);
}

// The whole JPEG image of a frame as the client assembles it: the patched header, then the data.
Bytes imageOf(std::uint16_t height, std::uint16_t width, const Bytes& data) {
    Bytes image(p::JpegHeaderTemplate.begin(), p::JpegHeaderTemplate.end());
    p::patchJpegHeader(std::span<std::uint8_t, p::kJpegHeaderSize>(image.data(), image.size()),
                       height, width);
    image.insert(image.end(), data.begin(), data.end());
    return image;
}

Bytes framesOf(const Bytes& data, std::uint16_t height, std::uint16_t width) {
    return p::packetiseFrame(data, {height, width});
}

// A packet of the given Kind and Length, its data counting up.
Bytes packet(std::uint8_t kind, std::size_t length) {
    Bytes bytes(length, 0);
    p::putU16(bytes, 0, static_cast<std::uint16_t>(length));
    bytes[2] = kind;
    for (std::size_t i = 3; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    return bytes;
}

// The packets of a stream, cut by their Length.
std::vector<Bytes> packetsOf(const Bytes& stream) {
    std::vector<Bytes> packets;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t length = p::packetLength(stream[at], stream[at + 1]);
        packets.emplace_back(stream.begin() + static_cast<long>(at),
                             stream.begin() + static_cast<long>(at + length));
        at += length;
    }
    return packets;
}

using kestrel::testing::namesIn;
using kestrel::testing::readBytes;
using kestrel::testing::TempDir;
using kestrel::testing::writeText;

// Every test gets a settings location of its own, absent until a test writes there, so that
// nothing of the user's is read.
class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
            oldConfig_ = old;
        }
        ::setenv("XDG_CONFIG_HOME", config().c_str(), 1);
    }
    void TearDown() override {
        if (oldConfig_) {
            ::setenv("XDG_CONFIG_HOME", oldConfig_->c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }
    }

    [[nodiscard]] fs::path config() const { return dir_.path() / "config"; }
    [[nodiscard]] fs::path settingsFile() const { return config() / "Pellworth" / "Kestrel.reg"; }
    [[nodiscard]] fs::path scratch() const { return dir_.path(); }

    struct Run {
        int status = 0;
        std::string out;
        std::string err;
    };

    static Run cli(const std::vector<std::string>& args) {
        std::ostringstream out;
        std::ostringstream err;
        const int status = kestrel::cli::runCli(args, out, err);
        return {status, out.str(), err.str()};
    }

    // The words with the camera's address and port in front.
    static std::vector<std::string> at(const FakeCamera& camera, std::vector<std::string> words) {
        std::vector<std::string> args{"--address", "127.0.0.1", "--port", camera.portText()};
        args.insert(args.end(), words.begin(), words.end());
        return args;
    }

    // What the client sent after its Logon, once it has closed the connection.
    static Bytes sentAfterLogon(const FakeCamera& camera) {
        EXPECT_TRUE(camera.waitFinished());
        const Bytes all = camera.received();
        return all.size() < p::kLogonSize ? Bytes{} : Bytes(all.begin() + p::kLogonSize, all.end());
    }

private:
    TempDir dir_;
    std::optional<std::string> oldConfig_;
};

// ---- Commands: bytes on the wire and reply handling

TEST_F(Cli, CommandsSendTheWindowsBytesAndJudgeRepliesAsItDoes) {
    // The camera answers error 7 to the first command: only commands that read their reply fail.
    struct Row {
        std::vector<std::string> words;
        Bytes request;  // with sequence number 1, the first after the Logon
        bool readsReply;
    };
    const Row rows[] = {
        {{"move", "up"}, bytesOf(p::buildMoveCamera(1, 0)), true},
        {{"move", "down"}, bytesOf(p::buildMoveCamera(1, 2)), true},
        {{"move", "left"}, bytesOf(p::buildMoveCamera(1, 4)), true},
        {{"move", "right"}, bytesOf(p::buildMoveCamera(1, 6)), true},
        {{"light", "on"}, bytesOf(p::buildSetStatusLight(1, 1)), false},
        {{"light", "off"}, bytesOf(p::buildSetStatusLight(1, 0)), false},
        {{"brightness", "0"}, bytesOf(p::buildSetBrightness(1, 0)), true},
        {{"brightness", "10"}, bytesOf(p::buildSetBrightness(1, 10)), true},
        {{"size", "160x120"}, bytesOf(p::buildSelectStream(1, 0)), false},
        {{"size", "320x240"}, bytesOf(p::buildSelectStream(1, 1)), false},
        {{"size", "640x480"}, bytesOf(p::buildSelectStream(1, 2)), false},
        {{"reset"}, bytesOf(p::buildResetCamera(1)), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.words));
        const FakeCamera camera(afterLogon({Expect{row.request.size()}, Send{commandReply(7, 1)}}));
        const Run run = cli(at(camera, row.words));
        EXPECT_EQ(run.status, row.readsReply ? 1 : 0);
        EXPECT_EQ(run.err, row.readsReply ? "kestrel-cli: Command failed: Error 7\n" : "");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(sentAfterLogon(camera), row.request);
    }
}

TEST_F(Cli, SequenceAdvancesAndUnreadRepliesWaitForTheNextReader) {
    struct Row {
        const char* what;
        std::vector<std::string> words;
        std::vector<Step> script;  // after the Logon
        Bytes sent;
        int status;
        std::string err;
    };
    const Row rows[] = {
        {"two reading commands",
         {"move", "up", "reset"},
         {Expect{5}, Send{ack(1)}, Expect{4}, Send{ack(2)}},
         concat({bytesOf(p::buildMoveCamera(1, 0)), bytesOf(p::buildResetCamera(2))}),
         0,
         ""},
        {"the light's refusal is read by the move after it",
         {"light", "on", "move", "up"},
         {Expect{5}, Send{commandReply(7, 1)}, Expect{5}, Send{ack(2)}},
         concat({bytesOf(p::buildSetStatusLight(1, 1)), bytesOf(p::buildMoveCamera(2, 0))}),
         1,
         "kestrel-cli: Command failed: Error 7\n"},
        {"the size's Ack is read by the brightness after it",
         {"size", "640x480", "brightness", "3"},
         {Expect{9}, Send{ack(1)}, Expect{8}, Send{commandReply(5, 2)}},
         concat({bytesOf(p::buildSelectStream(1, 2)), bytesOf(p::buildSetBrightness(2, 3))}),
         0,
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const FakeCamera camera(afterLogon(row.script));
        const Run run = cli(at(camera, row.words));
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(run.err, row.err);
        EXPECT_EQ(sentAfterLogon(camera), row.sent);
    }
}

TEST_F(Cli, VerboseLogsRequestsAndReplies) {
    const FakeCamera camera(afterLogon({Expect{5}, Send{ack(1)}}));
    const Run run = cli(at(camera, {"--verbose", "move", "up", "light", "on"}));
    EXPECT_EQ(run.status, 0);
    for (const char* line :
         {"kestrel-cli: -> Logon seq 0", "kestrel-cli: <- Logon seq 0 reply: Ack",
          "kestrel-cli: -> MoveCamera seq 1\n", "kestrel-cli: <- MoveCamera seq 1 reply: Ack\n",
          "kestrel-cli: -> SetStatusLight seq 2 (reply not read)\n"}) {
        EXPECT_NE(run.err.find(line), std::string::npos) << line << "\nin\n" << run.err;
    }
    EXPECT_EQ(run.err.find("lanterns"), std::string::npos);
}

// ---- Snapshot

TEST_F(Cli, SnapshotWritesTheFirstFrameByteForByte) {
    const Bytes data = encodedFrame(160, 120);
    const Bytes frame = framePackets(160, 120);
    Bytes longReply = ack(1);  // a reply longer than its four bytes, its rest sent later
    p::putU16(longReply, 0, 7);
    longReply.insert(longReply.end(), {0xEE, 0xEE, 0xEE});
    const Bytes start = bytesOf(p::buildStartStream(1, 42));
    const Bytes stop = bytesOf(p::buildStopStream(2));

    struct Row {
        const char* what;
        std::vector<std::string> before;  // commands ahead of the snapshot
        std::vector<Step> script;
        Bytes sent;
    };
    const Row rows[] = {
        {"frame in the same piece as the start reply",
         {},
         {Expect{11}, Send{concat({ack(1), frame})}, Expect{4}},
         concat({start, stop})},
        {"frame in odd pieces",
         {},
         {Expect{11}, Send{ack(1)}, SendSplit{frame, 333, 1ms}, Expect{4}},
         concat({start, stop})},
        {"start reply whose rest comes with the frame",
         {},
         {Expect{11}, Send{Bytes(longReply.begin(), longReply.begin() + 4)}, Pause{100ms},
          Send{concat({Bytes(longReply.begin() + 4, longReply.end()), frame})}, Expect{4}},
         concat({start, stop})},
        {"after a light reply nobody read",
         {"light", "on"},
         {Expect{5}, Expect{11}, Send{concat({ack(1), ack(2), frame})}, Expect{4}},
         concat({bytesOf(p::buildSetStatusLight(1, 1)), bytesOf(p::buildStartStream(2, 42)),
                 bytesOf(p::buildStopStream(3))})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const fs::path file = scratch() / "snapshot.jpg";
        fs::remove(file);
        const FakeCamera camera(afterLogon(row.script));
        std::vector<std::string> words = row.before;
        words.insert(words.end(), {"snapshot", file.string()});
        const Run run = cli(at(camera, words));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(readBytes(file), imageOf(120, 160, data));
        EXPECT_EQ(sentAfterLogon(camera), row.sent);
    }
}

// ---- Failures and usage

TEST_F(Cli, FailuresExitWithTheWindowsMessage) {
    const Bytes frame = framePackets(160, 120);
    struct Row {
        const char* what;
        std::vector<Step> script;  // the whole script, Logon included
        std::vector<std::string> args;
        std::string err;
        std::optional<Bytes> sent;  // after the Logon, where it matters
    };
    const std::vector<Row> rows = {
        {"refused logon",
         {Expect{p::kLogonSize}, Send{logonReply(2)}},
         {"move", "up"},
         "Logon failed: Error 2",
         Bytes{}},
        {"silent camera",
         {Expect{p::kLogonSize}},
         {"move", "up"},
         "Failed to receive logon response.",
         Bytes{}},
        {"silent after a move",
         afterLogon({Expect{5}}),
         {"move", "up", "reset"},
         "Failed to receive response.",
         bytesOf(p::buildMoveCamera(1, 0))},
        {"refused stream",
         afterLogon({Expect{11}, Send{commandReply(3, 1)}}),
         {"snapshot", "x.jpg"},
         "Command failed: Error 3",
         bytesOf(p::buildStartStream(1, 42))},
        {"brightness above the maximum: nothing is sent",
         afterLogon({}),
         {"move", "up", "brightness", "11"},
         "Brightness 11 is out of range: this camera takes 0 to 10.",
         Bytes{}},
        {"negative brightness",
         afterLogon({}),
         {"brightness", "-1"},
         "Brightness -1 is out of range: this camera takes 0 to 10.",
         Bytes{}},
        {"unwritable snapshot path",
         afterLogon({Expect{11}, Send{concat({ack(1), frame})}, Expect{4}}),
         {"snapshot", "/proc/kestrel-cli-test/snapshot.jpg"},
         "Failed to create the file for saving.",
         concat({bytesOf(p::buildStartStream(1, 42)), bytesOf(p::buildStopStream(2))})},
        {"camera closes in the middle of a frame",
         afterLogon({Expect{11}, Send{concat({ack(1), Bytes(frame.begin(), frame.begin() + 100)})},
                     Close{}}),
         {"snapshot", "x.jpg"},
         "The camera closed the connection.",
         bytesOf(p::buildStartStream(1, 42))},
        {"not an address",
         {},
         {"--address", "300.1.2.3", "reset"},
         "Invalid IP address.",
         std::nullopt},
        {"missing password file",
         {},
         {"--password-file", "/nonexistent/kestrel-pass", "reset"},
         "Cannot read the password file /nonexistent/kestrel-pass: No such file or directory.",
         std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const FakeCamera camera(row.script);
        std::vector<std::string> args = at(camera, {});
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Run run = cli(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "kestrel-cli: " + row.err + "\n");
        EXPECT_EQ(run.out, "");
        if (row.sent) {
            EXPECT_EQ(sentAfterLogon(camera), *row.sent);
        }
    }
}

TEST_F(Cli, UsageErrorsExitTwoBeforeConnecting) {
    struct Row {
        std::vector<std::string> args;
        std::string message;
    };
    const Row rows[] = {
        {{}, "no command given"},
        {{"--verbose"}, "no command given"},
        {{"dance"}, "unknown command dance"},
        {{"move"}, "the direction of move is missing"},
        {{"move", "sideways"}, "move takes up, down, left or right"},
        {{"light", "dim"}, "light takes on or off"},
        {{"brightness", "ten"}, "brightness takes a whole number"},
        {{"size", "800x600"}, "size takes 160x120, 320x240 or 640x480"},
        {{"snapshot"}, "the FILE of snapshot is missing"},
        {{"record", "frames"}, "record needs --frames N or --seconds S"},
        {{"record", "frames", "--frames", "0"}, "--frames takes a whole number from 1"},
        {{"record", "frames", "--seconds", "-1"},
         "--seconds takes a number of seconds above 0, at most 86400"},
        {{"stats", "--seconds", "0"}, "--seconds takes a number of seconds above 0, at most 86400"},
        {{"stats", "--frames", "3"}, "stats takes --seconds S"},
        {{"stats"}, "stats needs --seconds S"},
        {{"--password", "secret", "reset"},
         "the password is not taken from the command line (others could see it); use "
         "--password-file F"},
        {{"--port", "0", "reset"}, "--port takes a number from 1 to 65535"},
        {{"--port=70000", "reset"}, "--port takes a number from 1 to 65535"},
        {{"reset", "--address"}, "the value of --address is missing"},
        {{"--colour", "reset"}, "unknown option --colour"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        const Run run = cli(row.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "kestrel-cli: " + row.message +
                               "\nUsage: kestrel-cli [--address A] [--port P] [--user U] "
                               "[--password-file F] [--verbose] COMMAND...\n"
                               "Try 'kestrel-cli --help' for more.\n");
        EXPECT_EQ(run.out, "");
    }

    const Run help = cli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char* section : {"NAME\n", "SYNOPSIS\n", "DESCRIPTION\n", "COMMANDS\n", "OPTIONS\n",
                                "EXIT STATUS\n", "EXAMPLES\n"}) {
        EXPECT_NE(help.out.find(section), std::string::npos) << section;
    }
}

// ---- A hostile stream

// Everything a broken or hostile camera may send, then a frame that does not decode (height 0)
// and a good one; only those two are complete frames.
struct HostileStream {
    Bytes data = encodedFrame(320, 240);
    Bytes stream;

    HostileStream() {
        const Bytes good = framesOf(data, 240, 320);
        const std::vector<Bytes> goodPackets = packetsOf(good);
        // Long enough to hold a whole good frame: should the framer not pass it over, that frame
        // would come out of it.
        Bytes oversized = concat({Bytes{0xFF, 0xFF, 1}, good});
        oversized.resize(65535, 0x5A);
        Bytes tooLarge = packet(0, 126);
        p::putU16(tooLarge, p::kPacketHeightOffset, 240);
        p::putU16(tooLarge, p::kPacketWidthOffset, 320);
        for (int i = 0; i < 25; ++i) {
            tooLarge = concat({tooLarge, packet(1, 4096)});
        }
        tooLarge = concat({tooLarge, packet(2, 18)});

        stream = concat({
            Bytes{0x00, 0x05, 0x09, 0xFF, 0xEE},  // not a frame packet
            Bytes{0x00, 0x00, 0x07},              // Length 0, taken as 3
            packet(0, 10),                        // FirstPacket shorter than its header
            packet(2, 5),                         // LastPacket shorter than its header
            goodPackets.front(), oversized,       // a frame cut by an oversized packet ...
        });
        for (std::size_t i = 1; i < goodPackets.size(); ++i) {
            stream = concat({stream, goodPackets[i]});  // ... whose rest is ignored
        }
        stream = concat({stream, tooLarge, framesOf(data, 0, 320), good});
    }
};

TEST_F(Cli, RecordSurvivesAHostileStreamAndKeepsTheGoodFrames) {
    const HostileStream hostile;
    for (const std::size_t piece : {hostile.stream.size(), std::size_t{1000}, std::size_t{4097}}) {
        SCOPED_TRACE(piece);
        const fs::path folder = scratch() / ("new-" + std::to_string(piece)) / "frames";
        const FakeCamera camera(afterLogon(
            {Expect{11}, Send{ack(1)}, SendSplit{hostile.stream, piece, 0ms}, Expect{4}}));
        const Run run = cli(at(camera, {"record", folder.string(), "--frames", "2"}));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(namesIn(folder),
                  (std::vector<std::string>{"frame-000001.jpg", "frame-000002.jpg"}));
        EXPECT_EQ(readBytes(folder / "frame-000001.jpg"), imageOf(0, 320, hostile.data));
        EXPECT_EQ(readBytes(folder / "frame-000002.jpg"), imageOf(240, 320, hostile.data));
        EXPECT_EQ(sentAfterLogon(camera),
                  concat({bytesOf(p::buildStartStream(1, 42)), bytesOf(p::buildStopStream(2))}));
    }
}

TEST_F(Cli, ATimedRunWithoutAnyFrameFails) {
    const FakeCamera camera(afterLogon({Expect{11}, Send{ack(1)}, Expect{4}}));
    const Run run = cli(at(camera, {"stats", "--seconds", "1.5"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("No complete frame came."), std::string::npos) << run.err;
}

TEST_F(Cli, StatsCountFramesAndDecodeFailures) {
    const HostileStream hostile;
    const FakeCamera camera(afterLogon({Expect{11}, Send{concat({ack(1), hostile.stream})}}));
    const Run run = cli(at(camera, {"stats", "--seconds", "3"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::size_t size = imageOf(240, 320, hostile.data).size();
    const std::vector<std::string> lines{
        "frames           2 in ",
        "bytes            " + std::to_string(hostile.stream.size()) + ", ",
        "frame size       min " + std::to_string(size) + ", avg " + std::to_string(size) +
            ", max " + std::to_string(size) + " bytes\n",
        "decode time      avg ", "decode failures  1\n"};
    for (const std::string& line : lines) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\nin\n" << run.out;
    }
}

// ---- Settings: read, never written

TEST_F(Cli, StoredSettingsAreReadAndLeftAsTheyWere) {
    const std::string head = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Pellworth\\Kestrel]\n";
    const fs::path passwordFile = scratch() / "password";
    writeText(passwordFile, "from the file\r\nsecond line\n");
    struct Row {
        const char* what;
        std::optional<std::string> stored;  // the settings file, when there is one
        std::vector<std::string> options;
        std::string user;
        std::string password;
    };
    const Row rows[] = {
        {"nothing stored",
         std::nullopt,
         {"--address", "127.0.0.1", "--port", "PORT"},
         "admin",
         "lanterns"},
        {"stored texts",
         head + "\"Address\"=\"127.0.0.1\"\n\"User\"=\"operator\"\n\"Password\"=\"stored pw\"\n"
                "\"Port\"=\"PORT\"\n",
         {},
         "operator",
         "stored pw"},
        {"options over stored texts",
         head + "\"Address\"=\"10.9.9.9\"\n\"User\"=\"operator\"\n\"Password\"=\"stored pw\"\n",
         {"--address", "127.0.0.1", "--port", "PORT", "--user", "visitor", "--password-file",
          passwordFile.string()},
         "visitor",
         "from the file"},
        {"a file without the key",
         std::string("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Other]\n\"User\"=\"x\"\n"),
         {"--address", "127.0.0.1", "--port", "PORT"},
         "admin",
         "lanterns"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(config());
        const FakeCamera camera(
            {Expect{p::kLogonSize}, Send{logonReply(p::Ack)}, Expect{4}, Send{ack(1)}});
        const auto withPort = [&](std::string text) {
            if (const auto at = text.find("PORT"); at != std::string::npos) {
                text.replace(at, 4, camera.portText());
            }
            return text;
        };
        std::optional<std::string> stored;
        if (row.stored) {
            stored = withPort(*row.stored);
            writeText(settingsFile(), *stored);
        }
        std::vector<std::string> args;
        for (const std::string& option : row.options) {
            args.push_back(withPort(option));
        }
        args.emplace_back("reset");

        const Run run = cli(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(camera.waitFinished());
        const Bytes received = camera.received();
        ASSERT_GE(received.size(), p::kLogonSize);
        EXPECT_EQ(Bytes(received.begin(), received.begin() + p::kLogonSize),
                  bytesOf(p::buildLogon(0, row.user, row.password)));
        if (stored) {
            const Bytes now = readBytes(settingsFile());
            EXPECT_EQ(std::string(now.begin(), now.end()), *stored);
            EXPECT_EQ(namesIn(settingsFile().parent_path()),
                      std::vector<std::string>{"Kestrel.reg"});
        } else {
            EXPECT_FALSE(fs::exists(config()));
        }
    }
}

TEST_F(Cli, ReadOnlyOpenCreatesNothing) {
    using kestrel::settings::IfAbsent;
    using kestrel::settings::IfUnreadable;
    struct Row {
        const char* what;
        std::optional<std::string> file;
    };
    const Row rows[] = {
        {"no file, no folder", std::nullopt},
        {"a file without the key", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Other]\n"},
        {"an unreadable file", "not a settings file"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(config());
        if (row.file) {
            writeText(settingsFile(), *row.file);
        }
        kestrel::settings::RegistryStore store(settingsFile());
        EXPECT_FALSE(
            store.openKey(kestrel::settings::kSettingsKey, IfUnreadable::Fail, IfAbsent::Fail));
        kestrel::settings::ConnectionTexts texts{"", "admin", "lanterns", "1600"};
        loadSettings(texts, store, IfAbsent::Fail);
        EXPECT_EQ(texts.user, "admin");
        if (row.file) {
            const Bytes now = readBytes(settingsFile());
            EXPECT_EQ(std::string(now.begin(), now.end()), *row.file);
            EXPECT_EQ(namesIn(settingsFile().parent_path()),
                      std::vector<std::string>{"Kestrel.reg"});
        } else {
            EXPECT_FALSE(fs::exists(config()));
        }
    }
}

// ---- The stream framer, fed without a connection

struct Framed {
    std::vector<Bytes> packets;
    std::vector<std::size_t> oversizedBefore;  // how many packets came before each Oversized
};

// Feeds `stream` in pieces of `piece` bytes, taking every event in between.
Framed feed(v::StreamFramer& framer, const Bytes& stream, std::size_t piece) {
    Framed framed;
    std::size_t at = 0;
    while (true) {
        while (const auto event = framer.take()) {
            if (*event == v::FramerEvent::Packet) {
                framed.packets.emplace_back(framer.packet().begin(), framer.packet().end());
            } else {
                framed.oversizedBefore.push_back(framed.packets.size());
            }
        }
        if (at == stream.size()) {
            return framed;
        }
        const auto room = framer.freeSpace();
        const std::size_t count = std::min({piece, room.size(), stream.size() - at});
        std::copy_n(stream.begin() + static_cast<long>(at), count, room.begin());
        framer.commit(count);
        at += count;
    }
}

TEST(StreamFramer, WholePacketsWhateverThePieces) {
    Bytes oversized = packet(1, 4097);
    Bytes huge = concat({Bytes{0xFF, 0xFF, 0x01}, framePackets(160, 120)});
    huge.resize(65535, 0x00);
    const std::vector<Bytes> packets{packet(0, 300), ack(3), Bytes{0x00, 0x01, 0x07},
                                     packet(1, 4096), packet(2, 9)};
    const Bytes stream = concat(
        {packets[0], packets[1], packets[2], packets[3], oversized, packets[4], huge, packets[0]});
    for (const std::size_t piece : {1, 2, 3, 299, 4096, 4097, 70000}) {
        SCOPED_TRACE(piece);
        v::StreamFramer framer;
        const Framed framed = feed(framer, stream, piece);
        std::vector<Bytes> expected = packets;
        expected.push_back(packets[0]);
        EXPECT_EQ(framed.packets, expected);
        EXPECT_EQ(framed.oversizedBefore, (std::vector<std::size_t>{4, 5}));
        EXPECT_EQ(framer.bytesReceived(), stream.size());
    }
}

TEST(StreamFramer, BytesInHandComeFirstAndTheRestOfAReplyIsPassedOver) {
    const Bytes a = packet(0, 30);
    const Bytes b = packet(2, 20);
    struct Row {
        const char* what;
        Bytes inHand;
        std::size_t toSkip;
        Bytes toCome;
    };
    const Row rows[] = {
        {"a packet and a half in hand", concat({a, Bytes(b.begin(), b.begin() + 5)}), 0,
         Bytes(b.begin() + 5, b.end())},
        {"three bytes of the reply still to come", {}, 3, concat({Bytes{1, 2, 3}, a, b})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        v::StreamFramer framer;
        framer.restart(row.inHand, row.toSkip);
        const Framed framed = feed(framer, row.toCome, 7);
        EXPECT_EQ(framed.packets, (std::vector<Bytes>{a, b}));
        EXPECT_TRUE(framed.oversizedBefore.empty());
    }
}

}  // namespace
