#pragma once
// The texts the user sees when a step against the camera fails. The window and the command-line
// client show the same words.

#include <string>
#include <string_view>

namespace kestrel::connection::text {

inline constexpr std::string_view FailedToCreateSocket = "Failed to create socket.";
inline constexpr std::string_view InvalidIpAddress = "Invalid IP address.";
inline constexpr std::string_view FailedToMakeNonblocking = "Failed to make socket nonblocking.";
inline constexpr std::string_view FailedToConnect = "Failed to connect to IP address.";
inline constexpr std::string_view FailedToSendLogon = "Failed to send logon request.";
inline constexpr std::string_view FailedToReceiveLogon = "Failed to receive logon response.";
inline constexpr std::string_view FailedToSendRequest = "Failed to send request.";
inline constexpr std::string_view FailedToReceiveResponse = "Failed to receive response.";

// "Logon failed: Error N" and "Command failed: Error N", N in decimal.
std::string logonFailed(unsigned result);
std::string commandFailed(unsigned result);

}  // namespace kestrel::connection::text
