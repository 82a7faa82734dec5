// Fuzz target: the boot-check record check with its version gate. The input is the
// record's contents; boot_record_check runs as it is, with "/data/" moved into the
// scratch directory (fuzz_redirect.cpp). The input is also packed as a version text.
#include "fuzz_json.h"
#include "fuzz_support.h"
#include "supervisor.h"

#include <cstdint>
#include <string>
#include <unistd.h>

namespace {

// The version gate's packing, written independently: fields split at dots, empty ones
// skipped, every character folded in as v * 10 + (byte - 48), kept modulo 256.
uint32_t model_pack(const std::string& text)
{
    uint32_t packed = 0;
    int fields = 0;
    uint32_t v = 0;
    bool in_field = false;
    for (size_t i = 0; i <= text.size() && fields < 4; i++) {
        if (i == text.size() || text[i] == '.') {
            if (in_field)
                packed |= (v & 0xffu) << (24 - 8 * fields++);
            v = 0;
            in_field = false;
        } else {
            v = v * 10 + (static_cast<unsigned char>(text[i]) - 48u);
            in_field = true;
        }
    }
    return packed;
}

int sign(int32_t value)
{
    return (value > 0) - (value < 0);
}

void check_version_text(const char* text)
{
    const uint32_t packed = model_pack(text);
    const uint32_t record = model_pack(RECORD_VERSION);
    FUZZ_CHECK(version_pack(text) == packed);
    FUZZ_CHECK(sign(version_compare(text, RECORD_VERSION)) ==
               (packed > record) - (packed < record));
    FUZZ_CHECK(sign(version_compare(RECORD_VERSION, text)) ==
               (record > packed) - (record < packed));
    FUZZ_CHECK(version_compare(text, text) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string record_path = fuzz_root() + "/data/" + BOOT_RECORD_FILE;
    const std::string text(reinterpret_cast<const char*>(data), size);
    check_version_text(text.c_str());

    fuzz_write_file(record_path, data, size);
    static SupervisorState state;
    const int mode = boot_record_check(state);

    // What the record should decide: base mode unless it is an object whose "version"
    // is a string not older than the record version and whose "plugindata" has the
    // integer value 1 (true, or a number of integer part 1); the record is removed only
    // when its version is older. Members are found by hand (fuzz_member), and the integer
    // value is taken from the kind and number, not from the code's lookups and fields.
    JsonTree doc(cJSON_Parse(text.c_str()));
    const cJSON* version = fuzz_member(doc.get(), "version");
    const bool has_version = fuzz_is(version, cJSON_String);
    const bool older = has_version && model_pack(version->valuestring) < model_pack(RECORD_VERSION);
    const cJSON* plugin = fuzz_member(doc.get(), "plugindata");
    const bool plugin_one =
        fuzz_is(plugin, cJSON_True) ||
        (fuzz_is(plugin, cJSON_Number) && plugin->valuedouble >= 1 && plugin->valuedouble < 2);
    const bool plugin_mode = has_version && !older && plugin_one;
    FUZZ_CHECK(mode == (plugin_mode ? 1 : 0));

    std::string after;
    const bool kept = fuzz_read_file(record_path, after);
    FUZZ_CHECK(kept == !older);
    FUZZ_CHECK(!kept || after == text); // the check never writes
    if (has_version)
        check_version_text(version->valuestring);
    unlink(record_path.c_str());
    return 0;
}
