// The upgrade installer: exit statuses 130, 131 and 132 put the package left in the
// runtime directory in place in the data directory and record the install.
//
// The images (131, 132) and the record replace their files atomically (atomic_file.cpp).
// The loader unpacks a plugin (130) into the data directory itself; once it has returned,
// the whole file system is made durable before the package is deleted and the record
// written, so that a power loss never leaves a record naming a plugin whose files are
// empty or cut short. A plugin unpacked over a plugin that the record names would leave
// old, new and cut files under that record if it were cut short: the record is first
// written with a guard that gives base mode, and only the final record drops it.
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

JsonTree record_after_install(cJSON* old_record, const char* member)
{
    // Members can be added to an object only: a record that parses as an array, a
    // string or a number would not hold them, so it is replaced like an invalid one.
    JsonTree old(old_record);
    JsonTree record(cJSON_IsObject(old.get()) ? old.release() : cJSON_CreateObject());
    if (!record)
        return record;
    // The loader of this plugin has returned: no guard stays.
    if (strcmp(member, "plugindata") == 0)
        while (cJSON_GetObjectItemCaseSensitive(record.get(), PLUGIN_GUARD))
            cJSON_DeleteItemFromObjectCaseSensitive(record.get(), PLUGIN_GUARD);
    if (!json_string_member(record.get(), "version"))
        cJSON_AddItemToObject(record.get(), "version", cJSON_CreateString(RECORD_VERSION));
    cJSON_AddItemToObject(record.get(), member, cJSON_CreateNumber(1));
    return record;
}

// The record with the guard first, then a copy of each of its members; none when a part
// cannot be allocated.
JsonTree record_with_guard(const cJSON* record)
{
    JsonTree guarded(cJSON_CreateObject());
    bool complete = guarded && cJSON_AddNumberToObject(guarded.get(), PLUGIN_GUARD, 0);
    for (const cJSON* m = record->child; complete && m; m = m->next) {
        cJSON* copy = cJSON_Duplicate(m, true);
        complete = cJSON_AddItemToObject(guarded.get(), m->string, copy);
        if (!complete)
            cJSON_Delete(copy);
    }
    return complete ? std::move(guarded) : JsonTree();
}

namespace {

// Before a plugin is unpacked over the one the record names, the record is written again
// with the guard. Returns 0 when the plugin may be unpacked, -1 when the guard could not
// be written.
int guard_plugin_record(const cJSON* record, const char* path)
{
    if (!record_claims_plugin(record))
        return 0;
    JsonTree guarded = record_with_guard(record);
    char* text = guarded ? cJSON_PrintUnformatted(guarded.get()) : nullptr;
    int result = text ? save_text_file(path, text, strlen(text)) : -1;
    cJSON_free(text);
    return result;
}

} // namespace

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
        if (guard_plugin_record(old_record.get(), record_path) != 0) {
            // The plugin in use and its record stay as they are.
            printf("plugin not installed: %s cannot be rewritten\n", record_path);
            unlink(package);
            return;
        }
        char command[COMMAND_SIZE];
        snprintf(command, sizeof command, "./%s tar -zxf %s -C %s", LOADER_TOOL, package, DATA_DIR);
        fflush(stdout);
        // The command is made of constants only; the loader is a tool of the platform.
        if (system(command) != 0) { // NOLINT(cert-env33-c)
            // The loader speaks for itself; the install is recorded all the same.
        }
        sync_data_dir(DATA_DIR);
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
