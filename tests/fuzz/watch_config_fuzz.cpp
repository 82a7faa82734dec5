// Fuzz target: the watch configuration loader, over any file contents.
#include "fuzz_support.h"
#include "supervisor.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr unsigned char PATTERN = 0x5a;

// True when every byte of the object still holds the pattern.
template <typename T>
bool untouched(const T& object)
{
    static unsigned char pattern[sizeof(SupervisorState)];
    static_assert(sizeof object <= sizeof pattern);
    if (pattern[0] != PATTERN)
        memset(pattern, PATTERN, sizeof pattern);
    return memcmp(&object, pattern, sizeof object) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = fuzz_root() + "/config";
    fuzz_write_file(path, data, size);

    // Whatever the loader does not own keeps the pattern: the other fields, and every
    // slot past the ones it filled.
    static SupervisorState state;
    memset(&state, PATTERN, sizeof state);
    const int result = load_watch_config(path.c_str(), state);

    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(untouched(state.lock_path) && untouched(state.debug) &&
               untouched(state.plugin_installed) && untouched(state.lock_fd) &&
               untouched(state.segv_restarts));
    const bool count_set = !untouched(state.count);
    FUZZ_CHECK(!count_set || (state.count >= 1 && state.count <= MAX_WATCHED));
    const int used = count_set ? state.count : 0;
    for (int i = used; i < MAX_WATCHED; i++)
        FUZZ_CHECK(untouched(state.procs[i]));

    // Text that is no JSON document is refused.
    std::string text(reinterpret_cast<const char*>(data), size);
    JsonTree doc(cJSON_Parse(text.c_str()));
    if (!doc)
        FUZZ_CHECK(result == -1);

    if (result != 0)
        return 0;
    FUZZ_CHECK(count_set);
    const bool by_default = untouched(state.procs[0].pid);
    if (by_default)
        FUZZ_CHECK(state.count == 1 && strcmp(state.procs[0].name, DEFAULT_PROCESS) == 0);
    for (int i = 0; i < used; i++) {
        FUZZ_CHECK(memchr(state.procs[i].name, '\0', sizeof state.procs[i].name) != nullptr);
        FUZZ_CHECK(by_default || state.procs[i].pid == 0);
    }
    return 0;
}
