#include "protocol/wire.h"

#include <algorithm>

namespace kestrel::protocol {

namespace {

template <std::size_t N>
std::array<Byte, N> header(RequestType type, Byte seq) {
    std::array<Byte, N> message{};
    putU16(message, 0, static_cast<std::uint16_t>(N));
    message[2] = static_cast<Byte>(type);
    message[3] = seq;
    return message;
}

void putText(std::span<Byte> field, std::string_view text) {
    // Keep one byte for the terminating zero; everything behind the text stays zero.
    const std::string_view kept = truncateUtf8(text, field.size() - 1);
    std::ranges::copy(kept, field.begin());
}

std::string fieldText(std::span<const Byte> field) {
    const auto end = std::ranges::find(field, Byte{0});
    return {field.begin(), end};
}

}  // namespace

std::size_t requestSize(RequestType type) {
    switch (type) {
        case RequestType::Logon:
            return kLogonSize;
        case RequestType::StartStream:
            return kStartStreamSize;
        case RequestType::StopStream:
            return kStopStreamSize;
        case RequestType::SetBrightness:
            return kSetBrightnessSize;
        case RequestType::SelectStream:
            return kSelectStreamSize;
        case RequestType::MoveCamera:
            return kMoveCameraSize;
        case RequestType::ResetCamera:
            return kResetCameraSize;
        case RequestType::SetStatusLight:
            return kSetStatusLightSize;
    }
    return 0;
}

std::string_view truncateUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    const auto isContinuation = [&](std::size_t i) {
        return (static_cast<Byte>(text[i]) & 0xC0U) == 0x80U;
    };
    // The cut lands inside a character when the first byte left out continues it; back off to
    // that character's lead byte. A UTF-8 character has at most three continuation bytes, so
    // text that is not UTF-8 is cut at maxBytes.
    std::size_t cut = maxBytes;
    while (cut > 0 && maxBytes - cut < 3 && isContinuation(cut)) {
        --cut;
    }
    if (isContinuation(cut)) {
        cut = maxBytes;
    }
    return text.substr(0, cut);
}

std::array<Byte, kLogonSize> buildLogon(Byte seq, std::string_view user,
                                        std::string_view password) {
    auto message = header<kLogonSize>(RequestType::Logon, seq);
    putText(std::span(message).subspan(kLogonUserOffset, kLogonFieldSize), user);
    putText(std::span(message).subspan(kLogonPasswordOffset, kLogonFieldSize), password);
    return message;
}

std::array<Byte, kStartStreamSize> buildStartStream(Byte seq, std::uint32_t streamId) {
    auto message = header<kStartStreamSize>(RequestType::StartStream, seq);
    putU32(message, 4, streamId);
    return message;  // bytes 8 to 10 stay zero
}

std::array<Byte, kStopStreamSize> buildStopStream(Byte seq) {
    return header<kStopStreamSize>(RequestType::StopStream, seq);
}

std::array<Byte, kSetBrightnessSize> buildSetBrightness(Byte seq, std::int32_t brightness) {
    auto message = header<kSetBrightnessSize>(RequestType::SetBrightness, seq);
    putU32(message, 4, static_cast<std::uint32_t>(brightness));
    return message;
}

std::array<Byte, kSelectStreamSize> buildSelectStream(Byte seq, Byte sizeCode) {
    auto message = header<kSelectStreamSize>(RequestType::SelectStream, seq);
    message[4] = sizeCode;
    putU32(message, 5, kSelectStreamConstant);
    return message;
}

std::array<Byte, kMoveCameraSize> buildMoveCamera(Byte seq, Byte direction) {
    auto message = header<kMoveCameraSize>(RequestType::MoveCamera, seq);
    message[4] = direction;
    return message;
}

std::array<Byte, kResetCameraSize> buildResetCamera(Byte seq) {
    return header<kResetCameraSize>(RequestType::ResetCamera, seq);
}

std::array<Byte, kSetStatusLightSize> buildSetStatusLight(Byte seq, Byte light) {
    auto message = header<kSetStatusLightSize>(RequestType::SetStatusLight, seq);
    message[4] = light;
    return message;
}

std::optional<LogonReply> readLogonReply(std::span<const Byte> received) {
    if (received.size() < 3) {
        return std::nullopt;
    }
    LogonReply reply;
    reply.result = received[2];
    if (!reply.accepted()) {
        return reply;
    }
    if (received.size() < kLogonReplyUsedSize) {
        return std::nullopt;
    }
    reply.streamId = getU32(received, 7);
    reply.maxBrightness = getU32(received, 16);
    return reply;
}

std::optional<Byte> readCommandResult(std::span<const Byte> received) {
    if (received.size() < kCommandReplyUsedSize) {
        return std::nullopt;
    }
    return received[2];
}

std::array<Byte, kLogonReplySize> buildLogonReply(const LogonReplyContent& content) {
    std::array<Byte, kLogonReplySize> reply{};
    putU16(reply, 0, static_cast<std::uint16_t>(kLogonReplySize));
    reply[2] = content.result;
    reply[3] = content.sequence;
    reply[4] = content.versionMajor;
    reply[5] = content.versionMinor;
    reply[6] = content.accessLevel;
    putU32(reply, 7, content.streamId);
    reply[11] = content.format;
    putU32(reply, 12, content.timePerFrame);
    putU32(reply, 16, content.maxBrightness);
    const std::size_t count = std::min(content.streams.size(), kStreamTableEntries);
    reply[20] = static_cast<Byte>(count);
    for (std::size_t i = 0; i < count; ++i) {
        const StreamDescriptor& d = content.streams[i];
        const std::size_t at = 21 + i * kStreamDescriptorSize;
        putU16(reply, at, d.width);
        putU16(reply, at + 2, d.height);
        putU32(reply, at + 4, d.value1);
        putU32(reply, at + 8, d.value2);
    }
    return reply;
}

std::array<Byte, kCommandReplySize> buildCommandReply(Byte result, Byte sequence) {
    std::array<Byte, kCommandReplySize> reply{};
    putU16(reply, 0, static_cast<std::uint16_t>(kCommandReplySize));
    reply[2] = result;
    reply[3] = sequence;
    return reply;
}

std::optional<Request> readRequest(std::span<const Byte> bytes) {
    if (bytes.size() < 2) {
        return std::nullopt;
    }
    const std::size_t length = std::max<std::size_t>(getU16(bytes, 0), kHeaderSize);
    if (bytes.size() < length) {
        return std::nullopt;
    }
    return Request{bytes[2], bytes[3], bytes.subspan(kHeaderSize, length - kHeaderSize)};
}

std::optional<LogonCredentials> readLogonCredentials(std::span<const Byte> logonRequest) {
    if (logonRequest.size() < kLogonSize) {
        return std::nullopt;
    }
    return LogonCredentials{
        fieldText(logonRequest.subspan(kLogonUserOffset, kLogonFieldSize)),
        fieldText(logonRequest.subspan(kLogonPasswordOffset, kLogonFieldSize)),
    };
}

std::string_view requestTypeName(Byte type) {
    switch (static_cast<RequestType>(type)) {
        case RequestType::Logon:
            return "Logon";
        case RequestType::StartStream:
            return "StartStream";
        case RequestType::StopStream:
            return "StopStream";
        case RequestType::SetBrightness:
            return "SetBrightness";
        case RequestType::SelectStream:
            return "SelectStream";
        case RequestType::MoveCamera:
            return "MoveCamera";
        case RequestType::ResetCamera:
            return "ResetCamera";
        case RequestType::SetStatusLight:
            return "SetStatusLight";
    }
    return "unknown";
}

}  // namespace kestrel::protocol
