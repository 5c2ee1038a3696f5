#include "connection/messages.h"

namespace kestrel::connection::text {

std::string logonFailed(unsigned result) {
    return "Logon failed: Error " + std::to_string(result);
}

std::string commandFailed(unsigned result) {
    return "Command failed: Error " + std::to_string(result);
}

}  // namespace kestrel::connection::text
