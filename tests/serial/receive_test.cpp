// The receive primitives against a scripted line: what they echo, what they
// leave on the line, and how they spend their budgets of empty polls.
#include "scripted_link.h"

#include <gtest/gtest.h>

namespace {

using test::reply;
using test::scripted_link;

TEST(DrainEcho, SilentLineReturnsAfterOnePoll) {
    scripted_link link;
    EXPECT_EQ(serial::drain_echo(nullptr, 0), 0);
    EXPECT_EQ(link.reads, 1);
    EXPECT_EQ(link.console, "");
}

TEST(DrainEcho, CaptureStopsReadingAtMax) {
    scripted_link link;
    std::string sent;
    for (int i = 0; i < 300; ++i) {
        sent.push_back(static_cast<char>('a' + i % 26));
    }
    link.preload(reply{}.text(sent));
    std::uint8_t kept[101] = {};
    EXPECT_EQ(serial::drain_echo(kept, 100), 100);
    EXPECT_EQ(link.pending(), 200u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(kept), 100), sent.substr(0, 100));
    EXPECT_EQ(kept[100], 0) << "the kept bytes are not terminated by the drain";
}

TEST(DrainEcho, CountsEveryByteWithoutCapture) {
    scripted_link link;
    link.preload(reply{}.text("Segment: 2000\r\n"));
    EXPECT_EQ(serial::drain_echo(nullptr, 0), 15);
    EXPECT_EQ(link.console, "Segment: 2000\r\n");
}

struct display_case {
    std::uint8_t byte;
    std::string shown;
};

void PrintTo(const display_case& c, std::ostream* os) {
    *os << "byte " << static_cast<int>(c.byte);
}

class DisplayEcho : public ::testing::TestWithParam<display_case> {};

TEST_P(DisplayEcho, ShowsByteInItsForm) {
    scripted_link link;
    link.preload(reply{}.data({GetParam().byte}));
    serial::drain_echo(nullptr, 0);
    EXPECT_EQ(link.console, GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Bytes, DisplayEcho,
                         ::testing::Values(display_case{'A', "A"}, display_case{' ', " "},
                                           display_case{0x7F, "\x7F"}, display_case{'\n', "\n"},
                                           display_case{'\r', "\r"},
                                           display_case{0x07, std::string("[\x07 07]\n")},
                                           display_case{0xE9, std::string("[\xE9 e9]\n")},
                                           display_case{0x00, std::string("[\0 00]\n", 7)},
                                           display_case{0x1B, std::string("[\x1B 1b]\n")},
                                           display_case{0x80, std::string("[\x80 80]\n")}));

TEST(WaitPrompt, SilentLineSpendsTheBudget) {
    scripted_link link;
    EXPECT_EQ(serial::wait_prompt(3000), 0);
    EXPECT_EQ(link.empty_polls, 3000);
    EXPECT_TRUE(link.pauses.empty()) << "the read time-out alone paces the prompt wait";
}

TEST(WaitPrompt, BudgetStopsCountingAfterTheFirstByte) {
    scripted_link link;
    // Ten empty polls before the first byte with a budget of 20, then far more
    // silence than the budget: the wait goes on to the ':'.
    link.preload(reply{}.silence(10).text("x").silence(5000).text("yz:rest"));
    EXPECT_EQ(serial::wait_prompt(20), 1);
    EXPECT_EQ(link.console, "xyz:");
    EXPECT_EQ(link.pending(), 4u) << "the rest of the line stays unread";
}

TEST(WaitPrompt, ZeroBudgetNeverRunsOut) {
    scripted_link link;
    link.preload(reply{}.silence(4000).text(":"));
    EXPECT_EQ(serial::wait_prompt(0), 1);
}

TEST(WaitPrompt, FailedReadsCountAsEmptyPolls) {
    scripted_link link;
    link.preload(reply{}.fail_read(5).fail_read(5));
    EXPECT_EQ(serial::wait_prompt(3), 0);
    EXPECT_EQ(link.reads, 3);
}

class WaitControlReturns : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(WaitControlReturns, ControlByteWithoutEcho) {
    scripted_link link;
    link.preload(reply{}.text("loader says hi").data({GetParam()}).text("after"));
    EXPECT_EQ(serial::wait_control(3000), GetParam());
    EXPECT_EQ(link.console, "loader says hi");
    EXPECT_EQ(link.pending(), 5u);
}

INSTANTIATE_TEST_SUITE_P(ControlBytes, WaitControlReturns,
                         ::testing::Values(serial::ENQ, serial::ACK, serial::NAK, serial::ESC));

TEST(WaitControl, OtherBytesAreEchoedPlain) {
    scripted_link link;
    link.preload(reply{}.data({serial::BEL, 0x00, 0xE9, serial::ACK}));
    EXPECT_EQ(serial::wait_control(3000), serial::ACK);
    EXPECT_EQ(link.console, std::string("\x07\0\xE9", 3));
}

TEST(WaitControl, BudgetIsCountedOverTheWholeCall) {
    struct budget_case {
        int budget;
        int result;
    };
    // Gaps of 2 and 1 empty polls in the stream use 3 units of budget in all.
    for (const auto& c : {budget_case{3, serial::ACK}, budget_case{2, 0}}) {
        scripted_link link;
        link.preload(reply{}.text("ab").silence(2).text("c").silence(1).data({serial::ACK}));
        EXPECT_EQ(serial::wait_control(c.budget), c.result) << "budget " << c.budget;
        EXPECT_EQ(link.pauses, std::vector<std::uint32_t>(std::min(c.budget, 3), 1u));
    }
}

TEST(WaitControl, SilentLineGivesUpAtTheEmptyPollAfterTheBudget) {
    scripted_link link;
    EXPECT_EQ(serial::wait_control(100), 0);
    EXPECT_EQ(link.empty_polls, 101);
    EXPECT_EQ(link.pauses.size(), 100u);
}

TEST(WaitControl, ZeroBudgetReturnsAtFirstEmptyPollWithoutPause) {
    scripted_link link;
    EXPECT_EQ(serial::wait_control(0), 0);
    EXPECT_EQ(link.reads, 1);
    EXPECT_TRUE(link.pauses.empty());
}

TEST(Primitives, StopWhenTheRunIsInterrupted) {
    scripted_link link;
    link.signal = 2;
    EXPECT_EQ(serial::wait_prompt(0), 0);
    EXPECT_EQ(serial::wait_control(3000), 0);
    EXPECT_EQ(link.reads, 0);
}

} // namespace
