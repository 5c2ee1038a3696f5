// Connecting and logging on against a scripted camera on loopback.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "connection/exchange.h"
#include "connection/logon.h"
#include "connection/messages.h"
#include "fake_camera.h"
#include "protocol/wire.h"

namespace c = kestrel::connection;
namespace p = kestrel::protocol;
using namespace kestrel::testing;
using namespace std::chrono_literals;

TEST(PortText, ReadAsTheUserTypedIt) {
    const std::vector<std::pair<std::string, std::uint16_t>> cases{
        {"1600", 1600},
        {"  1600", 1600},
        {"1600abc", 1600},
        {"+80", 80},
        {"", 0},
        {"abc", 0},
        {"70000", 4464},
        {"-1", 65535},
        {"\t 65536", 0},
        {"- 5", 0},
        {"99999999999999999999999999", 65535},
        {"000001600", 1600},
    };
    for (const auto& [text, port] : cases) {
        EXPECT_EQ(c::parsePortText(text), port) << '"' << text << '"';
    }
}

TEST(AddressText, ClassicFormsAndRefusals) {
    EXPECT_EQ(c::parseAddressText("127.0.0.1"), std::optional<std::uint32_t>(htonl(0x7F000001)));
    EXPECT_EQ(c::parseAddressText("127.1"), std::optional<std::uint32_t>(htonl(0x7F000001)));
    EXPECT_FALSE(c::parseAddressText("255.255.255.255").has_value());
    EXPECT_FALSE(c::parseAddressText("camera.local").has_value());
    EXPECT_FALSE(c::parseAddressText("").has_value());
    EXPECT_FALSE(c::parseAddressText(std::string("127.0.0.1\0x", 11)).has_value());
}

namespace {

struct Logon {
    c::Socket sock;
    std::uint8_t seqNo = 77;
    c::LogonOutcome outcome;
};

Logon logOnTo(const std::string& address, const std::string& port,
              const std::string& user = "admin", const std::string& password = "lanterns") {
    Logon logon;
    logon.outcome = c::logOn(logon.sock, {address, port, user, password}, logon.seqNo);
    return logon;
}

const Bytes kLogonRequest = [] {
    const auto logon = p::buildLogon(0, "admin", "lanterns");
    return Bytes(logon.begin(), logon.end());
}();

}  // namespace

TEST(Logon, AcceptedReplyGivesStreamAndBrightness) {
    FakeCamera camera({Expect{132}, Send{logonReply(p::Ack, 0x2A, 255)}});
    Logon logon = logOnTo("127.0.0.1", camera.portText());
    EXPECT_TRUE(logon.outcome.accepted()) << logon.outcome.failure;
    EXPECT_EQ(logon.outcome.streamId, 42U);
    EXPECT_EQ(logon.outcome.maxBrightness, 255U);
    EXPECT_EQ(logon.seqNo, 1);
    EXPECT_EQ(camera.waitForReceived(132), kLogonRequest);
}

TEST(Logon, FailureRowsGiveTheirTexts) {
    const Bytes accepted = logonReply(p::Ack);
    const Bytes kAcceptedFirst19(accepted.begin(), accepted.begin() + 19);
    struct Case {
        const char* name;
        std::vector<Step> script;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"result 2", {Expect{132}, Send{logonReply(2)}}, "Logon failed: Error 2"},
        {"result 0", {Expect{132}, Send{logonReply(0)}}, "Logon failed: Error 0"},
        {"short refusal then close",
         {Expect{132}, Send{{0, 4, 9, 0}}, Close{}},
         "Logon failed: Error 9"},
        {"silent camera", {Expect{132}}, "Failed to receive logon response."},
        {"camera closes", {Expect{132}, Close{}}, "Failed to receive logon response."},
        {"accepted but cut short",
         {Expect{132}, Send{kAcceptedFirst19}},
         "Failed to receive logon response."},
    };
    for (const Case& test : cases) {
        FakeCamera camera(test.script);
        Logon logon = logOnTo("127.0.0.1", camera.portText());
        EXPECT_EQ(logon.outcome.failure, test.expected) << test.name;
        EXPECT_EQ(logon.seqNo, 1) << test.name;
    }
}

TEST(Logon, ReplyInPiecesIsCompletedAndNothingBehindItIsTaken) {
    const Bytes reply = logonReply(p::Ack, 7, 5);
    const Bytes behind = commandReply(p::Ack, 1);
    FakeCamera camera({Expect{132}, SendSplit{concat({reply, behind}), 100, 20ms}});
    Logon logon = logOnTo("127.0.0.1", camera.portText());
    ASSERT_TRUE(logon.outcome.accepted()) << logon.outcome.failure;
    EXPECT_EQ(logon.outcome.streamId, 7U);
    // The four bytes behind the 789 are left for the next reader.
    std::array<std::uint8_t, 4096> recvBuf{};
    EXPECT_EQ(c::receiveCommandReply(logon.sock, recvBuf), "");
    EXPECT_EQ(Bytes(recvBuf.begin(), recvBuf.begin() + 4), behind);
}

TEST(Logon, ATailThatComesLateIsNotMetByTheNextReader) {
    const Bytes reply = logonReply(p::Ack, 7, 5);
    const Bytes head(reply.begin(), reply.begin() + 20);
    const Bytes tail(reply.begin() + 20, reply.end());
    // The stream table comes long after the second; behind it, the answer to a command.
    FakeCamera camera(
        {Expect{132}, Send{head}, Pause{1300ms}, Send{concat({tail, commandReply(7, 1)})}});
    Logon logon = logOnTo("127.0.0.1", camera.portText());
    ASSERT_TRUE(logon.outcome.accepted()) << logon.outcome.failure;
    EXPECT_EQ(logon.outcome.streamId, 7U);
    std::array<std::uint8_t, 4096> recvBuf{};
    const auto move = p::buildMoveCamera(p::takeSequence(logon.seqNo), 0);
    // The tail arrives during the command's wait and is dropped; the reply behind it is judged.
    EXPECT_EQ(c::exchangeRequest(logon.sock, move, c::ReplyHandling::Read, recvBuf),
              "Command failed: Error 7");
}

TEST(Logon, EarlyFailuresBeforeTheLogonIsSent) {
    EXPECT_EQ(logOnTo("255.255.255.255", "1600").outcome.failure, "Invalid IP address.");
    EXPECT_EQ(logOnTo("camera.local", "1600").outcome.failure, "Invalid IP address.");
    // A multicast address is refused by connect itself, without any traffic.
    const Logon multicast = logOnTo("224.0.0.1", "1600");
    EXPECT_EQ(multicast.outcome.failure, "Failed to connect to IP address.");
    EXPECT_EQ(multicast.seqNo, 77) << "no request was built";
}

TEST(Logon, RefusedPortFailsAtTheSend) {
    // Find a port nobody listens on: take a fake camera's port, then let it go.
    std::string port;
    {
        c::Socket probe = c::Socket::createTcp();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
        auto* generic = reinterpret_cast<sockaddr*>(&address);
        ASSERT_EQ(::bind(probe.descriptor(), generic, length), 0);
        ASSERT_EQ(::getsockname(probe.descriptor(), generic, &length), 0);
        port = std::to_string(ntohs(address.sin_port));
    }
    const Logon logon = logOnTo("127.0.0.1", port);
    EXPECT_EQ(logon.outcome.failure, "Failed to send logon request.");
    EXPECT_EQ(logon.seqNo, 1);
}

TEST(Logon, NoSocketAvailable) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Use up the descriptors so that the next socket cannot be created.
    std::vector<int> held;
    rlimit tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) {
        held.push_back(fd);
    }
    const Logon logon = logOnTo("127.0.0.1", "1600");
    for (int fd : held) {
        ::close(fd);
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(logon.outcome.failure, "Failed to create socket.");
    EXPECT_FALSE(logon.sock.isOpen());
    EXPECT_EQ(logon.seqNo, 77);
}

TEST(Logon, SendToAClosedConnectionIsAFailedSendNotASignal) {
    FakeCamera camera({Expect{132}, Send{logonReply(p::Ack)}, Close{}});
    Logon logon = logOnTo("127.0.0.1", camera.portText());
    ASSERT_TRUE(logon.outcome.accepted());
    ASSERT_TRUE(camera.waitFinished());
    std::array<std::uint8_t, 4096> recvBuf{};
    const auto move = p::buildMoveCamera(1, 0);
    // The first send may still be taken by the system; a later one fails, and nothing kills us.
    std::string failure;
    for (int i = 0; i < 5 && failure != c::text::FailedToSendRequest; ++i) {
        failure = c::exchangeRequest(logon.sock, move, c::ReplyHandling::Read, recvBuf);
    }
    EXPECT_EQ(failure, c::text::FailedToSendRequest);
}
