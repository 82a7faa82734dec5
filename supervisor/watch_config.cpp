// The watch configuration "config" and the JSON file helpers.
#include "supervisor.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void use_default_process(SupervisorState& state)
{
    state.count = 1;
    snprintf(state.procs[0].name, sizeof state.procs[0].name, "%s", DEFAULT_PROCESS);
}

int load_watch_config(const char* path, SupervisorState& state)
{
    JsonTree doc(cjson_from_file(path));
    if (!doc)
        return -1;

    const cJSON* watch = cJSON_GetObjectItem(doc.get(), "__watch");
    const cJSON* list = watch ? cJSON_GetObjectItem(watch, "processes") : nullptr;
    int n = list ? cJSON_GetArraySize(list) : 0;
    if (n == 0) {
        use_default_process(state);
        return 0;
    }
    if (n > MAX_WATCHED)
        return -1; // the table has four slots; more programs is a bad configuration

    state.count = n;
    for (int i = 0; i < n; i++) {
        const cJSON* element = cJSON_GetArrayItem(list, i);
        const char* base = element ? json_string_member(element, "base") : nullptr;
        if (!base)
            return -1;
        snprintf(state.procs[i].name, sizeof state.procs[i].name, "%s", base);
        state.procs[i].pid = 0;
    }
    return 0;
}

const char* json_string_member(const cJSON* object, const char* key)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// Read with plain read(2), not through a stdio stream: the stream's buffer would grow the
// heap by a page that, freed or not, stays in the daemon's private memory for good.
cJSON* cjson_from_file(const char* path)
{
    struct stat st = {};
    if (stat(path, &st) != 0 || st.st_size <= 0 || static_cast<uint64_t>(st.st_size) >= SIZE_MAX)
        return nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;

    size_t size = static_cast<size_t>(st.st_size);
    char* text = static_cast<char*>(malloc(size + 1));
    size_t got = 0;
    // A short read (the file shrank, or is no regular file) is no document.
    while (text && got < size) {
        ssize_t n = read(fd, text + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    cJSON* doc = nullptr;
    if (text && got == size) {
        text[size] = '\0';
        doc = cJSON_Parse(text);
    }
    close(fd);
    free(text);
    return doc;
}
