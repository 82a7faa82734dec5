#include "supervisor.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
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
        for (WatchedProcess& proc : state.procs)
            proc.pid = 7;
        ASSERT_EQ(load_watch_config(file.path.c_str(), state), c.result);
        if (c.result != 0)
            continue;
        EXPECT_EQ(names_of(state), c.names);
        // Every slot filled from the file starts with no child: a pid left in it would
        // take the exit of an unrelated process for that program's.
        if (c.names != def) {
            for (int i = 0; i < state.count; i++)
                EXPECT_EQ(state.procs[i].pid, 0) << "slot " << i;
        }
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
    // Names match without regard to letter case, and the first match counts: "DUP" and
    // "word" each match two members, whose values tell a miss, the first and the last apart.
    JsonTree doc(cJSON_Parse(R"({"s":"","n":1.5,"t":true,"f":false,"z":null,"a":[1],"o":{},)"
                             R"("str":"1","Dup":2,"dup":1,"Word":"first","WORD":"second"})"));
    ASSERT_TRUE(doc);
    struct Case {
        const char* key;
        const char* string;
        int integer;
    } cases[] = {
        {"s", "", 0},        {"n", nullptr, 1},    {"t", nullptr, 1},       {"f", nullptr, 0},
        {"z", nullptr, 0},   {"a", nullptr, 0},    {"o", nullptr, 0},       {"str", "1", 0},
        {"DUP", nullptr, 2}, {"word", "first", 0}, {"missing", nullptr, 0},
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

// What a read to the end gives: false when a read fails.
bool read_to_end(const char* path, std::string& text)
{
    int fd = open(path, O_RDONLY);
    char buffer[4096];
    ssize_t n = fd < 0 ? -1 : 0;
    while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    if (fd >= 0)
        close(fd);
    return n == 0;
}

TEST(JsonFile, FileThatDoesNotDeliverItsSizeIsNoDocument)
{
    // Only a file read in full up to the size that stat reports is a document:
    //  - a /proc file reports 0 and holds a number ("0\n"): it is not read at all;
    //  - a sysfs attribute reports a page and delivers "0-1\n", the number 0 followed by
    //    text, which the parser accepts: a short read;
    //  - a directory reports a size, and its read fails.
    // Each fixture is checked to be so first: none of them passes by being missing.
    for (const char* path : {"/proc/self/oom_score_adj", "/sys/devices/system/cpu/online", "."}) {
        SCOPED_TRACE(path);
        struct stat st = {};
        ASSERT_EQ(stat(path, &st), 0);
        std::string text;
        if (read_to_end(path, text)) {
            ASSERT_NE(static_cast<off_t>(text.size()), st.st_size);
            JsonTree whole(cJSON_Parse(text.c_str()));
            ASSERT_TRUE(whole) << "what the file delivers is no JSON: " << text;
        } else {
            ASSERT_GT(st.st_size, 0);
        }
        JsonTree doc(cjson_from_file(path));
        EXPECT_EQ(doc.get(), nullptr);
    }
}

} // namespace
