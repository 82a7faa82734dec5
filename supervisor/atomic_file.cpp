// Atomic replacement of a file: the new bytes go to "NAME.new" beside NAME, reach the
// medium (fsync of the file) and are renamed over NAME, and the directory is fsynced.
// A power loss or a full disk leaves the old file or the new one, never a file cut short.
#include "supervisor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

} // namespace

// Creates NAME.new for NAME. Its mode is the permission bits of an existing NAME that is
// a regular file, or create_mode less the umask otherwise: never through a symbolic link,
// and never a setuid, setgid or sticky bit. Returns the descriptor, or -1.
int new_file_open(NewFile& file, const char* path, mode_t create_mode)
{
    file.path = path;
    snprintf(file.temp, sizeof file.temp, "%s.new", path);
    unlink(file.temp); // left over from an install that was cut off
    file.fd =
        open(file.temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, create_mode & 0777);
    struct stat old = {};
    if (file.fd >= 0 && lstat(path, &old) == 0 && S_ISREG(old.st_mode) &&
        fchmod(file.fd, old.st_mode & 0777) != 0) {
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

// Makes durable everything written to the file system that holds DIR, also by other
// programs, whose files the daemon holds no descriptor of. A kernel without syncfs
// (before 2.6.39) gets sync, which does the same for every file system.
void sync_data_dir(const char* dir)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int result = fd >= 0 ? syncfs(fd) : -1;
    if (fd >= 0)
        close(fd);
    if (result != 0)
        sync();
}
