// A stand-in for a watched program, for the black-box tests and the demo.
//
// Every start appends one JSON line to $FAKE_DIR/starts.log:
//   {"name":"a","n":2,"pid":7,"ppid":3,"mono":8123456789,"cwd":"/d","argv":["a","-r","9"],
//    "fds":[0,1,2]}
// where name is the basename of argv[0], n counts the starts of that name and mono is the
// time of the start on the monotonic clock, in nanoseconds. It then runs
// line n of the control script $FAKE_DIR/<name>.ctl (after the last line the last one
// repeats; without a script it runs forever). A line is a ';'-separated list of steps:
//   run             pause until a signal ends the program
//   exit N          exit with status N
//   signal NAME     raise SEGV, KILL, TERM, ABRT or a signal number
//   await PATH      wait until PATH exists
//   touch PATH      create PATH (empty)
//   put SRC DST     copy SRC to DST
//   nap MS          wait MS milliseconds
// Relative paths are taken from the working directory, which is the supervisor's.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A decimal number as atoi reads it (0 for none), without atoi's undefined overflow.
int number(const std::string& text)
{
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

std::vector<int> open_fds()
{
    std::vector<int> fds;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return fds;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        int fd = number(e->d_name);
        if (fd != dirfd(d))
            fds.push_back(fd);
    }
    closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

std::string read_file(const std::string& path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t at = s.find(sep, from);
        parts.push_back(s.substr(from, at - from));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Appends this start to the log and returns its number among the starts of this name.
// The log is locked from counting to writing, so concurrent starts get distinct numbers.
int record_start(const std::string& dir, const std::string& name, int argc, char** argv,
                 const std::vector<int>& fds, long long mono)
{
    int fd = open((dir + "/starts.log").c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return 1;
    flock(fd, LOCK_EX);
    const std::string prefix = "{\"name\":" + json_string(name) + ",";
    int n = 1;
    for (const std::string& line : split(read_file(dir + "/starts.log"), '\n'))
        if (line.compare(0, prefix.size(), prefix) == 0)
            n++;

    char cwd[8192] = "";
    if (!getcwd(cwd, sizeof cwd))
        cwd[0] = '\0';
    std::string line =
        prefix + "\"n\":" + std::to_string(n) + ",\"pid\":" + std::to_string(getpid()) +
        ",\"ppid\":" + std::to_string(getppid()) + ",\"mono\":" + std::to_string(mono) +
        ",\"cwd\":" + json_string(cwd) + ",\"argv\":[";
    for (int i = 0; i < argc; i++)
        line += (i ? "," : "") + json_string(argv[i]);
    line += "],\"fds\":[";
    for (size_t i = 0; i < fds.size(); i++)
        line += (i ? "," : "") + std::to_string(fds[i]);
    line += "]}\n";
    if (write(fd, line.data(), line.size()) < 0)
        std::perror("starts.log");
    close(fd);
    return n;
}

void nap_ms(long ms)
{
    timespec ts {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

int signal_number(const std::string& name)
{
    static const struct {
        const char* name;
        int number;
    } table[] = {
        {"SEGV", SIGSEGV},
        {"KILL", SIGKILL},
        {"TERM", SIGTERM},
        {"ABRT", SIGABRT},
    };
    for (const auto& row : table)
        if (name == row.name)
            return row.number;
    return number(name);
}

bool copy_file(const std::string& from, const std::string& to)
{
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = out >= 0;
    char buf[65536];
    ssize_t n;
    while (ok && (n = read(in, buf, sizeof buf)) > 0)
        ok = write(out, buf, static_cast<size_t>(n)) == n;
    close(in);
    if (out >= 0)
        close(out);
    return ok;
}

[[noreturn]] void fail(const std::string& step)
{
    std::fprintf(stderr, "fake_prog: cannot do step '%s'\n", step.c_str());
    std::exit(98);
}

// One flat dispatch over the step names.
void run_step(const std::string& step) // NOLINT(readability-function-cognitive-complexity)
{
    std::vector<std::string> words;
    for (const std::string& w : split(step, ' '))
        if (!w.empty())
            words.push_back(w);
    if (words.empty())
        return;
    const std::string& op = words[0];
    if (op == "run" && words.size() == 1) {
        for (;;)
            pause();
    } else if (op == "exit" && words.size() == 2) {
        std::exit(number(words[1]));
    } else if (op == "signal" && words.size() == 2) {
        int sig = signal_number(words[1]);
        prctl(PR_SET_DUMPABLE, 0); // no core files from a SIGSEGV on purpose
        std::signal(sig, SIG_DFL);
        raise(sig);
        // A signal whose default action is to ignore it comes back here.
        // cppcheck-suppress unreachableCode
        fail(step);
    } else if (op == "await" && words.size() == 2) {
        while (access(words[1].c_str(), F_OK) != 0)
            nap_ms(5);
    } else if (op == "touch" && words.size() == 2) {
        int fd = open(words[1].c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            fail(step);
        close(fd);
    } else if (op == "put" && words.size() == 3) {
        if (!copy_file(words[1], words[2]))
            fail(step);
    } else if (op == "nap" && words.size() == 2) {
        nap_ms(number(words[1]));
    } else {
        fail(step);
    }
}

} // namespace

int main(int argc, char** argv)
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::vector<int> fds = open_fds();
    const char* dir = std::getenv("FAKE_DIR");
    if (!dir || argc < 1)
        return 97;
    std::string name = argv[0];
    name = name.substr(name.rfind('/') + 1);

    int n = record_start(dir, name, argc, argv, fds, now.tv_sec * 1000000000LL + now.tv_nsec);

    std::vector<std::string> lines;
    for (const std::string& l : split(read_file(std::string(dir) + "/" + name + ".ctl"), '\n'))
        if (!trim(l).empty())
            lines.push_back(l);
    std::string script = "run";
    if (!lines.empty())
        script = lines[std::min<size_t>(static_cast<size_t>(n), lines.size()) - 1];
    for (const std::string& step : split(script, ';'))
        run_step(trim(step));
    return 0;
}
