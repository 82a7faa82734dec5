#include "supervisor.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A file under the build tree named after the running test (CTest runs tests in
// parallel), removed again by the destructor.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string& text)
        : path(std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + ".json")
    {
        FILE* f = fopen(path.c_str(), "w");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    ~TempFile() { unlink(path.c_str()); }
};

struct ConfigCase {
    std::string text;
    int result;
    std::vector<std::string> names;
};

std::vector<std::string> names_of(const SupervisorState& state)
{
    std::vector<std::string> names;
    for (int i = 0; i < state.count && i < MAX_WATCHED; i++)
        names.push_back(state.procs[i].name);
    return names;
}

TEST(WatchConfig, Cases)
{
    const std::vector<std::string> def = {"velder-dpi-inner"};
    const std::string five =
        R"({"__watch":{"processes":[{"base":"a"},{"base":"b"},{"base":"c"},{"base":"d"},{"base":"e"}]}})";
    const ConfigCase cases[] = {
        {"{}", 0, def},
        {R"({"__watch": {}})", 0, def},
        {R"({"__watch": {"processes": []}})", 0, def},
        {R"({"__watch": 1})", 0, def},
        {"[1, 2]", 0, def},
        {"\"text\"", 0, def},
        {R"({"__watch": {"processes": [{"base": "a"}, {"base": "b"}]}})", 0, {"a", "b"}},
        {R"({"__WATCH": {"Processes": [{"BaSe": "a"}]}})", 0, {"a"}},
        {R"({"__watch": {"processes": [{"base": "a", "base": "z"}]}})", 0, {"a"}},
        {R"({"__watch": {"processes": {"x": {"base": "a"}}}})", 0, {"a"}},
        {R"({"__watch": {"processes": [{"base": ""}, {"base": ""}]}} trailing text)", 0, {"", ""}},
        {R"({"__watch":{"processes":[{"base":"a"},{"base":"b"},{"base":"c"},{"base":"d"}]}})",
         0,
         {"a", "b", "c", "d"}},
        {five, -1, {}},
        {R"({"__watch": {"processes": [{"base": "a"}, {"name": "b"}]}})", -1, {}},
        {R"({"__watch": {"processes": [{"base": 5}]}})", -1, {}},
        {R"({"__watch": {"processes": [{"base": null}]}})", -1, {}},
        {R"({"__watch": {"processes": ["a"]}})", -1, {}},
        {"   \n", -1, {}},
        {"not json", -1, {}},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.text);
        TempFile file(c.text);
        static SupervisorState state;
        memset(&state, 0, sizeof state);
        state.procs[0].pid = 7;
        ASSERT_EQ(load_watch_config(file.path.c_str(), state), c.result);
        if (c.result != 0)
            continue;
        EXPECT_EQ(names_of(state), c.names);
        // Slots filled from the file start with pid 0; the default slot is left alone.
        EXPECT_EQ(state.procs[0].pid, c.names == def ? 7 : 0);
    }
}

TEST(WatchConfig, MissingEmptyAndLongName)
{
    static SupervisorState state;
    memset(&state, 0, sizeof state);
    EXPECT_EQ(load_watch_config("no-such-config", state), -1);
    {
        TempFile empty("");
        EXPECT_EQ(load_watch_config(empty.path.c_str(), state), -1);
    }
    std::string name(5000, 'n');
    TempFile file(R"({"__watch":{"processes":[{"base":")" + name + R"("}]}})");
    ASSERT_EQ(load_watch_config(file.path.c_str(), state), 0);
    EXPECT_EQ(std::string(state.procs[0].name), name.substr(0, 4095));
}

TEST(JsonMembers, StringAndInt)
{
    JsonTree doc(cJSON_Parse(
        R"({"s":"","n":1.5,"t":true,"f":false,"z":null,"a":[1],"o":{},"str":"1","Dup":0,"dup":1})"));
    ASSERT_TRUE(doc);
    struct Case {
        const char* key;
        const char* string;
        int integer;
    } cases[] = {
        {"s", "", 0},        {"n", nullptr, 1},       {"t", nullptr, 1}, {"f", nullptr, 0},
        {"z", nullptr, 0},   {"a", nullptr, 0},       {"o", nullptr, 0}, {"str", "1", 0},
        {"DUP", nullptr, 0}, {"missing", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const char* s = json_string_member(doc.get(), c.key);
        if (c.string)
            EXPECT_STREQ(s, c.string);
        else
            EXPECT_EQ(s, nullptr);
        EXPECT_EQ(json_int_member(doc.get(), c.key), c.integer);
    }
}

TEST(JsonFile, ShortReadIsNoDocument)
{
    // Files that report a size they do not deliver: a sysfs file ("0-1", which would
    // parse as the number 0) and a directory. /proc files report 0 and are not opened.
    EXPECT_EQ(cjson_from_file("/sys/devices/system/cpu/online"), nullptr);
    EXPECT_EQ(cjson_from_file("."), nullptr);
    EXPECT_EQ(cjson_from_file("/proc/self/status"), nullptr);
}

} // namespace
