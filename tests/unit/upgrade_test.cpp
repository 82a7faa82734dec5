#include "supervisor.h"

#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(Record, RewriteAfterInstall)
{
    struct Case {
        const char* old_text; // nullptr: no record, or one that does not parse
        const char* member;
        const char* expected;
    } cases[] = {
        {nullptr, "plugindata", R"({"version":"4.8.01.1","plugindata":1})"},
        {nullptr, "luadata", R"({"version":"4.8.01.1","luadata":1})"},
        {nullptr, "sigdata", R"({"version":"4.8.01.1","sigdata":1})"},
        {R"({"version":"4.8.01.1","plugindata":1})", "luadata",
         R"({"version":"4.8.01.1","plugindata":1,"luadata":1})"},
        {R"({"version":"4.8.01.1","plugindata":1})", "plugindata",
         R"({"version":"4.8.01.1","plugindata":1,"plugindata":1})"},
        {R"({"plugindata":0})", "plugindata", R"({"plugindata":0,"version":"4.8.01.1","plugindata":1})"},
        {R"({"version":"4.8.1"})", "plugindata", R"({"version":"4.8.1","plugindata":1})"},
        {R"({"Version":"9.9"})", "sigdata", R"({"Version":"9.9","sigdata":1})"},
        {R"({"version":4})", "luadata", R"({"version":4,"version":"4.8.01.1","luadata":1})"},
        {R"( { "other" : [ 1, 2.5, {"x" : null} ] , "version" : "5" } )", "sigdata",
         R"({"other":[1,2.5,{"x":null}],"version":"5","sigdata":1})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.old_text ? c.old_text : "(none)");
        cJSON* old = c.old_text ? cJSON_Parse(c.old_text) : nullptr;
        ASSERT_EQ(old == nullptr, c.old_text == nullptr);
        JsonTree record = record_after_install(old, c.member);
        ASSERT_TRUE(record);
        char* text = cJSON_PrintUnformatted(record.get());
        EXPECT_STREQ(text, c.expected);
        cJSON_free(text);
    }
}

std::string read_file(const char* path)
{
    std::string text;
    int fd = open(path, O_RDONLY);
    char buffer[4096];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    if (fd >= 0)
        close(fd);
    return text;
}

void write_file(const char* path, const std::string& text, mode_t mode)
{
    unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    chmod(path, mode);
}

mode_t mode_of(const char* path)
{
    struct stat st {};
    stat(path, &st);
    return st.st_mode & 07777;
}

// Files are written in a directory of their own under the build tree.
struct Scratch {
    Scratch() { mkdir("upgrade_test", 0755); }
    ~Scratch()
    {
        for (const char* f : {"upgrade_test/src", "upgrade_test/dst", "upgrade_test/dst.new"})
            unlink(f);
        rmdir("upgrade_test");
    }
    static size_t entries()
    {
        size_t n = 0;
        DIR* dir = opendir("upgrade_test");
        while (dir && readdir(dir))
            n++;
        if (dir)
            closedir(dir);
        return n - 2;
    }
};

TEST(CopyFileRaw, CopiesBytesAndKeepsTheTargetMode)
{
    Scratch scratch;
    mode_t old_umask = umask(022);
    std::string package;
    for (int i = 0; i < 2500; i++)
        package.push_back(static_cast<char>(i * 7));

    write_file("upgrade_test/src", package, 0644);
    EXPECT_EQ(copy_file_raw("upgrade_test/src", "upgrade_test/dst"), 0);
    EXPECT_EQ(read_file("upgrade_test/dst"), package);
    EXPECT_EQ(mode_of("upgrade_test/dst"), 0700u & ~022u);

    // A longer existing target is replaced by the package and keeps its permission bits.
    write_file("upgrade_test/dst", std::string(9000, 'x'), 0640);
    write_file("upgrade_test/src", "", 0644);
    EXPECT_EQ(copy_file_raw("upgrade_test/src", "upgrade_test/dst"), 0);
    EXPECT_EQ(read_file("upgrade_test/dst"), "");
    EXPECT_EQ(mode_of("upgrade_test/dst"), 0640u);
    EXPECT_EQ(Scratch::entries(), 2u); // no temporary file left
    umask(old_umask);
}

TEST(CopyFileRaw, FailuresLeaveTheTargetAlone)
{
    Scratch scratch;
    write_file("upgrade_test/dst", "old", 0600);

    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_raw("upgrade_test/missing", "upgrade_test/dst"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to read or write, in, -1, out, -1\n");

    // A read error (a directory as the source) does not leave a partial target behind.
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_raw("upgrade_test", "upgrade_test/dst"), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("failed to read upgrade_test"),
              std::string::npos);
    EXPECT_EQ(read_file("upgrade_test/dst"), "old");

    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_raw("upgrade_test/dst", "upgrade_test/no-dir/x"), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Failed to read or write, in, ", 0), 0u) << out;
    EXPECT_NE(out.find(", out, -1\n"), std::string::npos) << out;
    EXPECT_EQ(Scratch::entries(), 1u);
}

TEST(SaveTextFile, ReplacesInPlaceOfTruncating)
{
    Scratch scratch;
    mode_t old_umask = umask(027);
    EXPECT_EQ(save_text_file("upgrade_test/dst", "{\"a\":1}", 7), 0);
    EXPECT_EQ(read_file("upgrade_test/dst"), "{\"a\":1}");
    EXPECT_EQ(mode_of("upgrade_test/dst"), 0666u & ~027u);
    chmod("upgrade_test/dst", 0604);
    EXPECT_EQ(save_text_file("upgrade_test/dst", "{}", 2), 0);
    EXPECT_EQ(read_file("upgrade_test/dst"), "{}");
    EXPECT_EQ(mode_of("upgrade_test/dst"), 0604u);
    EXPECT_EQ(Scratch::entries(), 1u);
    // A directory that is missing: nothing written, nothing said.
    testing::internal::CaptureStdout();
    EXPECT_EQ(save_text_file("upgrade_test/no-dir/x", "{}", 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    umask(old_umask);
}

} // namespace
