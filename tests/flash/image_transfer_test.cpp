// The image transfer against a scripted loader: requests, packets with their
// filler, progress lines, end markers, the next-image exchange and the final ESC.
#include "container/container_writer.h"
#include "flash/image_transfer.h"
#include "flash/packet.h"
#include "scripted_link.h"
#include "serial/frame_number.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using test::answer;
using test::bytes;
using test::reply;
using test::scripted_link;

constexpr std::uint8_t ENQ = 0x05, ACK = 0x06, NAK = 0x15, ESC = 0x1B;
const bytes end_marker = {0x04, 0x01, 0xFE};

// The loader of one image: it asks for the offset (already on the line), then
// for the size, gives the start signal after the tool's drain, and acknowledges
// the packets and the end marker.
void one_image_loader(scripted_link& link, int packets) {
    link.replies.push_back(answer({ACK, ENQ}));                         // offset
    link.replies.push_back(reply{}.data({ACK}).silence(1).data({ACK})); // size, drain, start
    for (int i = 0; i < packets; ++i) {
        link.replies.push_back(answer({ACK}));
    }
    link.replies.push_back(answer({ACK})); // end marker
}

class Transfer : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vantrel-transfer-" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const bytes& data) {
        const auto path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        return path;
    }

    std::filesystem::path dir_;
};

bytes counting(std::size_t size) {
    bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    return b;
}

bytes data_of(const bytes& packet) {
    return bytes(packet.begin() + 3, packet.begin() + 130);
}

TEST_F(Transfer, RawFileOf300Bytes) {
    const bytes image = counting(300);
    const std::string path = write("image.raw", image);
    scripted_link link;
    link.preload(answer({ENQ}));
    one_image_loader(link, 3);
    std::uint32_t offset = 0x1C0000;
    flash::transfer_report report;
    EXPECT_EQ(flash::sp_send_file(path.c_str(), offset, &report), 0);

    ASSERT_EQ(link.writes.size(), 7u);
    EXPECT_EQ(link.writes[0], (bytes{0x00, 0x00, 0x1C, 0x00}));
    EXPECT_EQ(link.writes[1], (bytes{0x2C, 0x01, 0x00, 0x00}));
    EXPECT_EQ(data_of(link.writes[2]), bytes(image.begin(), image.begin() + 127));
    EXPECT_EQ(data_of(link.writes[3]), bytes(image.begin() + 127, image.begin() + 254));
    bytes last(image.begin() + 254, image.end());
    last.resize(127, 0xFF);
    EXPECT_EQ(data_of(link.writes[4]), last);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(link.writes[2 + i][1], i + 1) << "numbers start at 1 for each image";
    }
    EXPECT_EQ(link.writes[5], end_marker);
    EXPECT_EQ(link.writes[6], bytes{ESC});
    EXPECT_EQ(link.console, "\n***E");
    EXPECT_EQ(offset, 0x1C0000u);
    EXPECT_TRUE(report.complete());
    EXPECT_EQ(report.bytes, 300u);
}

TEST_F(Transfer, FileOfTwoFullPacketsGetsAFillerPacket) {
    const std::string path = write("image.raw", counting(254));
    scripted_link link;
    link.preload(answer({ENQ}));
    one_image_loader(link, 3);
    std::uint32_t offset = 0;
    flash::transfer_report report;
    flash::sp_send_file(path.c_str(), offset, &report);
    ASSERT_EQ(link.writes.size(), 7u);
    EXPECT_EQ(data_of(link.writes[4]), bytes(127, 0xFF));
    EXPECT_EQ(link.console.find("Error"), std::string::npos);
    EXPECT_TRUE(report.complete());
}

TEST_F(Transfer, ProgressLinesOf64KiB) {
    const std::string path = write("image.raw", counting(65536));
    scripted_link link;
    link.preload(answer({ENQ}));
    one_image_loader(link, 517);
    std::uint32_t offset = 0;
    flash::transfer_report report;
    flash::sp_send_file(path.c_str(), offset, &report);
    EXPECT_EQ(link.writes.size(), 2u + 517 + 1 + 1);
    const std::string blank = "\r                            \r";
    EXPECT_EQ(test::count_of(link.console, blank), 57);
    // The first line comes after 9 packets (1143 bytes), the last after 513 (65151).
    EXPECT_EQ(link.console.find(blank + "0002Kb of 64Kb"), 1 + 9u);
    EXPECT_NE(link.console.find("*********" + blank + "0064Kb of 64Kb****E"), std::string::npos);
    EXPECT_EQ(link.writes[2 + 516][1], 517 % 256);
    EXPECT_EQ(link.writes[2 + 255][1], 0) << "the 256th packet has number 0";
    EXPECT_EQ(link.writes[2 + 255][2], 0xFF);
}

TEST(ContainerName, EndingFromTheFirstDot) {
    struct name_case {
        const char* path;
        bool container;
    };
    for (const auto& c :
         {name_case{"BIOS.BIN", true}, name_case{"bios.bin", true}, name_case{"x.Bin", true},
          name_case{"bios.bin.old", false}, name_case{"bios", false}, name_case{"bios.binx", false},
          name_case{"bios.bi", false}, name_case{"build.v2/bios.bin", false},
          name_case{"/tmp/a/bios.bin", true}}) {
        EXPECT_EQ(flash::is_container_name(c.path), c.container) << c.path;
    }
}

TEST_F(Transfer, LoaderAbortAtTheFirstPacketGetsNoEndMarker) {
    const std::string path = write("image.raw", counting(300));
    scripted_link link;
    link.preload(answer({ENQ}));
    link.replies = {answer({ACK, ENQ}), reply{}.data({ACK}).silence(1).data({ACK}), answer({ESC})};
    std::uint32_t offset = 0;
    flash::transfer_report report;
    flash::sp_send_file(path.c_str(), offset, &report);
    ASSERT_EQ(link.writes.size(), 4u);
    EXPECT_EQ(link.writes[3], bytes{ESC});
    EXPECT_EQ(link.console, "\n|\nFrame: 1h\n");
    EXPECT_FALSE(report.complete());
}

TEST_F(Transfer, FailedPacketStillGetsTheEndMarker) {
    const std::string path = write("image.raw", counting(300));
    scripted_link link;
    link.preload(answer({ENQ}));
    link.replies = {answer({ACK, ENQ}), reply{}.data({ACK}).silence(1).data({ACK})};
    std::uint32_t offset = 0;
    flash::transfer_report report;
    flash::sp_send_file(path.c_str(), offset, &report);
    ASSERT_EQ(link.writes.size(), 2u + 5 + 10 + 1) << "five sends, ten end markers, ESC";
    EXPECT_EQ(link.writes[7], end_marker);
    EXPECT_FALSE(report.complete());
}

TEST_F(Transfer, RequestsAreRepeatedUntilConfirmed) {
    const std::string path = write("image.raw", counting(10));
    scripted_link link;
    link.preload(reply{}.text("loader v1\r\n").data({ENQ}));
    link.replies = {answer({NAK}).text("bad").data({ENQ}), answer({ACK, ENQ}),
                    reply{}.data({ACK}).silence(1).data({ACK}), answer({ACK}), answer({ACK})};
    std::uint32_t offset = 0x12345678;
    flash::transfer_report report;
    flash::sp_send_file(path.c_str(), offset, &report);
    ASSERT_GE(link.writes.size(), 3u);
    EXPECT_EQ(link.writes[0], (bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(link.writes[1], (bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(link.writes[2], (bytes{10, 0, 0, 0}));
    EXPECT_TRUE(report.complete());
    EXPECT_EQ(link.console.rfind("loader v1\r\nbad", 0), 0u);
}

bytes le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

TEST_F(Transfer, ContainerImagesFollowWithTheNextImageExchange) {
    using namespace container_test;
    const bytes first = counting(200), second = counting(127);
    const bytes file =
        records({rec(0x10, bytes(5, 9)), rec(0x01, bytes{1, 2, 3}), rec(0xFE, le32(0x1C0000)),
                 rec(0xFF, first), rec(0x01, bytes{}), rec(0xFE, le32(0x10)), rec(0xFF, second)});
    const std::string path = write("images.BIN", file);
    scripted_link link;
    link.preload(answer({ENQ}));
    link.replies = {answer({ACK, ENQ}),
                    reply{}.data({ACK}).silence(1).data({ACK}),
                    answer({ACK}),
                    answer({ACK}),
                    answer({ACK, ENQ}),                         // end marker; another image?
                    reply{}.data({ACK}).silence(1).data({ENQ}), // ENQ answered; next offset request
                    answer({ACK, ENQ}),
                    reply{}.data({ACK}).silence(1).data({ACK}),
                    answer({ACK}),
                    answer({ACK}),
                    answer({ACK})};
    std::uint32_t offset = 0x5000;
    flash::transfer_report report;
    flash::sp_send_file(path.c_str(), offset, &report);
    ASSERT_EQ(link.writes.size(), 12u);
    EXPECT_EQ(link.writes[0], le32(0x1C0000));
    EXPECT_EQ(link.writes[1], le32(200));
    EXPECT_EQ(data_of(link.writes[2]), bytes(first.begin(), first.begin() + 127));
    EXPECT_EQ(link.writes[4], end_marker);
    EXPECT_EQ(link.writes[5], bytes{ENQ});
    EXPECT_EQ(link.writes[6], le32(0x10));
    EXPECT_EQ(link.writes[7], le32(127));
    EXPECT_EQ(link.writes[8][1], 1) << "numbering starts again for the next image";
    EXPECT_EQ(data_of(link.writes[8]), second);
    EXPECT_EQ(data_of(link.writes[9]), bytes(127, 0xFF));
    EXPECT_EQ(link.writes[10], end_marker);
    EXPECT_EQ(link.writes[11], bytes{ESC});
    EXPECT_EQ(offset, 0x10u) << "the offset holds the last image's";
    EXPECT_NE(std::find(link.pauses.begin(), link.pauses.end(), 100u), link.pauses.end());
    EXPECT_EQ(report.images, 2);
    EXPECT_TRUE(report.complete());
}

TEST_F(Transfer, ContainerWithoutImageSendsOnlyEscape) {
    using namespace container_test;
    const std::string path = write("none.bin", records({rec(0x01, bytes{1}), rec(0x10, bytes{2})}));
    scripted_link link;
    link.preload(answer({ENQ}));
    std::uint32_t offset = 0;
    flash::transfer_report report;
    EXPECT_EQ(flash::sp_send_file(path.c_str(), offset, &report), 0);
    EXPECT_EQ(link.writes, std::vector<bytes>{bytes{ESC}});
    EXPECT_TRUE(report.no_image);
    EXPECT_FALSE(report.complete());
    EXPECT_NE(link.console.find("holds no flash image"), std::string::npos);
}

TEST_F(Transfer, DataShorterThanDeclaredIsAReadError) {
    using namespace container_test;
    const bytes file = records({rec(0x01, bytes{}), rec(0xFE, le32(0)),
                                claiming(unclosed(rec(0xFF, counting(200))), 300)});
    const std::string path = write("short.bin", file);
    scripted_link link;
    link.preload(answer({ENQ}));
    one_image_loader(link, 1);
    std::uint32_t offset = 0;
    flash::transfer_report report;
    flash::sp_send_file(path.c_str(), offset, &report);
    ASSERT_EQ(link.writes.size(), 2u + 1 + 1 + 1) << "one packet, no more after the read error";
    EXPECT_EQ(link.writes[3], end_marker);
    EXPECT_NE(link.console.find("Error reading file " + path + "\n"), std::string::npos);
    EXPECT_FALSE(report.complete());
}

TEST_F(Transfer, MissingDataFileSendsNothing) {
    scripted_link link;
    std::uint32_t offset = 0;
    EXPECT_EQ(flash::sp_send_file(nullptr, offset), 1);
    EXPECT_EQ(flash::sp_send_file("/nonexistent/bios.bin", offset), 1);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_EQ(link.console, "Error opening file (null): process aborted\n"
                            "Error opening file /nonexistent/bios.bin: process aborted\n");
}

} // namespace
