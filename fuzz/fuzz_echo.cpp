// Arbitrary bytes from the line through the receive primitives and the reply
// polls: the console echo, the capture of the "dls" answer, the control-byte
// wait and the packet exchange must take any byte sequence.
#include "flash/packet.h"
#include "run/main_sequence.h"
#include "scripted_link.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    test::scripted_link link;
    test::reply incoming;
    for (std::size_t i = 1; i < size; ++i) {
        // 0xFD marks an empty poll, so that gaps in the stream are fuzzed too.
        if (data[i] == 0xFD && (mode & 0x80)) {
            incoming.silence(1);
        } else {
            incoming.events.push_back({test::read_event::byte, data[i], 0});
        }
    }
    if ((mode & 3) == 2) {
        // The prompt wait has no end once the board has started to talk, by
        // design; the board's prompt closes every input here.
        incoming.text(":");
    }
    link.preload(incoming);
    std::uint8_t capture[101];
    std::uint32_t segment = 0;
    std::uint8_t packet[flash::packet_size] = {};
    switch (mode & 3) {
    case 0:
        while (link.pending() > 0) {
            serial::drain_echo(capture, 100);
        }
        break;
    case 1:
        serial::wait_control(static_cast<int>(mode >> 2));
        break;
    case 2:
        run::query_download_address(segment);
        break;
    case 3:
        flash::sp_send_packet(packet);
        break;
    }
    return 0;
}
