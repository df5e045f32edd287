// The packet exchange against a scripted loader: sends, marks, erase reports,
// aborts and the results, and the packet's own bytes.
#include "flash/packet.h"
#include "scripted_link.h"
#include "serial/frame_number.h"

#include <gtest/gtest.h>

namespace {

using test::answer;
using test::bytes;
using test::reply;
using test::scripted_link;

constexpr std::uint8_t ACK = 0x06, BEL = 0x07, NAK = 0x15, ESC = 0x1B;

std::uint16_t check_of(const std::string& text) {
    std::uint16_t reg = 0;
    for (unsigned char c : text) {
        reg = flash::crc16_shift_in(c, reg);
    }
    return reg;
}

TEST(CheckValue, KnownValues) {
    EXPECT_EQ(check_of("123456789"), 0xBEEF);
    // Two more zero bytes turn the register into the XMODEM CRC.
    EXPECT_EQ(check_of(std::string("123456789\0\0", 11)), 0x31C3);
}

TEST(CheckValue, FirstPacketOfCountingBytesIsStoredLowByteFirst) {
    scripted_link link;
    link.replies = {answer({ACK})};
    serial::frame_number = 0;
    std::uint8_t packet[flash::packet_size];
    for (int i = 0; i < 127; ++i) {
        packet[3 + i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(flash::sp_send_packet(packet), 1);
    const bytes& sent = link.writes.at(0);
    ASSERT_EQ(sent.size(), 132u);
    EXPECT_EQ(sent[0], 0x01);
    EXPECT_EQ(sent[1], 0x01);
    EXPECT_EQ(sent[2], 0xFE);
    EXPECT_EQ(sent[130], 0x1F);
    EXPECT_EQ(sent[131], 0x4C);
}

struct packet_case {
    const char* name;
    std::uint8_t frame_before;
    std::vector<reply> replies; // one per send
    int sends;
    std::int32_t result;
    std::string console;
    int purges = 0;
};

void PrintTo(const packet_case& c, std::ostream* os) {
    *os << c.name;
}

class SendPacket : public ::testing::TestWithParam<packet_case> {};

TEST_P(SendPacket, AnswersDecideTheResult) {
    const auto& c = GetParam();
    scripted_link link;
    link.replies.assign(c.replies.begin(), c.replies.end());
    serial::frame_number = c.frame_before;
    std::uint8_t packet[flash::packet_size];
    std::fill(packet + 3, packet + 130, 0xA5);
    EXPECT_EQ(flash::sp_send_packet(packet), c.result);
    EXPECT_EQ(static_cast<int>(link.writes.size()), c.sends);
    EXPECT_EQ(link.console, c.console);
    EXPECT_EQ(link.purges, c.purges);
    const auto number = static_cast<std::uint8_t>(c.frame_before + 1);
    EXPECT_EQ(serial::frame_number, number);
    for (const auto& w : link.writes) {
        EXPECT_EQ(w, bytes(packet, packet + flash::packet_size))
            << "a packet sent again keeps its bytes";
        EXPECT_EQ(w[1], number);
        EXPECT_EQ(w[2], static_cast<std::uint8_t>(255 - number));
    }
    int complete_writes = c.sends;
    for (int i = 0; i < c.sends && i < static_cast<int>(c.replies.size()); ++i) {
        complete_writes -= c.replies[static_cast<std::size_t>(i)].write_fails ? 1 : 0;
    }
    EXPECT_EQ(link.wait_sents, complete_writes)
        << "each reply window opens when the packet has left";
}

const std::string erase_ok = "\nErase block  - ok\n";

INSTANTIATE_TEST_SUITE_P(
    Answers, SendPacket,
    ::testing::Values(
        packet_case{"ack", 0, {answer({ACK})}, 1, 1, "*"},
        packet_case{"erase_then_ack", 0, {answer({BEL, ACK, ACK})}, 1, 1, erase_ok + "*"},
        packet_case{"erase_failed", 0, {answer({BEL, NAK})}, 1, -2, "\nErase block  - err\n"},
        packet_case{"erase_silent", 0, {answer({BEL})}, 1, -2, "\nErase block  - err\n"},
        packet_case{"erase_text_then_ok",
                    0,
                    {reply{}.data({BEL}).text("64K").data({ACK, ACK})},
                    1,
                    1,
                    "\nErase block 64K - ok\n*"},
        // After the erase report nine more polls wait for the packet's own answer.
        packet_case{"erase_then_nine_polls",
                    0,
                    {reply{}.data({BEL, ACK}).silence(8).data({ACK})},
                    1,
                    1,
                    erase_ok + "*"},
        packet_case{"erase_then_too_late",
                    0,
                    {reply{}.data({BEL, ACK}).silence(9).data({ACK})},
                    2,
                    1,
                    erase_ok + "*"},
        packet_case{
            "nak_nak_ack", 0, {answer({NAK}), answer({NAK}), answer({ACK})}, 3, 1, "//*", 2},
        packet_case{"nak_drains_text",
                    0,
                    {reply{}.data({NAK}).text("bad crc"), answer({ACK})},
                    2,
                    1,
                    "/bad crc*",
                    1},
        packet_case{
            "escape", 0x84, {reply{}.data({ESC}).text("abort")}, 1, -1, "|\nFrame: 85h\nabort"},
        packet_case{"escape_high_number", 0xFE, {answer({ESC})}, 1, -1, "|\nFrame: FFh\n"},
        packet_case{"silent", 0, {}, 5, 0, ""},
        packet_case{"late_ack", 0, {reply{}.silence(9).data({ACK})}, 1, 1, "*"},
        packet_case{"too_late_ack", 0, {reply{}.silence(10).data({ACK})}, 2, 1, "*"},
        packet_case{"other_byte", 0, {reply{}.text("?junk"), answer({ACK})}, 2, 1, "junk*"},
        packet_case{"write_fails",
                    0,
                    {test::failed_write()},
                    1,
                    0,
                    "sp_send_packet: WriteFile Failed error = 5\n"},
        packet_case{"read_fails",
                    0,
                    {reply{}.fail_read(9)},
                    1,
                    0,
                    "sp_send_packet:: Read from Serial Port = 9\n"},
        packet_case{"read_aborted",
                    0,
                    {reply{}.fail_read(platform::read_aborted_error).data({ACK})},
                    1,
                    1,
                    "X*"},
        packet_case{"number_wraps_to_zero", 0xFF, {answer({ACK})}, 1, 1, "*"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SendPacketTiming, EmptyPollsPauseFiveMilliseconds) {
    scripted_link link;
    std::uint8_t packet[flash::packet_size] = {};
    EXPECT_EQ(flash::sp_send_packet(packet), 0);
    EXPECT_EQ(link.empty_polls, 50);
    EXPECT_EQ(link.pauses, std::vector<std::uint32_t>(50, 5u));
}

TEST(SendPacketTiming, ShortWriteIsNotRetried) {
    scripted_link link;
    reply r = answer({ACK});
    r.write_short_by = 2;
    link.replies = {r};
    std::uint8_t packet[flash::packet_size] = {};
    EXPECT_EQ(flash::sp_send_packet(packet), 0);
    EXPECT_EQ(link.writes.size(), 1u);
    EXPECT_EQ(link.console, "sp_send_packet: Error writing simple file packet frame\n");
}

} // namespace
