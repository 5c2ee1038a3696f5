// The video path: header template, frame assembly, the packet pump against a scripted camera,
// and decoding.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "connection/logon.h"
#include "fake_camera.h"
#include "protocol/bytes.h"
#include "protocol/jpeg_header.h"
#include "protocol/stream_packet.h"
#include "protocol/wire.h"
#include "temp_dir.h"
#include "tools/camsim/sample_frames.h"
#include "video/frame_assembly.h"
#include "video/jpeg_decoder.h"
#include "video/packet_pump.h"
#include "video/snapshot.h"

namespace p = kestrel::protocol;
using kestrel::camsim::encodedFrame;
using kestrel::camsim::framePackets;
using kestrel::testing::TempDir;
namespace v = kestrel::video;
namespace c = kestrel::connection;
using namespace kestrel::testing;
using namespace std::chrono_literals;

namespace {

// A packet of the given Kind and Length; frame data bytes count up from `fill`.
Bytes packet(std::uint8_t kind, std::size_t length, std::uint8_t fill = 0,
             std::uint16_t height = 120, std::uint16_t width = 160) {
    Bytes bytes(length, 0);
    p::putU16(bytes, 0, static_cast<std::uint16_t>(length));
    bytes[2] = kind;
    const std::size_t header = kind == 0 ? 26 : 8;
    if (kind == 0 && length >= 26) {
        p::putU16(bytes, 22, height);
        p::putU16(bytes, 24, width);
    }
    for (std::size_t i = header; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(fill + i);
    }
    return bytes;
}

}  // namespace

TEST(JpegHeader, TemplateAndPatch) {
    const auto& t = p::JpegHeaderTemplate;
    ASSERT_EQ(t.size(), 400U);
    const Bytes first21{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x11, 0x00, 0x4A, 0x46, 0x49, 0x46,
                        0x00, 0x01, 0x02, 0x00, 0x00, 0x48, 0x00, 0x48, 0x00, 0x00};
    EXPECT_EQ(Bytes(t.begin(), t.begin() + 21), first21);
    // Each segment's marker and length where it belongs.
    const std::vector<std::tuple<std::size_t, std::uint8_t, std::uint16_t>> segments{
        {21, 0xDB, 132}, {155, 0xC0, 17}, {174, 0xC4, 210}, {386, 0xDA, 12}};
    for (const auto& [offset, marker, length] : segments) {
        EXPECT_EQ(t[offset], 0xFF) << offset;
        EXPECT_EQ(t[offset + 1], marker) << offset;
        EXPECT_EQ(p::getU16(t, offset + 2), length) << offset;
    }
    EXPECT_EQ(Bytes(t.begin() + 160, t.begin() + 164), (Bytes{0x00, 0xF0, 0x01, 0x40}));
    EXPECT_EQ(t[223], 0x7D);  // the last AC code count: 125 codes of 16 bits
    EXPECT_EQ(t[385], 0xFA);  // the last AC symbol

    auto copy = t;
    p::patchJpegHeader(copy, 480, 640);
    EXPECT_EQ(Bytes(copy.begin() + 160, copy.begin() + 164), (Bytes{0x01, 0xE0, 0x02, 0x80}));
    copy[160] = t[160];
    copy[161] = t[161];
    copy[162] = t[162];
    copy[163] = t[163];
    EXPECT_EQ(copy, t);
}

TEST(StreamPackets, LengthAndPacketising) {
    EXPECT_EQ(p::packetLength(0, 0), 3U);
    EXPECT_EQ(p::packetLength(0, 2), 3U);
    EXPECT_EQ(p::packetLength(0x0F, 0xA0), 4000U);
    const Bytes data(9000, 0x55);
    const Bytes packets = p::packetiseFrame(data, {480, 640});
    std::size_t at = 0;
    std::vector<std::uint8_t> kinds;
    std::size_t carried = 0;
    while (at < packets.size()) {
        const std::size_t length = p::getU16(packets, at);
        ASSERT_LE(length, 4096U);
        kinds.push_back(packets[at + 2]);
        carried += length - (packets[at + 2] == 0 ? 26 : 8);
        if (packets[at + 2] == 0) {
            EXPECT_EQ(p::getU16(packets, at + 22), 480);
            EXPECT_EQ(p::getU16(packets, at + 24), 640);
        }
        at += length;
    }
    EXPECT_EQ(kinds, (std::vector<std::uint8_t>{0, 1, 2}));
    EXPECT_EQ(carried, data.size());
}

struct AssemblyCase {
    const char* name;
    std::vector<Bytes> packets;
    bool busy;
    std::vector<std::int32_t> frameLens;  // after each packet
    std::int32_t imageLen;                // at the end
    bool headerInImage;
};

TEST(Assembly, PacketSequences) {
    const Bytes first = packet(0, 1000, 1);
    const Bytes middle = packet(1, 1000, 2);
    const Bytes last = packet(2, 500, 3);
    const Bytes ack = commandReply(p::Ack, 9);
    const Bytes kind3 = packet(3, 40);
    const Bytes big = packet(1, 4096);
    const std::vector<AssemblyCase> cases{
        {"first, middle, last", {first, middle, last}, false, {1374, 2366, 2858}, 2858, true},
        {"other Kinds in between",
         {first, ack, middle, kind3, last},
         false,
         {1374, 1374, 2366, 2366, 2858},
         2858,
         true},
        {"first before the last of the previous",
         {first, middle, first, last},
         false,
         {1374, 2366, 1374, 1866},
         1866,
         true},
        {"snapshot busy", {first, middle, last}, true, {1374, 2366, 2858}, 0, false},
        {"starts with a middle packet", {middle, last}, false, {992, 1484}, 1484, false},
        {"last packet of Length 8",
         {first, middle, packet(2, 8)},
         false,
         {1374, 2366, 2366},
         2366,
         true},
        {"short frame packets are passed over",
         {first, packet(0, 25), packet(1, 7), commandReply(2, 1), last},
         false,
         {1374, 1374, 1374, 1374, 1866},
         1866,
         true},
        {"a frame past 100000 bytes is dropped, the next one is whole",
         [&] {
             std::vector<Bytes> packets{first};
             for (int i = 0; i < 25; ++i) {
                 packets.push_back(big);
             }
             packets.push_back(last);
             packets.push_back(first);
             packets.push_back(last);
             return packets;
         }(),
         false,
         {},
         1866,
         true},
    };
    for (const AssemblyCase& test : cases) {
        auto buffers = std::make_unique<v::FrameBuffers>();
        std::vector<std::int32_t> lens;
        for (const Bytes& each : test.packets) {
            v::assemblePacket(*buffers, each, test.busy);
            lens.push_back(buffers->frameLen);
        }
        if (!test.frameLens.empty()) {
            EXPECT_EQ(lens, test.frameLens) << test.name;
        }
        EXPECT_EQ(buffers->imageLen, test.imageLen) << test.name;
        if (test.imageLen > 0) {
            const bool header =
                std::equal(p::JpegHeaderTemplate.begin(), p::JpegHeaderTemplate.begin() + 160,
                           buffers->imageBuf.begin());
            EXPECT_EQ(header, test.headerInImage) << test.name;
        }
        EXPECT_LE(buffers->frameLen, 100000) << test.name;
    }
}

TEST(Assembly, PublishedFrameIsHeaderPatchedPlusData) {
    auto buffers = std::make_unique<v::FrameBuffers>();
    const Bytes first = packet(0, 1000, 1, 480, 640);
    const Bytes last = packet(2, 500, 3);
    v::assemblePacket(*buffers, first, false);
    EXPECT_EQ(v::assemblePacket(*buffers, last, false), v::AssemblyResult::Published);
    const auto image = buffers->image();
    EXPECT_EQ(Bytes(image.begin() + 160, image.begin() + 164), (Bytes{0x01, 0xE0, 0x02, 0x80}));
    EXPECT_EQ(Bytes(image.begin() + 400, image.begin() + 1374),
              Bytes(first.begin() + 26, first.end()));
    EXPECT_EQ(Bytes(image.begin() + 1374, image.end()), Bytes(last.begin() + 8, last.end()));
}

// ---- The pump against a scripted camera

namespace {

struct PumpRun {
    std::vector<Bytes> packets;
    int oversized = 0;
};

// Connects to the camera and pumps until `count` packets came or `limit` calls were made.
PumpRun pumpFrom(FakeCamera& camera, std::size_t count, int limit = 2000, std::size_t leftovers = 0,
                 const Bytes& leftoverBytes = {}) {
    c::Socket sock;
    std::uint8_t seqNo = 0;
    const auto logon = c::logOn(sock, {"127.0.0.1", camera.portText(), "admin", "lanterns"}, seqNo);
    EXPECT_TRUE(logon.accepted()) << logon.failure;
    std::array<std::uint8_t, 4096> recvBuf{};
    v::PacketPump pump(recvBuf);
    pump.restart(std::span(leftoverBytes).first(leftovers));
    PumpRun run;
    for (int i = 0; i < limit && run.packets.size() < count; ++i) {
        switch (pump.readPacket(sock)) {
            case v::PumpResult::Packet:
                run.packets.emplace_back(pump.packet().begin(), pump.packet().end());
                break;
            case v::PumpResult::Oversized:
                ++run.oversized;
                break;
            case v::PumpResult::Nothing:
                break;
        }
    }
    return run;
}

}  // namespace

TEST(Pump, SplitAtAwkwardPoints) {
    const std::vector<Bytes> packets{packet(0, 300, 1), commandReply(p::Ack, 3), packet(1, 3),
                                     packet(1, 700, 2), packet(2, 9, 4)};
    const Bytes stream = concat({packets[0], packets[1], packets[2], packets[3], packets[4]});
    struct Case {
        const char* name;
        Step step;
    };
    const std::vector<Case> cases{
        {"one piece", Send{stream}},
        {"1-byte pieces", SendSplit{stream, 1, 0ms}},
        {"pieces straddling packets", SendSplit{stream, 301, 5ms}},
        {"slow pieces", SendSplit{stream, 250, 30ms}},
    };
    for (const Case& test : cases) {
        FakeCamera camera(afterLogon({test.step}));
        const PumpRun run = pumpFrom(camera, packets.size(), 20000);
        EXPECT_EQ(run.packets, packets) << test.name;
    }
}

TEST(Pump, LengthBelowThreeTakesThreeBytes) {
    const Bytes stream{0x00, 0x00, 0x07, 0x00, 0x01, 0x08, 0x00, 0x02, 0x09};
    FakeCamera camera(afterLogon({Send{concat({stream, commandReply(p::Ack, 1)})}}));
    const PumpRun run = pumpFrom(camera, 4);
    ASSERT_EQ(run.packets.size(), 4U);
    EXPECT_EQ(run.packets[0], (Bytes{0x00, 0x00, 0x07}));
    EXPECT_EQ(run.packets[2], (Bytes{0x00, 0x02, 0x09}));
    EXPECT_EQ(run.packets[3], commandReply(p::Ack, 1));
}

TEST(Pump, OversizedPacketIsPassedOverInStep) {
    Bytes huge(65535, 0xAB);
    p::putU16(huge, 0, 65535);
    huge[2] = 1;
    const Bytes after = packet(2, 100, 5);
    FakeCamera camera(afterLogon({SendSplit{concat({huge, after}), 5000, 0ms}}));
    const PumpRun run = pumpFrom(camera, 1, 5000);
    EXPECT_EQ(run.oversized, 1);
    ASSERT_EQ(run.packets.size(), 1U);
    EXPECT_EQ(run.packets[0], after);
}

TEST(Pump, BytesThatCameWithTheStartReplyComeFirst) {
    // Two packets and the start of a third were already received with the reply.
    const Bytes a = packet(0, 30, 1);
    const Bytes b = commandReply(p::Ack, 2);
    const Bytes c3 = packet(2, 20, 3);
    const Bytes inHand = concat({a, b, Bytes(c3.begin(), c3.begin() + 5)});
    FakeCamera camera(afterLogon({Send{Bytes(c3.begin() + 5, c3.end())}}));
    const PumpRun run = pumpFrom(camera, 3, 100, inHand.size(), inHand);
    EXPECT_EQ(run.packets, (std::vector<Bytes>{a, b, c3}));
}

// ---- Decoding

TEST(Decoder, FramesFromTheEncoderDecodeToTheirSize) {
    v::JpegDecoder decoder;
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{160, 120}, {640, 480}}) {
        const Bytes data = encodedFrame(width, height);
        auto image = Bytes(p::JpegHeaderTemplate.begin(), p::JpegHeaderTemplate.end());
        p::patchJpegHeader(std::span<std::uint8_t, 400>(image.data(), 400),
                           static_cast<std::uint16_t>(height), static_cast<std::uint16_t>(width));
        image.insert(image.end(), data.begin(), data.end());
        v::Picture picture;
        decoder.decode(image, picture);
        EXPECT_EQ(picture.width, width);
        EXPECT_EQ(picture.height, height);
        EXPECT_EQ(picture.pixels.size(), static_cast<std::size_t>(width * height * 4));
    }
    EXPECT_EQ(decoder.warnings(), 0U);
}

TEST(Decoder, RejectedFramesThrowAndTheDecoderGoesOn) {
    v::JpegDecoder decoder;
    const Bytes data = encodedFrame(160, 120);
    Bytes good(p::JpegHeaderTemplate.begin(), p::JpegHeaderTemplate.end());
    p::patchJpegHeader(std::span<std::uint8_t, 400>(good.data(), 400), 120, 160);
    good.insert(good.end(), data.begin(), data.end());

    Bytes huge = good;
    p::patchJpegHeader(std::span<std::uint8_t, 400>(huge.data(), 400), 65535, 65535);
    Bytes zeroSize = good;
    p::patchJpegHeader(std::span<std::uint8_t, 400>(zeroSize.data(), 400), 0, 160);
    Bytes badTable = good;
    badTable[180] = 0xFF;  // DHT code counts that overrun
    const std::vector<std::pair<const char*, Bytes>> rejected{
        {"headerless data", data},
        {"empty", {}},
        {"header only, cut in the middle", Bytes(good.begin(), good.begin() + 200)},
        {"65535 x 65535", huge},
        {"zero height", zeroSize},
        {"bad Huffman table", badTable},
    };
    for (const auto& [name, bytes] : rejected) {
        v::Picture picture;
        EXPECT_THROW(decoder.decode(bytes, picture), v::DecodeError) << name;
    }
    // Data that ends early is a warning, not an error: the rest is filled in.
    v::Picture picture;
    EXPECT_NO_THROW(decoder.decode(Bytes(good.begin(), good.begin() + 900), picture));
    EXPECT_GT(decoder.warnings(), 0U);
    EXPECT_NO_THROW(decoder.decode(good, picture));
    EXPECT_EQ(picture.width, 160);
}

// ---- Snapshot files

namespace {

Bytes contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const std::filesystem::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

}  // namespace

TEST(Snapshot, ReplacesWholeAndKeepsPermissions) {
    TempDir folder;
    const auto file = folder.path() / "shot.jpg";
    put(file, Bytes(9000, 'o'));
    std::filesystem::permissions(
        file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const Bytes image(1234, 0xAB);
    EXPECT_EQ(v::saveSnapshot(file, image), v::SnapshotResult::Saved);
    EXPECT_EQ(contents(file), image);
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(v::saveSnapshot(file, {}), v::SnapshotResult::Saved);
    EXPECT_EQ(std::filesystem::file_size(file), 0U);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}

TEST(Snapshot, ALinkIsFollowedAndALongNameIsFine) {
    TempDir folder;
    const auto real = folder.path() / "real.jpg";
    put(real, Bytes(10, 'o'));
    const auto link = folder.path() / "link.jpg";
    std::filesystem::create_symlink(real, link);
    EXPECT_EQ(v::saveSnapshot(link, Bytes(3, 0xAB)), v::SnapshotResult::Saved);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(contents(real), Bytes(3, 0xAB));
    const auto longName = folder.path() / (std::string(250, 'n') + ".jpg");
    EXPECT_EQ(v::saveSnapshot(longName, Bytes(3, 0xCD)), v::SnapshotResult::Saved);
    EXPECT_EQ(contents(longName), Bytes(3, 0xCD));
}

TEST(Snapshot, CannotCreate) {
    TempDir folder;
    EXPECT_EQ(v::saveSnapshot(folder.path() / "missing" / "shot.jpg", Bytes(10)),
              v::SnapshotResult::CannotCreate);
    EXPECT_EQ(v::saveSnapshot(folder.path(), Bytes(10)), v::SnapshotResult::CannotCreate);
    EXPECT_EQ(v::snapshotMessage(v::SnapshotResult::CannotCreate),
              "Failed to create the file for saving.");
}

TEST(Snapshot, AFullDiskLeavesTheOldFileAsItWas) {
    TempDir folder;
    const auto file = folder.path() / "shot.jpg";
    const Bytes old(300, 'o');
    put(file, old);
    // A file-size limit stands in for a full disk: writes past it fail.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto result = v::saveSnapshot(file, Bytes(5000, 0xAB));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(result, v::SnapshotResult::CannotWrite);
    EXPECT_EQ(v::snapshotMessage(result), "Failed to write the file for saving.");
    EXPECT_EQ(contents(file), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}
