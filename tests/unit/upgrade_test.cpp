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
        {R"({"plugindata":0})", "plugindata",
         R"({"plugindata":0,"version":"4.8.01.1","plugindata":1})"},
        {R"({"version":"4.8.1"})", "plugindata", R"({"version":"4.8.1","plugindata":1})"},
        {R"({"Version":"9.9"})", "sigdata", R"({"Version":"9.9","sigdata":1})"},
        {R"({"version":4})", "luadata", R"({"version":4,"version":"4.8.01.1","luadata":1})"},
        {R"( { "other" : [ 1, 2.5, {"x" : null} ] , "version" : "5" } )", "sigdata",
         R"({"other":[1,2.5,{"x":null}],"version":"5","sigdata":1})"},
        // Records that parse but are no object are replaced; the first was found by
        // fuzzing (it was written back unchanged, the install lost).
        {R"("e{Vrsio9.9"})", "sigdata", R"({"version":"4.8.01.1","sigdata":1})"},
        {R"([{"version":"4.8.01.1"}])", "plugindata", R"({"version":"4.8.01.1","plugindata":1})"},
        {"5", "luadata", R"({"version":"4.8.01.1","luadata":1})"},
        // A plugin install drops every guard, a copied image keeps it.
        {R"({"PLUGINDATA":0,"version":"4.8.01.1","plugindata":1})", "plugindata",
         R"({"version":"4.8.01.1","plugindata":1,"plugindata":1})"},
        {R"({"PLUGINDATA":0,"version":"4.8.01.1","plugindata":1})", "luadata",
         R"({"PLUGINDATA":0,"version":"4.8.01.1","plugindata":1,"luadata":1})"},
        {R"({"PLUGINDATA":1,"PluginData":1,"version":"5","PLUGINDATA":"x"})", "plugindata",
         R"({"PluginData":1,"version":"5","plugindata":1})"},
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

TEST(Record, GuardGoesFirstAndGivesBaseMode)
{
    struct Case {
        const char* text;
        bool claims;
    } cases[] = {
        {R"({"version":"4.8.01.1","plugindata":1})", true},
        {R"({"PluginData":true,"plugindata":0})", true},
        {R"({"plugindata":1.5})", true},
        {R"({"plugindata":0,"plugindata":1})", false},
        {R"({"plugindata":"1"})", false},
        {R"({"PLUGINDATA":0,"version":"4.8.01.1","plugindata":1})", false},
        {R"({"x":{"plugindata":1}})", false},
        {R"([{"plugindata":1}])", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        JsonTree record(cJSON_Parse(c.text));
        ASSERT_TRUE(record);
        EXPECT_EQ(record_claims_plugin(record.get()), c.claims);
        if (!c.claims)
            continue;
        JsonTree guarded = record_with_guard(record.get());
        ASSERT_TRUE(guarded);
        char* text = cJSON_PrintUnformatted(guarded.get());
        char* found = cJSON_PrintUnformatted(record.get());
        EXPECT_EQ(std::string(text), std::string(R"({"PLUGINDATA":0,)") + (found + 1));
        EXPECT_FALSE(record_claims_plugin(guarded.get()));
        cJSON_free(found);
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
    struct stat st = {};
    stat(path, &st);
    return st.st_mode & 07777;
}

// Files are written in a directory of their own under the build tree, one per test, as
// CTest runs the tests in parallel.
struct Scratch {
    std::string dir;
    Scratch() : dir(testing::UnitTest::GetInstance()->current_test_info()->name())
    {
        mkdir(dir.c_str(), 0755);
    }
    ~Scratch()
    {
        for (const char* f : {"src", "dst", "dst.new", "setuid"})
            unlink(at(f).c_str());
        rmdir(dir.c_str());
    }
    std::string at(const char* name) const { return dir + "/" + name; }
    size_t entries() const
    {
        size_t n = 0;
        DIR* d = opendir(dir.c_str());
        while (d && readdir(d))
            n++;
        if (d)
            closedir(d);
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

    write_file(scratch.at("src").c_str(), package, 0644);
    EXPECT_EQ(copy_file_raw(scratch.at("src").c_str(), scratch.at("dst").c_str()), 0);
    EXPECT_EQ(read_file(scratch.at("dst").c_str()), package);
    EXPECT_EQ(mode_of(scratch.at("dst").c_str()), 0700u & ~022u);

    // A longer existing target is replaced by the package and keeps its permission bits.
    write_file(scratch.at("dst").c_str(), std::string(9000, 'x'), 0640);
    write_file(scratch.at("src").c_str(), "", 0644);
    EXPECT_EQ(copy_file_raw(scratch.at("src").c_str(), scratch.at("dst").c_str()), 0);
    EXPECT_EQ(read_file(scratch.at("dst").c_str()), "");
    EXPECT_EQ(mode_of(scratch.at("dst").c_str()), 0640u);
    EXPECT_EQ(scratch.entries(), 2u); // no temporary file left
    umask(old_umask);
}

TEST(CopyFileRaw, ModeOnlyFromARegularTargetAndNeverSpecialBits)
{
    Scratch scratch;
    mode_t old_umask = umask(022);
    write_file(scratch.at("src").c_str(), "package", 0644);

    // A setuid target keeps its permission bits, not the setuid bit.
    write_file(scratch.at("dst").c_str(), "old", 0644);
    chmod(scratch.at("dst").c_str(), 07755);
    EXPECT_EQ(copy_file_raw(scratch.at("src").c_str(), scratch.at("dst").c_str()), 0);
    EXPECT_EQ(mode_of(scratch.at("dst").c_str()), 0755u);

    // A link to a setuid file is replaced by a new file; the linked file stays.
    write_file(scratch.at("setuid").c_str(), "root's", 0755);
    chmod(scratch.at("setuid").c_str(), 04755);
    unlink(scratch.at("dst").c_str());
    ASSERT_EQ(symlink("setuid", scratch.at("dst").c_str()), 0);
    EXPECT_EQ(copy_file_raw(scratch.at("src").c_str(), scratch.at("dst").c_str()), 0);
    struct stat st = {};
    ASSERT_EQ(lstat(scratch.at("dst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u & ~022u);
    EXPECT_EQ(read_file(scratch.at("dst").c_str()), "package");
    EXPECT_EQ(read_file(scratch.at("setuid").c_str()), "root's");
    EXPECT_EQ(mode_of(scratch.at("setuid").c_str()), 04755u);
    umask(old_umask);
}

TEST(CopyFileRaw, FailuresLeaveTheTargetAlone)
{
    Scratch scratch;
    write_file(scratch.at("dst").c_str(), "old", 0600);

    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_raw(scratch.at("missing").c_str(), scratch.at("dst").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to read or write, in, -1, out, -1\n");

    // A read error leaves the target as it was and no temporary file: a regular file
    // whose read fails, this process's memory from address 0, which is not mapped.
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_raw("/proc/self/mem", scratch.at("dst").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "failed to read /proc/self/mem: Input/output error\n");
    EXPECT_EQ(read_file(scratch.at("dst").c_str()), "old");
    EXPECT_EQ(scratch.entries(), 1u);

    // A directory as the source is no regular file.
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_raw(scratch.dir.c_str(), scratch.at("dst").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "failed to read " + scratch.dir + ": not a regular file\n");
    EXPECT_EQ(read_file(scratch.at("dst").c_str()), "old");

    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_raw(scratch.at("dst").c_str(), scratch.at("no-dir/x").c_str()), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Failed to read or write, in, ", 0), 0u) << out;
    EXPECT_NE(out.find(", out, -1\n"), std::string::npos) << out;
    EXPECT_EQ(scratch.entries(), 1u);
}

TEST(CopyFileRaw, SourceThatIsNoRegularFileIsRefused)
{
    // The installer passes no such package on, but one may be put in place of the
    // package after that check: a FIFO without a writer would block an open for reading.
    Scratch scratch;
    write_file(scratch.at("dst").c_str(), "old", 0600);
    ASSERT_EQ(mkfifo(scratch.at("src").c_str(), 0600), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_raw(scratch.at("src").c_str(), scratch.at("dst").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "failed to read " + scratch.at("src") + ": not a regular file\n");
    EXPECT_EQ(read_file(scratch.at("dst").c_str()), "old");
    EXPECT_EQ(scratch.entries(), 2u); // no temporary file left
}

TEST(SaveTextFile, ReplacesInPlaceOfTruncating)
{
    Scratch scratch;
    mode_t old_umask = umask(027);
    EXPECT_EQ(save_text_file(scratch.at("dst").c_str(), "{\"a\":1}", 7), 0);
    EXPECT_EQ(read_file(scratch.at("dst").c_str()), "{\"a\":1}");
    EXPECT_EQ(mode_of(scratch.at("dst").c_str()), 0666u & ~027u);
    chmod(scratch.at("dst").c_str(), 0604);
    EXPECT_EQ(save_text_file(scratch.at("dst").c_str(), "{}", 2), 0);
    EXPECT_EQ(read_file(scratch.at("dst").c_str()), "{}");
    EXPECT_EQ(mode_of(scratch.at("dst").c_str()), 0604u);
    EXPECT_EQ(scratch.entries(), 1u);
    // A directory that is missing: nothing written, nothing said.
    testing::internal::CaptureStdout();
    EXPECT_EQ(save_text_file(scratch.at("no-dir/x").c_str(), "{}", 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    umask(old_umask);
}

} // namespace
