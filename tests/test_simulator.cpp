// The simulated camera as a client sees it: its answers, and the effect of each command on the
// frames it sends, through its own encoder and the client's decoder.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "connection/exchange.h"
#include "connection/logon.h"
#include "protocol/wire.h"
#include "tools/camsim/simulator.h"
#include "video/frame_assembly.h"
#include "video/jpeg_decoder.h"
#include "video/packet_pump.h"

namespace c = kestrel::connection;
namespace p = kestrel::protocol;
namespace v = kestrel::video;
using kestrel::camsim::Simulator;
using kestrel::camsim::SimulatorOptions;

namespace {

// The simulator serving on a free loopback port on its own thread.
class RunningSimulator {
public:
    explicit RunningSimulator(SimulatorOptions options = {}) {
        options.port = 0;
        options.framesPerSecond = 50;
        simulator_ = std::make_unique<Simulator>(options, log_);
        EXPECT_EQ(simulator_->listen(), "");
        thread_ = std::thread([this] { simulator_->serve(stop_); });
    }
    ~RunningSimulator() {
        stop_ = true;
        thread_.join();
    }
    RunningSimulator(const RunningSimulator&) = delete;
    RunningSimulator& operator=(const RunningSimulator&) = delete;
    [[nodiscard]] std::string port() const { return std::to_string(simulator_->port()); }

private:
    std::ostringstream log_;
    std::atomic<bool> stop_{false};
    std::unique_ptr<Simulator> simulator_;
    std::thread thread_;
};

// A client made of the window's own parts, without the window.
class Client {
public:
    explicit Client(const std::string& port, const std::string& password = "lanterns") {
        outcome = c::logOn(sock, {"127.0.0.1", port, "admin", password}, seqNo);
    }
    std::string command(const auto& request) {
        return c::exchangeRequest(sock, request, c::ReplyHandling::Read, recvBuf);
    }
    // Starts the stream, takes the first whole frame, stops and drains.
    v::Picture frame() {
        // The start reply is left to the pump, which passes it over like any reply in a stream.
        const auto start = p::buildStartStream(p::takeSequence(seqNo), outcome.streamId);
        c::WaitWritable(sock);
        EXPECT_NE(sock.send(start), -1);
        v::PacketPump pump(recvBuf);
        auto frames = std::make_unique<v::FrameBuffers>();
        v::Picture picture;
        for (int i = 0; i < 1000; ++i) {
            if (pump.readPacket(sock) == v::PumpResult::Packet &&
                v::assemblePacket(*frames, pump.packet(), false) == v::AssemblyResult::Published) {
                decoder.decode(frames->image(), picture);
                break;
            }
        }
        const auto stop = p::buildStopStream(p::takeSequence(seqNo));
        c::WaitWritable(sock);
        (void)sock.send(stop);
        while (c::WaitReadable(sock, std::chrono::milliseconds(300)) > 0 &&
               sock.receive(recvBuf) > 0) {
        }
        return picture;
    }

    c::Socket sock;
    std::uint8_t seqNo = 0;
    c::LogonOutcome outcome;
    std::array<std::uint8_t, 4096> recvBuf{};
    v::JpegDecoder decoder;
};

// Mean absolute difference of the blue-green-red bytes of two pictures over columns
// [x0, x0 + width) of `a` against the same rows of `b` shifted left by `shift` pixels, lower half.
double difference(const v::Picture& a, const v::Picture& b, int shift) {
    double sum = 0;
    long count = 0;
    for (int y = a.height / 2; y < a.height; ++y) {
        for (int x = 0; x + shift < a.width && x < b.width; ++x) {
            for (int k = 0; k < 3; ++k) {
                const auto pa =
                    a.pixels[static_cast<std::size_t>((y * a.width + x + shift) * 4 + k)];
                const auto pb = b.pixels[static_cast<std::size_t>((y * b.width + x) * 4 + k)];
                sum += std::abs(int{pa} - int{pb});
                ++count;
            }
        }
    }
    return sum / static_cast<double>(count);
}

double meanLevel(const v::Picture& picture) {
    double sum = 0;
    for (std::size_t i = 0; i < picture.pixels.size(); i += 4) {
        sum += picture.pixels[i] + picture.pixels[i + 1] + picture.pixels[i + 2];
    }
    return sum / static_cast<double>(picture.pixels.size() / 4 * 3);
}

}  // namespace

TEST(Simulator, LogonAndCommandAnswers) {
    SimulatorOptions options;
    options.refusals[static_cast<std::uint8_t>(p::RequestType::ResetCamera)] = 12;
    RunningSimulator simulator(options);
    {
        Client wrong(simulator.port(), "wrong");
        EXPECT_EQ(wrong.outcome.failure, "Logon failed: Error 2");
    }
    Client client(simulator.port());
    ASSERT_TRUE(client.outcome.accepted()) << client.outcome.failure;
    EXPECT_EQ(client.outcome.maxBrightness, 10U);
    EXPECT_EQ(client.command(p::buildMoveCamera(p::takeSequence(client.seqNo), 4)), "");
    EXPECT_EQ(client.command(p::buildSetBrightness(p::takeSequence(client.seqNo), 10)), "");
    EXPECT_EQ(client.command(p::buildSetBrightness(p::takeSequence(client.seqNo), 11)),
              "Command failed: Error 5");
    EXPECT_EQ(client.command(p::buildResetCamera(p::takeSequence(client.seqNo))),
              "Command failed: Error 12");
    EXPECT_EQ(client.command(p::buildStartStream(p::takeSequence(client.seqNo), 999)),
              "Command failed: Error 3");
}

TEST(Simulator, CommandsShowInTheNextFrames) {
    RunningSimulator simulator;
    Client client(simulator.port());
    ASSERT_TRUE(client.outcome.accepted());

    const v::Picture home = client.frame();
    ASSERT_EQ(home.width, 320);
    ASSERT_EQ(home.height, 240);

    // A step to the right shows the scene moved left by an eighth of the view.
    EXPECT_EQ(client.command(p::buildMoveCamera(p::takeSequence(client.seqNo), 6)), "");
    const v::Picture right = client.frame();
    EXPECT_LT(difference(home, right, 40), difference(home, right, 0) / 2);

    // The light and the brightness change the picture; a size change the next frame's size.
    const auto lightOff = client.frame();
    EXPECT_EQ(client.command(p::buildSetStatusLight(p::takeSequence(client.seqNo), 1)), "");
    EXPECT_GT(difference(lightOff, client.frame(), 0), 0.05);
    EXPECT_EQ(client.command(p::buildSetBrightness(p::takeSequence(client.seqNo), 0)), "");
    const double dark = meanLevel(client.frame());
    EXPECT_LT(dark, meanLevel(lightOff) * 0.6);

    EXPECT_EQ(client.command(p::buildSelectStream(p::takeSequence(client.seqNo), 2)), "");
    const v::Picture large = client.frame();
    EXPECT_EQ(large.width, 640);
    EXPECT_EQ(large.height, 480);

    // Reset brings back the home view at its first size.
    EXPECT_EQ(client.command(p::buildResetCamera(p::takeSequence(client.seqNo))), "");
    const v::Picture again = client.frame();
    ASSERT_EQ(again.width, 320);
    EXPECT_LT(difference(home, again, 0), difference(home, right, 0) / 2);
}
