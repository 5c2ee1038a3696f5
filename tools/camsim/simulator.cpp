#include "tools/camsim/simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <sstream>

#include "protocol/bytes.h"
#include "protocol/stream_packet.h"
#include "protocol/wire.h"
#include "tools/camsim/frame_timing.h"
#include "tools/camsim/jpeg_encoder.h"
#include "tools/camsim/scene.h"

namespace kestrel::camsim {

namespace p = kestrel::protocol;
using Clock = std::chrono::steady_clock;

namespace {

// Frames are not queued behind more than this much unsent data: a slow client makes the camera
// skip frames rather than buffer without end.
constexpr std::size_t kMaxBacklog = std::size_t{256} * 1024;

std::string wallClock() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::array<char, 16> text{};
    (void)std::strftime(text.data(), text.size(), "%H:%M:%S", &local);
    return text.data();
}

bool parseNumber(const std::string& text, unsigned long long max, unsigned long long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 19) {
        return false;
    }
    value = std::stoull(text);
    return value <= max;
}

}  // namespace

struct Simulator::Session {
    int fd = -1;
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    std::size_t outSent = 0;
    bool loggedOn = false;
    bool streaming = false;
    std::uint8_t sizeCode = 1;
    ViewState view;
    Clock::time_point nextFrame;
    JpegFrameEncoder encoder;
    RgbImage image;
    std::vector<std::uint8_t> frameData;
    // Frames queued for the timing log: where each ends in `out`, and what to log about it.
    struct PendingFrame {
        std::size_t end;
        std::uint64_t number;
        std::uint64_t fingerprint;
        std::size_t packets;
    };
    std::deque<PendingFrame> pending;

    [[nodiscard]] std::size_t backlog() const { return out.size() - outSent; }
    void queue(std::span<const std::uint8_t> bytes) {
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
};

std::string simulatorUsage() {
    return "Usage: kestrel-camsim [options]\n"
           "A simulated pan/tilt camera for Kestrel. Serves one client at a time.\n"
           "\n"
           "  --address A         listen address (default 127.0.0.1)\n"
           "  --port P            listen port (default 1600; 0 picks a free one)\n"
           "  --user U            accepted user name (default admin)\n"
           "  --password W        accepted password (default lanterns)\n"
           "  --stream-id N       stream identifier announced at logon (default 19283)\n"
           "  --max-brightness N  maximum brightness announced at logon (default 10)\n"
           "  --fps F             frames per second while streaming (default 15)\n"
           "  --unpaced           send each frame as soon as the previous one has left\n"
           "  --still             send one picture again and again, without coding each frame\n"
           "                      (measures a client rather than the simulator)\n"
           "  --size WxH          first stream size: 160x120, 320x240 (default) or 640x480\n"
           "  --refuse T:E        answer requests of type T with error number E (repeatable)\n"
           "  --verbose           log every request and reply on standard error\n"
           "  --timing-log FILE   log each frame's fingerprint and the moment its last byte left\n"
           "  --help              show this text\n"
           "\n"
           "Error numbers: 1 unknown request, 2 wrong user or password, 3 wrong stream id,\n"
           "5 bad argument, 6 not logged on.\n";
}

bool parseSimulatorOptions(const std::vector<std::string>& args, SimulatorOptions& options,
                           std::string& message) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> const std::string* {
            return i + 1 < args.size() ? &args[++i] : nullptr;
        };
        unsigned long long number = 0;
        const std::string* v = nullptr;
        if (arg == "--help" || arg == "-h") {
            message = simulatorUsage();
            return false;
        }
        if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--unpaced") {
            options.unpaced = true;
        } else if (arg == "--still") {
            options.stillPicture = true;
        } else if ((v = value()) == nullptr) {
            message = "kestrel-camsim: " + arg + " needs a value (see --help)\n";
            return false;
        } else if (arg == "--address") {
            options.address = *v;
        } else if (arg == "--port" && parseNumber(*v, 65535, number)) {
            options.port = static_cast<std::uint16_t>(number);
        } else if (arg == "--timing-log") {
            options.timingLog = *v;
        } else if (arg == "--user") {
            options.user = *v;
        } else if (arg == "--password") {
            options.password = *v;
        } else if (arg == "--stream-id" && parseNumber(*v, 0xFFFFFFFFULL, number)) {
            options.streamId = static_cast<std::uint32_t>(number);
        } else if (arg == "--max-brightness" && parseNumber(*v, 0xFFFFFFFFULL, number)) {
            options.maxBrightness = static_cast<std::uint32_t>(number);
        } else if (arg == "--fps") {
            char* end = nullptr;
            const double fps = std::strtod(v->c_str(), &end);
            if (end == v->c_str() || *end != '\0' || !(fps > 0.0 && fps <= 1000.0)) {
                message = "kestrel-camsim: --fps takes a number from 0 to 1000\n";
                return false;
            }
            options.framesPerSecond = fps;
        } else if (arg == "--size") {
            bool found = false;
            for (std::uint8_t code = 0; code < 3; ++code) {
                const auto [w, h] = kStreamSizes[code];
                if (*v == std::to_string(w) + "x" + std::to_string(h)) {
                    options.sizeCode = code;
                    found = true;
                }
            }
            if (!found) {
                message = "kestrel-camsim: --size takes 160x120, 320x240 or 640x480\n";
                return false;
            }
        } else if (arg == "--refuse") {
            const auto colon = v->find(':');
            unsigned long long type = 0;
            unsigned long long error = 0;
            if (colon == std::string::npos || !parseNumber(v->substr(0, colon), 255, type) ||
                !parseNumber(v->substr(colon + 1), 255, error)) {
                message = "kestrel-camsim: --refuse takes TYPE:ERROR, both 0 to 255\n";
                return false;
            }
            options.refusals[static_cast<std::uint8_t>(type)] = static_cast<std::uint8_t>(error);
        } else {
            message = "kestrel-camsim: unknown or malformed option " + arg + " (see --help)\n";
            return false;
        }
    }
    return true;
}

Simulator::Simulator(SimulatorOptions options, std::ostream& log)
    : options_(std::move(options)), log_(log), started_(Clock::now()) {}

Simulator::~Simulator() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

std::string Simulator::listen() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        return std::string("socket: ") + std::strerror(errno);
    }
    const int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (::inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
        return "not an IPv4 address: " + options_.address;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket API's own cast
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    if (::bind(listenFd_, generic, length) != 0 || ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, generic, &length) != 0) {
        return options_.address + ":" + std::to_string(options_.port) + ": " + std::strerror(errno);
    }
    port_ = ntohs(address.sin_port);
    if (!options_.timingLog.empty()) {
        timingLog_ = std::make_unique<std::ofstream>(options_.timingLog);
        if (!*timingLog_) {
            return "cannot write the timing log " + options_.timingLog;
        }
    }
    return {};
}

void Simulator::serve(const std::atomic<bool>& stop) {
    while (!stop.load()) {
        pollfd entry{listenFd_, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) {
            continue;
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket API's own cast
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        if (options_.verbose) {
            std::array<char, INET_ADDRSTRLEN> text{};
            ::inet_ntop(AF_INET, &peer.sin_addr, text.data(), text.size());
            log_ << "client " << text.data() << ":" << ntohs(peer.sin_port) << " connected\n";
        }
        serveClient(fd, stop);
        ::close(fd);
        if (options_.verbose) {
            log_ << "client gone\n";
        }
    }
}

void Simulator::serveClient(int fd, const std::atomic<bool>& stop) {
    Session session;
    session.fd = fd;
    session.sizeCode = options_.sizeCode;
    session.view.maxBrightness = options_.maxBrightness;
    restoreDefaults(session);
    std::array<std::uint8_t, 8192> buffer{};
    while (!stop.load()) {
        const auto now = Clock::now();
        if (session.streaming && now >= session.nextFrame) {
            const bool room =
                options_.unpaced ? session.backlog() == 0 : session.backlog() < kMaxBacklog;
            if (room) {
                queueFrame(session);
            }
            if (!options_.unpaced) {
                const auto interval = std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(1.0 / options_.framesPerSecond));
                session.nextFrame += interval;
                if (session.nextFrame < now) {
                    session.nextFrame = now + interval;  // fell behind: keep the pace from here
                }
            }
        }
        int timeout = 100;
        if (session.streaming) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                session.nextFrame - Clock::now());
            timeout = static_cast<int>(std::clamp<long long>(wait.count(), 0, 100));
            if (options_.unpaced && session.backlog() == 0) {
                timeout = 0;
            }
        }
        pollfd entry{fd, static_cast<short>(POLLIN | (session.backlog() > 0 ? POLLOUT : 0)), 0};
        if (::poll(&entry, 1, timeout) < 0 && errno != EINTR) {
            return;
        }
        if ((entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
            (entry.revents & POLLIN) == 0) {
            return;
        }
        if ((entry.revents & POLLIN) != 0) {
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                return;  // the client vanished
            }
            if (got > 0) {
                session.in.insert(session.in.end(), buffer.begin(), buffer.begin() + got);
            }
            std::size_t used = 0;
            while (const auto request = p::readRequest(std::span(session.in).subspan(used))) {
                const std::vector<std::uint8_t> body(request->body.begin(), request->body.end());
                used += p::kHeaderSize + body.size();
                handle(session, request->type, request->sequence, body);
            }
            session.in.erase(session.in.begin(), session.in.begin() + static_cast<long>(used));
        }
        if (session.backlog() > 0) {
            const ssize_t sent =
                ::send(fd, session.out.data() + session.outSent, session.backlog(), MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            }
            if (sent > 0) {
                session.outSent += static_cast<std::size_t>(sent);
                logSentFrames(session);
            }
            if (session.outSent == session.out.size()) {
                session.out.clear();
                session.outSent = 0;
                session.pending.clear();
            }
        }
    }
}

void Simulator::handle(Session& session, std::uint8_t type, std::uint8_t sequence,
                       const std::vector<std::uint8_t>& body) {
    std::ostringstream line;
    line << "<- " << p::requestTypeName(type) << " seq " << int{sequence};
    std::uint8_t result = p::Ack;
    const auto reply = [&](std::uint8_t code) {
        result = code;
        const auto bytes = p::buildCommandReply(code, sequence);
        session.queue(bytes);
    };

    if (type == static_cast<std::uint8_t>(p::RequestType::Logon)) {
        std::vector<std::uint8_t> whole(p::kHeaderSize, 0);
        whole.insert(whole.end(), body.begin(), body.end());
        const auto credentials = p::readLogonCredentials(whole);
        const bool good = credentials && credentials->user == options_.user &&
                          credentials->password == options_.password;
        if (credentials) {
            line << " user \"" << credentials->user << "\"";
        }
        p::LogonReplyContent content;
        content.result = good ? p::Ack : kErrorBadCredentials;
        content.sequence = sequence;
        content.streamId = options_.streamId;
        content.maxBrightness = options_.maxBrightness;
        content.timePerFrame = static_cast<std::uint32_t>(1000.0 / options_.framesPerSecond);
        for (const auto& [w, h] : kStreamSizes) {
            content.streams.push_back({w, h, 100000, 0});
        }
        if (const auto refusal = options_.refusals.find(type); refusal != options_.refusals.end()) {
            content.result = refusal->second;
        }
        result = content.result;
        session.loggedOn = result == p::Ack;
        session.queue(p::buildLogonReply(content));
    } else if (const auto refusal = options_.refusals.find(type);
               refusal != options_.refusals.end()) {
        reply(refusal->second);
    } else if (!session.loggedOn) {
        reply(kErrorNotLoggedOn);
    } else {
        switch (static_cast<p::RequestType>(type)) {
            case p::RequestType::StartStream: {
                const bool rightStream =
                    body.size() >= 4 && p::getU32(body, 0) == options_.streamId;
                reply(rightStream ? p::Ack : kErrorBadStreamId);
                if (rightStream && !session.streaming) {
                    session.streaming = true;
                    session.nextFrame = Clock::now();
                }
                break;
            }
            case p::RequestType::StopStream:
                session.streaming = false;
                reply(p::Ack);
                break;
            case p::RequestType::MoveCamera:
                if (!body.empty() && moveView(session.view, body[0])) {
                    line << " direction " << int{body[0]};
                    reply(p::Ack);
                } else {
                    reply(kErrorBadArgument);
                }
                break;
            case p::RequestType::SetStatusLight:
                session.view.lightOn = !body.empty() && body[0] != 0;
                line << (session.view.lightOn ? " on" : " off");
                reply(p::Ack);
                break;
            case p::RequestType::SetBrightness: {
                const auto value = body.size() >= 4 ? static_cast<std::int32_t>(p::getU32(body, 0))
                                                    : std::int32_t{-1};
                line << " value " << value;
                if (value >= 0 && static_cast<std::uint32_t>(value) <= options_.maxBrightness) {
                    session.view.brightness = static_cast<std::uint32_t>(value);
                    reply(p::Ack);
                } else {
                    reply(kErrorBadArgument);
                }
                break;
            }
            case p::RequestType::SelectStream:
                if (!body.empty() && body[0] < 3) {
                    session.sizeCode = body[0];
                    line << " size " << kStreamSizes[body[0]].width << "x"
                         << kStreamSizes[body[0]].height;
                    reply(p::Ack);
                } else {
                    reply(kErrorBadArgument);
                }
                break;
            case p::RequestType::ResetCamera:
                restoreDefaults(session);
                reply(p::Ack);
                break;
            default:
                reply(kErrorUnknownRequest);
                break;
        }
    }
    if (options_.verbose) {
        line << " -> "
             << (result == p::Ack ? std::string("Ack") : "error " + std::to_string(result));
        log_ << line.str() << '\n';
    }
}

void Simulator::restoreDefaults(Session& session) const {
    resetView(session.view);
    session.view.lightOn = false;
    session.view.brightness = options_.maxBrightness / 2;  // the scene as it is
    session.sizeCode = options_.sizeCode;
}

void Simulator::queueFrame(Session& session) {
    const StreamSize size = kStreamSizes[session.sizeCode];
    const bool sameSize = session.image.width == size.width && session.image.height == size.height;
    session.image.width = size.width;
    session.image.height = size.height;
    // A still picture is coded once for each size; the commands then show only after a resize.
    if (!(options_.stillPicture && sameSize && !session.frameData.empty())) {
        session.view.frameNumber = framesSent_.load();
        session.view.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        session.view.clock = wallClock();
        renderScene(session.view, session.image);
        session.encoder.encode(session.image, session.frameData);
    }
    const auto packets = p::packetiseFrame(session.frameData, {size.height, size.width});
    session.queue(packets);
    if (timingLog_) {
        // A FirstPacket header of 26 bytes, then 8 for each further packet.
        const std::size_t headers = packets.size() - session.frameData.size();
        const std::size_t count =
            (headers - p::kFirstPacketHeaderSize) / p::kOtherPacketHeaderSize + 1;
        session.pending.push_back(
            {session.out.size(), framesSent_.load(), frameFingerprint(session.frameData), count});
    }
    ++framesSent_;
}

void Simulator::logSentFrames(Session& session) {
    if (!timingLog_) {
        return;
    }
    while (!session.pending.empty() && session.pending.front().end <= session.outSent) {
        const auto& frame = session.pending.front();
        *timingLog_ << frame.number << ' ' << frame.fingerprint << ' ' << frame.packets << ' '
                    << monotonicNanoseconds() << '\n';
        session.pending.pop_front();
    }
    // Once everything queued has left, the buffer starts again from its beginning.
    if (session.outSent == session.out.size()) {
        timingLog_->flush();
    }
}

}  // namespace kestrel::camsim
