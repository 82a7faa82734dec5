#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string root;

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

void remove_root()
{
    nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (d) {
        const dirent* e = readdir(d);
        if (!e)
            break;
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    if (d)
        closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

const std::string& fuzz_root()
{
    if (!root.empty())
        return root;
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-supervisor-XXXXXX";
    if (!mkdtemp(templ.data())) {
        perror("fuzz: mkdtemp");
        abort();
    }
    root = templ;
    atexit(remove_root);
    mkdir((root + "/data").c_str(), 0755);
    mkdir((root + "/uci").c_str(), 0755);
    return root;
}

void fuzz_write_file(const std::string& path, const void* data, size_t size)
{
    // A new file rather than a truncated one: ext4 flushes a file truncated and
    // rewritten to the disk when it is closed, which would slow every run.
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) {
        perror("fuzz: write");
        abort();
    }
    close(fd);
}

bool fuzz_read_file(const std::string& path, std::string& text)
{
    text.clear();
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return true;
}

std::string fuzz_list_dir(const std::string& dir)
{
    std::string list;
    for (const std::string& name : entries(dir))
        list += name + " ";
    return list;
}

void fuzz_clear_dir(const std::string& dir)
{
    for (const std::string& name : entries(dir)) {
        std::string path = dir + "/" + name;
        if (unlink(path.c_str()) != 0)
            rmdir(path.c_str());
    }
}
