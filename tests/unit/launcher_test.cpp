#include "supervisor.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> child_argv(const char* path, int code, int debug, int plugin)
{
    ChildArgv args;
    int n = build_child_argv(args, path, code, debug, plugin);
    std::vector<std::string> out;
    for (int i = 0; i < 16 && args.argv[i]; i++)
        out.push_back(args.argv[i]);
    EXPECT_EQ(static_cast<int>(out.size()), n);
    EXPECT_EQ(args.argv[n], nullptr);
    return out;
}

using Args = std::vector<std::string>;

TEST(ChildArgv, Table)
{
    struct Case {
        const char* path;
        int code, debug, plugin;
        Args expected;
    } cases[] = {
        // clang-format off
        {"prog", 0, 0, 0, {"prog"}},
        {"prog", 9, 0, 0, {"prog", "-r", "9"}},
        {"prog", 0, 2, 0, {"prog"}}, // only 1 turns debug on
        {"prog", -1, 1, 0, {"prog", "-r", "-1", "-d"}},
        {"/data//prog", 0, 0, 1,
         {"/data//prog", "-T", "/tmp/.uci/", "-D", "/data/", "-O", "solvarine_mt7526"}},
        {"/data//prog", 160, 1, 1,
         {"/data//prog", "-r", "160", "-d", "-T", "/tmp/.uci/", "-D", "/data/", "-O",
          "solvarine_mt7526"}},
        // clang-format on
    };
    for (const Case& c : cases)
        EXPECT_EQ(child_argv(c.path, c.code, c.debug, c.plugin), c.expected);
}

TEST(ChildArgv, LongPathIsArgumentZeroInFull)
{
    std::string path = "/data//" + std::string(4095, 'p');
    Args args = child_argv(path.c_str(), 129, 0, 0);
    EXPECT_EQ(args[0], path);
}

} // namespace
