// Wire messages, byte for byte.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/wire.h"

namespace p = kestrel::protocol;
using Bytes = std::vector<std::uint8_t>;

template <typename Message>
Bytes bytesOf(const Message& message) {
    return {message.begin(), message.end()};
}

struct RequestCase {
    const char* name;
    Bytes built;
    Bytes expected;
};

TEST(Requests, BuildExactBytes) {
    const std::vector<RequestCase> cases{
        {"move left as 5", bytesOf(p::buildMoveCamera(5, 4)), {0x00, 0x05, 0x15, 0x05, 0x04}},
        {"select 320x240 as 7",
         bytesOf(p::buildSelectStream(7, 1)),
         {0x00, 0x09, 0x14, 0x07, 0x01, 0x00, 0x01, 0x86, 0xA0}},
        {"brightness 3 as 2",
         bytesOf(p::buildSetBrightness(2, 3)),
         {0x00, 0x08, 0x06, 0x02, 0x00, 0x00, 0x00, 0x03}},
        {"start stream 12345678 as 9",
         bytesOf(p::buildStartStream(9, 0x12345678)),
         {0x00, 0x0B, 0x01, 0x09, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x00}},
        {"stop as 10", bytesOf(p::buildStopStream(10)), {0x00, 0x04, 0x02, 0x0A}},
        {"reset as 11", bytesOf(p::buildResetCamera(11)), {0x00, 0x04, 0x16, 0x0B}},
        {"light on as 12", bytesOf(p::buildSetStatusLight(12, 1)), {0x00, 0x05, 0x18, 0x0C, 0x01}},
        {"stream id 42 from a logon reply",
         bytesOf(p::buildStartStream(0, 42)),
         {0x00, 0x0B, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00}},
    };
    for (const RequestCase& c : cases) {
        EXPECT_EQ(c.built, c.expected) << c.name;
    }
}

TEST(Requests, SequenceTakesValueThenWraps) {
    std::uint8_t seqNo = 254;
    EXPECT_EQ(p::takeSequence(seqNo), 254);
    EXPECT_EQ(p::takeSequence(seqNo), 255);
    EXPECT_EQ(p::takeSequence(seqNo), 0);
    EXPECT_EQ(seqNo, 1);
}

TEST(Requests, LogonFieldLayout) {
    const std::string user63(63, 'u');
    const std::string tooLong(70, 'x');
    struct Case {
        std::string user, password;
        std::size_t userBytes, passwordBytes;
    };
    for (const Case& c : std::vector<Case>{{"", "", 0, 0},
                                           {"admin", "lanterns", 5, 8},
                                           {user63, "", 63, 0},
                                           {tooLong, tooLong, 63, 63}}) {
        const auto logon = p::buildLogon(0, c.user, c.password);
        ASSERT_EQ(logon.size(), 132U);
        EXPECT_EQ(bytesOf(logon).size(), 132U);
        EXPECT_EQ(Bytes(logon.begin(), logon.begin() + 4), (Bytes{0x00, 0x84, 0x00, 0x00}));
        const auto field = [&](std::size_t offset, std::size_t textBytes, const std::string& text) {
            for (std::size_t i = 0; i < 64; ++i) {
                const std::uint8_t expected =
                    i < textBytes ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{0};
                ASSERT_EQ(logon[offset + i], expected) << "offset " << offset + i;
            }
        };
        field(4, c.userBytes, c.user);
        field(68, c.passwordBytes, c.password);
    }
}

TEST(Requests, LongUtf8TextIsCutBetweenCharacters) {
    // 62 ASCII bytes then "é" (2 bytes): 64 bytes, cut to 62 rather than splitting the "é".
    const std::string user = std::string(62, 'a') + "\xC3\xA9";
    const auto logon = p::buildLogon(0, user, "");
    EXPECT_EQ(logon[4 + 61], 'a');
    EXPECT_EQ(logon[4 + 62], 0);
    // A 4-byte character straddling the limit goes whole.
    const std::string emoji = std::string(61, 'a') + "\xF0\x9F\x90\xA6";
    EXPECT_EQ(p::truncateUtf8(emoji, 63).size(), 61U);
    EXPECT_EQ(p::truncateUtf8(emoji, 65).size(), 65U);
}

TEST(Replies, LogonReplyReading) {
    const auto accepted = [] {
        p::LogonReplyContent content;
        content.streamId = 42;
        content.maxBrightness = 255;
        return p::buildLogonReply(content);
    }();
    ASSERT_EQ(accepted.size(), 789U);
    EXPECT_EQ(Bytes(accepted.begin() + 7, accepted.begin() + 11), (Bytes{0, 0, 0, 0x2A}));

    const auto reply = p::readLogonReply(accepted);
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(reply->accepted());
    EXPECT_EQ(reply->streamId, 42U);
    EXPECT_EQ(reply->maxBrightness, 255U);

    // Judged on the bytes the client uses: an accepted reply needs 20, a refusal its Result.
    EXPECT_TRUE(p::readLogonReply(std::span(accepted).first(20)).has_value());
    EXPECT_FALSE(p::readLogonReply(std::span(accepted).first(19)).has_value());
    EXPECT_FALSE(p::readLogonReply(std::span(accepted).first(2)).has_value());
    const Bytes refusal{0x00, 0x04, 0x02, 0x00};
    ASSERT_TRUE(p::readLogonReply(refusal).has_value());
    EXPECT_EQ(p::readLogonReply(refusal)->result, 2);
}

TEST(Replies, CommandResultIsTheThirdByteWhateverElse) {
    EXPECT_EQ(p::readCommandResult(Bytes{0xFF, 0xFF, 0x04, 0x99}), std::optional<std::uint8_t>(4));
    EXPECT_EQ(p::readCommandResult(Bytes{0x00, 0x04, 0x00}), std::optional<std::uint8_t>(0));
    EXPECT_FALSE(p::readCommandResult(Bytes{0x00, 0x04}).has_value());
}

TEST(CameraSide, RequestFramingAndCredentials) {
    const auto logon = p::buildLogon(0, "admin", "lanterns");
    Bytes stream(logon.begin(), logon.end());
    const auto move = p::buildMoveCamera(1, 6);
    stream.insert(stream.end(), move.begin(), move.end());

    const auto first = p::readRequest(stream);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->type, 0);
    EXPECT_EQ(first->body.size(), 128U);
    const auto credentials = p::readLogonCredentials(std::span(stream).first(132));
    ASSERT_TRUE(credentials.has_value());
    EXPECT_EQ(credentials->user, "admin");
    EXPECT_EQ(credentials->password, "lanterns");

    const auto second = p::readRequest(std::span(stream).subspan(132));
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->type, 21);
    EXPECT_EQ(second->sequence, 1);
    EXPECT_EQ(second->body[0], 6);
    // Incomplete messages are not read.
    EXPECT_FALSE(p::readRequest(std::span(stream).first(131)).has_value());
    EXPECT_FALSE(p::readRequest(std::span(stream).first(1)).has_value());
}
