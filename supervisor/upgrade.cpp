// The upgrade installer: exit statuses 130, 131 and 132 put the package left in the
// runtime directory in place in the data directory and record the install.
//
// Every file written in the data directory is replaced atomically: the new bytes go to
// "NAME.new" beside it, reach the medium (fsync of the file, then of the directory) and
// are renamed over NAME. A power loss or a full disk leaves the old file or the new one,
// never a file cut short.
#include "supervisor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t PACKAGE_PATH_SIZE = 510;
constexpr size_t COMMAND_SIZE = 2048;
constexpr size_t COPY_CHUNK = 1024;

struct NewFile {
    char temp[LONG_PATH_SIZE + 8];
    const char* path;
    int fd;
};

// Creates NAME.new for NAME. Its mode is that of the existing NAME, or create_mode less
// the umask for a new one. Returns the descriptor, or -1.
int new_file_open(NewFile& file, const char* path, mode_t create_mode)
{
    file.path = path;
    snprintf(file.temp, sizeof file.temp, "%s.new", path);
    unlink(file.temp); // left over from an install that was cut off
    file.fd = open(file.temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, create_mode);
    struct stat old = {};
    if (file.fd >= 0 && stat(path, &old) == 0 && fchmod(file.fd, old.st_mode & 07777) != 0) {
        // The new file keeps the mode it was created with.
    }
    return file.fd;
}

void new_file_abort(NewFile& file)
{
    if (file.fd >= 0)
        close(file.fd);
    file.fd = -1;
    unlink(file.temp);
}

int sync_parent_dir(const char* path)
{
    char dir[LONG_PATH_SIZE];
    snprintf(dir, sizeof dir, "%s", path);
    char* slash = strrchr(dir, '/');
    if (!slash)
        snprintf(dir, sizeof dir, ".");
    else
        slash[slash == dir ? 1 : 0] = '\0';
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int result = fsync(fd);
    close(fd);
    return result;
}

// Flushes the new file to the medium and puts it in place of the old one.
int new_file_commit(NewFile& file)
{
    int result = fsync(file.fd);
    int error = errno;
    if (close(file.fd) != 0 && result == 0) {
        result = -1;
        error = errno;
    }
    file.fd = -1;
    if (result == 0 && rename(file.temp, file.path) != 0) {
        result = -1;
        error = errno;
    }
    if (result != 0) {
        printf("failed to write %s: %s\n", file.path, strerror(error));
        unlink(file.temp);
        return -1;
    }
    if (sync_parent_dir(file.path) != 0)
        printf("failed to sync the directory of %s: %s\n", file.path, strerror(errno));
    return 0;
}

// Writes all of data, completing short writes and retrying interrupted ones.
int write_all(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

int copy_file_raw(const char* source, const char* destination)
{
    // Without O_NONBLOCK a FIFO in place of the package would block the daemon here.
    int in = open(source, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    NewFile out {};
    out.fd = -1;
    if (in >= 0)
        new_file_open(out, destination, 0700);
    if (in < 0 || out.fd < 0) {
        printf("Failed to read or write, in, %d, out, %d\n", in, out.fd);
        if (in >= 0)
            close(in);
        return -1;
    }

    char buffer[COPY_CHUNK];
    int result = 0;
    struct stat st = {};
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A FIFO or a device has no end to copy up to.
        printf("failed to read %s: not a regular file\n", source);
        result = -1;
    }
    while (result == 0) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        if (n < 0) {
            printf("failed to read %s: %s\n", source, strerror(errno));
            result = -1;
            break;
        }
        if (write_all(out.fd, buffer, static_cast<size_t>(n)) != 0) {
            printf("failed to write %s: %s\n", destination, strerror(errno));
            result = -1;
            break;
        }
    }
    close(in);
    if (result != 0) {
        new_file_abort(out); // the old target stays as it was
        return -1;
    }
    return new_file_commit(out);
}

// Returns -1 without a word when the file cannot be created: the data directory may
// simply be missing. Any later failure is reported, and the old file stays.
int save_text_file(const char* path, const char* text, size_t length)
{
    NewFile file {};
    if (new_file_open(file, path, 0666) < 0)
        return -1;
    if (write_all(file.fd, text, length) != 0) {
        printf("failed to write %s: %s\n", path, strerror(errno));
        new_file_abort(file);
        return -1;
    }
    return new_file_commit(file);
}

JsonTree record_after_install(cJSON* old_record, const char* member)
{
    // Members can be added to an object only: a record that parses as an array, a
    // string or a number would not hold them, so it is replaced like an invalid one.
    JsonTree old(old_record);
    JsonTree record(cJSON_IsObject(old.get()) ? old.release() : cJSON_CreateObject());
    if (!record)
        return record;
    if (!json_string_member(record.get(), "version"))
        cJSON_AddItemToObject(record.get(), "version", cJSON_CreateString(RECORD_VERSION));
    cJSON_AddItemToObject(record.get(), member, cJSON_CreateNumber(1));
    return record;
}

void install_upgrade(const SupervisorState& /*state*/, int status)
{
    char package[PACKAGE_PATH_SIZE];
    snprintf(package, sizeof package, "%s/%s", RUNTIME_DIR, UPGRADE_PACKAGE_FILE);
    // Only a regular file is a package. Anything else would never be consumed, and every
    // exit asking for an install would append another member to the record on flash.
    struct stat st = {};
    if (stat(package, &st) != 0)
        return;
    if (!S_ISREG(st.st_mode)) {
        printf("%s is no regular file, not installed\n", package);
        return;
    }
    if (access(package, R_OK) != 0)
        return;

    // Read before the package is unpacked: the record written back is the one found now.
    char record_path[BOOT_RECORD_PATH_SIZE];
    boot_record_path(record_path);
    JsonTree old_record(cjson_from_file(record_path));

    char target[LONG_PATH_SIZE];
    const char* member = nullptr;
    switch (status) {
    case EXIT_INSTALL_PLUGIN: {
        char command[COMMAND_SIZE];
        snprintf(command, sizeof command, "./%s tar -zxf %s -C %s", LOADER_TOOL, package, DATA_DIR);
        fflush(stdout);
        // The command is made of constants only; the loader is a tool of the platform.
        if (system(command) != 0) { // NOLINT(cert-env33-c)
            // The loader speaks for itself; the install is recorded all the same.
        }
        member = "plugindata";
        break;
    }
    case EXIT_INSTALL_INIT:
        snprintf(target, sizeof target, "%s/init.bin", DATA_DIR);
        copy_file_raw(package, target);
        member = "luadata";
        break;
    case EXIT_INSTALL_SIGNATURE:
        snprintf(target, sizeof target, "%s/k93_sig.bin", DATA_DIR);
        copy_file_raw(package, target);
        member = "sigdata";
        break;
    default:
        return;
    }
    unlink(package);

    // A record that is unreadable, invalid or no JSON object is replaced by a new one.
    JsonTree record = record_after_install(old_record.release(), member);
    char* text = record ? cJSON_PrintUnformatted(record.get()) : nullptr;
    if (text) {
        save_text_file(record_path, text, strlen(text));
        cJSON_free(text);
    }
}
