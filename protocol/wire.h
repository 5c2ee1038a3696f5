#pragma once
// Requests and replies between the client and the camera: every byte of them, both sides.
// Pure data: no I/O here, so the client, the simulator and the tests share one definition.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/bytes.h"

namespace kestrel::protocol {

// The Type byte of a request.
enum class RequestType : Byte {
    Logon = 0,
    StartStream = 1,
    StopStream = 2,
    SetBrightness = 6,
    SelectStream = 20,
    MoveCamera = 21,
    ResetCamera = 22,
    SetStatusLight = 24,
};

// Result code of a reply meaning success; every other value is an error number.
inline constexpr Byte Ack = 4;

inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kLogonSize = 132;
inline constexpr std::size_t kLogonFieldSize = 64;
inline constexpr std::size_t kLogonUserOffset = 4;
inline constexpr std::size_t kLogonPasswordOffset = 68;
inline constexpr std::size_t kStartStreamSize = 11;
inline constexpr std::size_t kStopStreamSize = 4;
inline constexpr std::size_t kSetBrightnessSize = 8;
inline constexpr std::size_t kSelectStreamSize = 9;
inline constexpr std::size_t kMoveCameraSize = 5;
inline constexpr std::size_t kResetCameraSize = 4;
inline constexpr std::size_t kSetStatusLightSize = 5;

inline constexpr std::size_t kLogonReplySize = 789;
// A logon reply is judged on its first 20 bytes: Result, Stream ID and Max brightness.
inline constexpr std::size_t kLogonReplyUsedSize = 20;
inline constexpr std::size_t kStreamDescriptorSize = 12;
inline constexpr std::size_t kStreamTableEntries = 64;
inline constexpr std::size_t kCommandReplySize = 4;
// A command reply is judged on its third byte alone.
inline constexpr std::size_t kCommandReplyUsedSize = 3;
// The constant that follows the size code of SelectStream (00 01 86 A0).
inline constexpr std::uint32_t kSelectStreamConstant = 100000;

// Size of a request of the given type on the wire, or 0 for a type the client never sends.
std::size_t requestSize(RequestType type);

// Takes the value of the sequence counter for a request and advances the counter, 255 wrapping
// to 0.
constexpr Byte takeSequence(Byte& seqNo) {
    return seqNo++;
}

// Cuts text to at most maxBytes without splitting a UTF-8 sequence.
std::string_view truncateUtf8(std::string_view text, std::size_t maxBytes);

// Request builders. Each yields exactly the total length of its type; texts are UTF-8 bytes.
std::array<Byte, kLogonSize> buildLogon(Byte seq, std::string_view user, std::string_view password);
std::array<Byte, kStartStreamSize> buildStartStream(Byte seq, std::uint32_t streamId);
std::array<Byte, kStopStreamSize> buildStopStream(Byte seq);
std::array<Byte, kSetBrightnessSize> buildSetBrightness(Byte seq, std::int32_t brightness);
std::array<Byte, kSelectStreamSize> buildSelectStream(Byte seq, Byte sizeCode);
std::array<Byte, kMoveCameraSize> buildMoveCamera(Byte seq, Byte direction);
std::array<Byte, kResetCameraSize> buildResetCamera(Byte seq);
std::array<Byte, kSetStatusLightSize> buildSetStatusLight(Byte seq, Byte light);

// What the client takes from a logon reply. streamId and maxBrightness hold only when accepted.
struct LogonReply {
    Byte result = 0;
    std::uint32_t streamId = 0;
    std::uint32_t maxBrightness = 0;
    [[nodiscard]] bool accepted() const { return result == Ack; }
};

// Reads a logon reply from the bytes received. Empty when the bytes end before what the client
// needs: the Result, and on Ack also the Stream ID and the Max brightness.
std::optional<LogonReply> readLogonReply(std::span<const Byte> received);

// The Result of a command reply (its third byte), or empty when fewer than three bytes came.
std::optional<Byte> readCommandResult(std::span<const Byte> received);

// ---- The camera's side of the same layouts: used by the simulator and the tests' fake camera.

struct StreamDescriptor {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint32_t value1 = 0;
    std::uint32_t value2 = 0;
};

struct LogonReplyContent {
    Byte result = Ack;
    Byte sequence = 0;
    Byte versionMajor = 1;
    Byte versionMinor = 0;
    Byte accessLevel = 0;
    std::uint32_t streamId = 0;
    Byte format = 0;
    std::uint32_t timePerFrame = 0;
    std::uint32_t maxBrightness = 0;
    std::vector<StreamDescriptor> streams;  // at most 64 are written
};

std::array<Byte, kLogonReplySize> buildLogonReply(const LogonReplyContent& content);
std::array<Byte, kCommandReplySize> buildCommandReply(Byte result, Byte sequence);

// A request as the camera sees it; body points into the bytes it was read from.
struct Request {
    Byte type = 0;
    Byte sequence = 0;
    std::span<const Byte> body;
};

// Reads the request at the start of bytes. Empty until the whole message (by its Length) is there;
// a Length below the header size is taken as the header size. The message occupies
// kHeaderSize + body.size() bytes.
std::optional<Request> readRequest(std::span<const Byte> bytes);

// User name and password of a Logon request: each field's text up to its terminating zero.
struct LogonCredentials {
    std::string user;
    std::string password;
};
std::optional<LogonCredentials> readLogonCredentials(std::span<const Byte> logonRequest);

// Human-readable name of a request type, for logs.
std::string_view requestTypeName(Byte type);

}  // namespace kestrel::protocol
