// The YMODEM sender against a scripted receiver: the block exchange's attempts,
// marks and messages, and the blocks of a whole one-file batch.
#include "scripted_link.h"
#include "serial/frame_number.h"
#include "ymodem/ymodem.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using test::answer;
using test::bytes;
using test::reply;
using test::scripted_link;

constexpr std::uint8_t ACK = 0x06, NAK = 0x15, EOT = 0x04;

// Bit by bit, independent of the sender's table.
std::uint16_t reference_crc(const std::uint8_t* data, std::size_t n) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int b = 0; b < 8; ++b) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

TEST(YmodemCrc, KnownValue) {
    const std::string text = "123456789";
    EXPECT_EQ(ymodem::crc16_xmodem(reinterpret_cast<const std::uint8_t*>(text.data()), 9), 0x31C3);
}

TEST(YmodemCrc, BlockCrcCoversDataOnlyHighByteFirst) {
    std::uint8_t block[ymodem::block_size] = {0x01, 0x07, 0xF8};
    for (int i = 0; i < 128; ++i) {
        block[3 + i] = static_cast<std::uint8_t>(i * 7);
    }
    ymodem::ymodem_block_crc(block);
    const std::uint16_t crc = reference_crc(block + 3, 128);
    EXPECT_EQ(block[131], crc >> 8);
    EXPECT_EQ(block[132], crc & 0xFF);
    block[1] = 0x99; // the header does not enter the CRC
    ymodem::ymodem_block_crc(block);
    EXPECT_EQ(block[131], crc >> 8);
}

struct frame_case {
    const char* name;
    std::vector<reply> replies; // one per send
    int sends;
    int result;
    std::string console;
};

void PrintTo(const frame_case& c, std::ostream* os) {
    *os << c.name;
}

class SendFrame : public ::testing::TestWithParam<frame_case> {};

TEST_P(SendFrame, AttemptsAndMarks) {
    const auto& c = GetParam();
    scripted_link link;
    link.replies.assign(c.replies.begin(), c.replies.end());
    std::uint8_t block[ymodem::block_size] = {0x01, 0x01, 0xFE};
    std::fill(block + 3, block + 131, 0x5A);
    EXPECT_EQ(ymodem::ymodem_send_frame(block) != 0, c.result != 0);
    EXPECT_EQ(static_cast<int>(link.writes.size()), c.sends);
    EXPECT_EQ(link.console, c.console);
    for (const auto& w : link.writes) {
        EXPECT_EQ(w, bytes(block, block + ymodem::block_size))
            << "every attempt sends the same block";
    }
    // The 150 ms pause follows every complete write, none after a failed one.
    std::size_t complete_writes = static_cast<std::size_t>(c.sends);
    for (std::size_t i = 0; i < c.replies.size() && i < static_cast<std::size_t>(c.sends); ++i) {
        if (c.replies[i].write_fails || c.replies[i].write_short_by != 0) {
            --complete_writes;
        }
    }
    EXPECT_EQ(link.pauses, std::vector<std::uint32_t>(complete_writes, 150u));
}

const std::string ones = std::string(30, '1');
const std::string retry = "Ymodem send_frame retry count exceeded\n";
reply short_write() {
    reply r = answer({ACK});
    r.write_short_by = 1;
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SendFrame,
    ::testing::Values(
        frame_case{"ack", {answer({ACK})}, 1, 1, "*"},
        frame_case{"nak4_ack",
                   {answer({NAK}), answer({NAK}), answer({NAK}), answer({NAK}), answer({ACK})},
                   5,
                   1,
                   "////*"},
        frame_case{"silent", {}, 5, 0, repeat(ones, 5) + retry},
        frame_case{"late_ack", {reply{}.silence(29).data({ACK})}, 1, 1, std::string(29, '1') + "*"},
        frame_case{"too_late", {reply{}.silence(30).data({ACK}), answer({ACK})}, 2, 1, ones + "*"},
        frame_case{"c_after_block", {answer({'C'}), answer({ACK})}, 2, 1, "0x43 *"},
        frame_case{"nak_five_times",
                   {answer({NAK}), answer({NAK}), answer({NAK}), answer({NAK}), answer({NAK})},
                   5,
                   0,
                   "/////" + retry},
        frame_case{"write_fails",
                   {test::failed_write(), answer({ACK})},
                   2,
                   1,
                   "send_frame: WriteFile Failed\n*"},
        frame_case{"write_fails_always",
                   {test::failed_write(), test::failed_write(), test::failed_write(),
                    test::failed_write(), test::failed_write()},
                   5,
                   0,
                   repeat("send_frame: WriteFile Failed\n", 5) + retry},
        frame_case{
            "short_write", {short_write(), answer({ACK})}, 2, 1, "Error writing ymodem frame\n*"},
        frame_case{"read_fails",
                   {reply{}.fail_read(7)},
                   1,
                   0,
                   "ymodem_send_frame:: ReadFile Failed error = 7\n" + std::string(29, '1')},
        frame_case{"read_fails_then_ack",
                   {reply{}.fail_read(7).silence(3).data({ACK})},
                   1,
                   1,
                   "ymodem_send_frame:: ReadFile Failed error = 7\n111*"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SendFrameDrain, EarlierRepliesAreShownAndDiscarded) {
    scripted_link link;
    link.preload(reply{}.text("CC"));
    link.replies = {answer({ACK})};
    std::uint8_t block[ymodem::block_size] = {0x01, 0x00, 0xFF};
    EXPECT_NE(ymodem::ymodem_send_frame(block), 0);
    EXPECT_EQ(link.console, "CC*");
}

// A loader file in a temporary folder, named by its path relative to it.
class Batch : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() /
            ("vantrel-ymodem-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_ / "sub");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string make_file(const std::string& name, std::size_t size) {
        const auto path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary);
        for (std::size_t i = 0; i < size; ++i) {
            out.put(static_cast<char>((i * 31 + 7) & 0xFF));
        }
        return path;
    }

    // Every block acknowledged; the first EOT refused, the second acknowledged.
    static void usual_receiver(scripted_link& link, int data_blocks) {
        link.replies.push_back(reply{});       // yload command
        link.replies.push_back(answer({ACK})); // block 0
        for (int i = 0; i < data_blocks; ++i) {
            link.replies.push_back(answer({ACK}));
        }
        link.replies.push_back(answer({NAK})); // first EOT
        link.replies.push_back(answer({ACK})); // second EOT
        link.replies.push_back(answer({ACK})); // null block
    }

    static bytes block_data(const bytes& block) {
        return bytes(block.begin() + 3, block.begin() + 131);
    }

    std::filesystem::path dir_;
};

struct size_case {
    std::size_t size;
    int data_blocks;
};

void PrintTo(const size_case& c, std::ostream* os) {
    *os << c.size << " bytes";
}

class BatchSizes : public Batch, public ::testing::WithParamInterface<size_case> {};

TEST_P(BatchSizes, BlocksAndFiller) {
    const auto& c = GetParam();
    const std::string path = make_file("loader.com", c.size);
    scripted_link link;
    usual_receiver(link, c.data_blocks);
    EXPECT_EQ(ymodem::ymodem_send_file(path.c_str(), 0x2000), 1);

    ASSERT_EQ(link.writes.size(), static_cast<std::size_t>(1 + 1 + c.data_blocks + 2 + 1));
    EXPECT_EQ(std::string(link.writes[0].begin(), link.writes[0].end()), "yload 2000:0\n\r");
    // Block 0: the path as given, NUL, the decimal length, NUL, zeros.
    const bytes& header = link.writes[1];
    EXPECT_EQ(bytes(header.begin(), header.begin() + 3), (bytes{0x01, 0x00, 0xFF}));
    bytes expected(128, 0);
    const std::string fields = path + '\0' + std::to_string(c.size);
    std::copy(fields.begin(), fields.end(), expected.begin());
    EXPECT_EQ(block_data(header), expected);

    std::ifstream in(path, std::ios::binary);
    const bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes received;
    for (int i = 0; i < c.data_blocks; ++i) {
        const bytes& block = link.writes[2 + i];
        ASSERT_EQ(block.size(), 133u);
        const auto number = static_cast<std::uint8_t>(i + 1);
        EXPECT_EQ(block[1], number);
        EXPECT_EQ(block[2], 255 - number);
        const std::uint16_t crc = reference_crc(block.data() + 3, 128);
        EXPECT_EQ(block[131], crc >> 8);
        EXPECT_EQ(block[132], crc & 0xFF);
        const bytes data = block_data(block);
        received.insert(received.end(), data.begin(), data.end());
    }
    // The file's bytes, then SUB to the end of the last block.
    bytes expected_data = file;
    expected_data.resize(static_cast<std::size_t>(c.data_blocks) * 128, 0x1A);
    EXPECT_EQ(received, expected_data);

    const std::size_t eot = 2 + static_cast<std::size_t>(c.data_blocks);
    EXPECT_EQ(link.writes[eot], bytes{EOT});
    EXPECT_EQ(link.writes[eot + 1], bytes{EOT});
    const bytes& null_block = link.writes[eot + 2];
    EXPECT_EQ(bytes(null_block.begin(), null_block.begin() + 3), (bytes{0x01, 0x00, 0xFF}));
    EXPECT_EQ(block_data(null_block), bytes(128, 0));
    EXPECT_EQ(link.console, std::string(static_cast<std::size_t>(c.data_blocks) + 1, '*') + "FE*");
}

INSTANTIATE_TEST_SUITE_P(Sizes, BatchSizes,
                         ::testing::Values(size_case{300, 3}, size_case{256, 3}, size_case{0, 1},
                                           size_case{5, 1}, size_case{128, 2}));

TEST_F(Batch, BlockNumbersWrapAfter255) {
    const std::string path = make_file("big.com", 300 * 128 + 1);
    scripted_link link;
    usual_receiver(link, 301);
    EXPECT_EQ(ymodem::ymodem_send_file(path.c_str(), 0x2000), 1);
    EXPECT_EQ(link.writes[2 + 254][1], 255);
    EXPECT_EQ(link.writes[2 + 255][1], 0);
    EXPECT_EQ(link.writes[2 + 255][2], 0xFF);
    EXPECT_EQ(link.writes[2 + 256][1], 1);
    EXPECT_EQ(serial::frame_number, 301 % 256);
}

TEST_F(Batch, HeaderNotAcknowledgedSkipsTheData) {
    const std::string path = make_file("loader.com", 300);
    scripted_link link;
    link.replies = {reply{},       reply{},      reply{},
                    reply{},       reply{},      reply{}, // yload, block 0 five times
                    answer({ACK}), answer({ACK})};        // EOT, null block
    EXPECT_EQ(ymodem::ymodem_send_file(path.c_str(), 0x1f), 0);
    ASSERT_EQ(link.writes.size(), 1u + 5 + 1 + 1);
    EXPECT_EQ(std::string(link.writes[0].begin(), link.writes[0].end()), "yload 1f:0\n\r");
    EXPECT_EQ(link.writes[6], bytes{EOT});
    EXPECT_EQ(link.writes[7][1], 0);
    EXPECT_NE(link.console.find(retry), std::string::npos);
    EXPECT_EQ(link.console.find("Error sending final null pkt 0"), std::string::npos);
}

TEST_F(Batch, FailedDataBlockStopsTheDataButEndsTheBatch) {
    // The result is 0 even when the failing block is the last one (the last
    // with file bytes, or the SUB-only block after a file of whole blocks): the
    // board has not confirmed the whole program, so it must not be started.
    struct fail_case {
        std::size_t size;
        int failing_block;
    };
    for (const auto& c : {fail_case{300, 2}, fail_case{300, 3}, fail_case{256, 3}}) {
        const std::string path = make_file("loader.com", c.size);
        scripted_link link;
        link.replies = {reply{}, answer({ACK})};
        for (int i = 1; i < c.failing_block; ++i) {
            link.replies.push_back(answer({ACK}));
        }
        for (int i = 0; i < 5; ++i) {
            link.replies.push_back(answer({NAK}));
        }
        link.replies.push_back(answer({ACK})); // EOT
        link.replies.push_back(reply{});       // null block never acknowledged
        for (int i = 0; i < 4; ++i) {
            link.replies.push_back(reply{});
        }
        EXPECT_EQ(ymodem::ymodem_send_file(path.c_str(), 0x2000), 0) << c.failing_block;
        EXPECT_EQ(link.writes.size(), 2u + (c.failing_block - 1) + 5 + 1 + 5);
        EXPECT_NE(link.console.find("Error sending final null pkt 0\n"), std::string::npos);
    }
}

TEST_F(Batch, EotRepeatedUntilAcknowledged) {
    scripted_link link;
    link.replies = {answer({NAK}), reply{}.silence(3).text("x").data({ACK})};
    ymodem::ymodem_send_eot();
    EXPECT_EQ(link.writes, (std::vector<bytes>{{EOT}, {EOT}}));
    EXPECT_EQ(link.console, "FFE");
}

TEST_F(Batch, EotGivesUpAfterTenTries) {
    scripted_link link;
    ymodem::ymodem_send_eot();
    EXPECT_EQ(link.writes.size(), 10u);
    EXPECT_EQ(link.empty_polls, 10 * 10 + 1) << "ten polls per try, then the drain's one";
}

TEST_F(Batch, PathWithDirectoryGoesIntoBlockZeroAsWritten) {
    std::filesystem::current_path(dir_);
    make_file("sub/Loader.COM", 10);
    scripted_link link;
    usual_receiver(link, 1);
    EXPECT_EQ(ymodem::ymodem_send_file("./sub/Loader.COM", 0x2000), 1);
    const std::string start(link.writes[1].begin() + 3, link.writes[1].begin() + 3 + 20);
    EXPECT_EQ(start, std::string("./sub/Loader.COM\0"
                                 "10\0",
                                 20));
}

TEST_F(Batch, MissingFileWaitsForAKeyAndSendsNothing) {
    for (const char* path : {"/nonexistent/loader.com", static_cast<const char*>(nullptr)}) {
        scripted_link link;
        EXPECT_EQ(ymodem::ymodem_send_file(path, 0x2000), 0);
        EXPECT_TRUE(link.writes.empty());
        EXPECT_EQ(link.key_waits, 1);
        EXPECT_EQ(link.console, std::string("Error opening file: ") + (path ? path : "(null)") +
                                    " process aborted\n");
    }
}

TEST_F(Batch, NameThatDoesNotFitBlockZeroIsRefusedBeforeSending) {
    // 128 bytes hold the name, its NUL, "300" and the length's NUL: 123 characters fit.
    const std::string fits = make_file(std::string(123 - dir_.string().size() - 1, 'a'), 300);
    const std::string too_long = make_file(std::string(124 - dir_.string().size() - 1, 'b'), 300);
    ASSERT_EQ(fits.size(), 123u);
    {
        scripted_link link;
        usual_receiver(link, 3);
        EXPECT_EQ(ymodem::ymodem_send_file(fits.c_str(), 0x2000), 1);
        EXPECT_EQ(link.writes[1][3 + 123], 0);
        EXPECT_EQ(link.writes[1][3 + 127], 0);
    }
    scripted_link link;
    EXPECT_EQ(ymodem::ymodem_send_file(too_long.c_str(), 0x2000), 0);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_NE(link.console.find("too long"), std::string::npos) << link.console;
}

} // namespace
