// The packet pump, frame assembly and the decoder fed an arbitrary byte stream as if from the
// camera, in arbitrary receive-sized pieces. The first byte sets the piece size (16 to 4096
// bytes); the rest is the stream.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "fuzz/fuzz_support.h"
#include "video/frame_assembly.h"
#include "video/jpeg_decoder.h"
#include "video/packet_pump.h"

namespace v = kestrel::video;

namespace {

struct Client {
    std::array<std::uint8_t, 4096> recvBuf{};
    v::PacketPump pump{recvBuf, std::chrono::milliseconds(0)};
    std::unique_ptr<v::FrameBuffers> frames = std::make_unique<v::FrameBuffers>();
    v::JpegDecoder decoder;
    v::Picture picture;

    // Takes packets until none is whole.
    void pumpAll(const kestrel::connection::Socket& sock) {
        for (bool more = true; more;) {
            switch (pump.readPacket(sock)) {
                case v::PumpResult::Packet:
                    if (v::assemblePacket(*frames, pump.packet(), false) ==
                        v::AssemblyResult::Published) {
                        try {
                            decoder.decode(frames->image(), picture);
                        } catch (const v::DecodeError&) {
                            // rejected frames are dropped, as the window drops them
                        }
                    }
                    break;
                case v::PumpResult::Oversized:
                    frames->dropFrame();
                    break;
                case v::PumpResult::Nothing:
                    more = false;
                    break;
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t piece = (std::size_t{data[0]} + 1) * 16;
    const std::span<const std::uint8_t> stream(data + 1, size - 1);
    kestrel::fuzz::CameraPipe pipe;
    Client client;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        if (!pipe.send(stream.subspan(at, std::min(piece, stream.size() - at)))) {
            break;
        }
        client.pumpAll(pipe.client);
    }
    pipe.closeCamera();
    client.pumpAll(pipe.client);
    return 0;
}
