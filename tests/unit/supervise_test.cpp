#include "supervisor.h"

#include <csignal>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(WaitStatus, Decoding)
{
    struct Case {
        int status;
        bool decoded;
        int code;
        int normal;
    } cases[] = {
        {0x0000, true, 0, 1},          // exit 0
        {0x8100, true, 129, 1},        // exit 129
        {0xa000, true, 160, 1},        // exit 160
        {SIGKILL, true, 9, 0},         // killed
        {SIGSEGV | 0x80, true, 11, 0}, // killed, core dumped: the core bit is no part of the code
        {0x137f, true, 0x13, 0},       // stopped by signal 19
        {0x007f, true, 0x7f, 0},       // low byte 0x7f alone counts as a signal
        {0x0101, false, -7, 0},        // none of the forms: the code keeps its value
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        int code = -7;
        int normal = -7;
        EXPECT_EQ(decode_wait_status(c.status, code, normal), c.decoded);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(normal, c.normal);
    }
}

TEST(WaitStatus, FindAndDecodeMatchesFirstSlotOnly)
{
    static SupervisorState state;
    memset(&state, 0, sizeof state);
    state.count = 3;
    state.procs[0].pid = 10;
    state.procs[1].pid = 20;
    state.procs[2].pid = 20;
    state.procs[3].pid = 30; // beyond count: never matched
    int code = 5, normal = 5;
    EXPECT_EQ(find_and_decode(20, SIGKILL, state, code, normal), 1);
    EXPECT_EQ(code, 9);
    EXPECT_EQ(normal, 0);

    code = 5, normal = 5;
    testing::internal::CaptureStdout();
    EXPECT_EQ(find_and_decode(30, 0, state, code, normal), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No such pid(30) for reexec\n");
    EXPECT_EQ(code, 5);
    EXPECT_EQ(normal, 5);
}

TEST(SegvDelay, BacksOffThenStaysAtTwoHours)
{
    static SupervisorState state;
    memset(&state, 0, sizeof state);
    const unsigned expected[] = {60, 660, 1260, 7200, 7200, 7200};
    for (unsigned delay : expected)
        EXPECT_EQ(segv_delay(state), delay);
}

TEST(ExitLine, FormsAndCut)
{
    char line[256];
    const char* ts = "Tue Dec  8 20:29:37 2026";
    size_t n = format_exit_line(line, sizeof line, ts, "prog", 160, 1);
    EXPECT_EQ(std::string(line, n),
              "Tue Dec  8 20:29:37 2026: prog exited normally with code(160)\n");
    n = format_exit_line(line, sizeof line, ts, "prog", 9, 0);
    EXPECT_EQ(std::string(line, n), "Tue Dec  8 20:29:37 2026: prog killed by signal(9)\n");
    n = format_exit_line(line, sizeof line, ts, "prog", 0, 2); // any value but 1: signal form
    EXPECT_EQ(std::string(line, n), "Tue Dec  8 20:29:37 2026: prog killed by signal(0)\n");

    // The longest line that fits is kept whole; one byte more is cut to 254 + newline.
    for (size_t name_len : {255u - 57u, 255u - 56u, 4095u}) {
        std::string name(name_len, 'n');
        n = format_exit_line(line, sizeof line, ts, name.c_str(), 1, 1);
        std::string expected = std::string(ts) + ": " + name + " exited normally with code(1)\n";
        SCOPED_TRACE(expected.size());
        if (expected.size() <= 255) {
            EXPECT_EQ(std::string(line, n), expected);
        } else {
            EXPECT_EQ(n, 255u);
            EXPECT_EQ(std::string(line, n), expected.substr(0, 254) + "\n");
        }
    }
}

} // namespace
