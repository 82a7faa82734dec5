// The boot-check record "/data//.bootchk" and the version gate that guards it.
#include "supervisor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int json_int_member(const cJSON* object, const char* key)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    return item ? item->valueint : 0;
}

// Every character counts as (byte - '0'), letters included; only the low 8 bits stay.
uint32_t version_field(char* text, char** save, int shift)
{
    const char* token = strtok_r(text, ".", save);
    if (!token)
        return 0;
    uint32_t v = 0;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(token); *c; c++)
        v = v * 10 + (*c - 48u);
    return (v & 0xffu) << shift;
}

uint32_t version_pack(const char* text)
{
    char* copy = strdup(text);
    if (!copy)
        return UINT32_MAX; // unknown: never taken as older, so no record is lost for it
    char* save = nullptr;
    uint32_t packed = version_field(copy, &save, 24);
    packed |= version_field(nullptr, &save, 16);
    packed |= version_field(nullptr, &save, 8);
    packed |= version_field(nullptr, &save, 0);
    free(copy);
    return packed;
}

// Compared as unsigned numbers: a wrapped difference would take 200.0.0.0 for older.
int32_t version_compare(const char* a, const char* b)
{
    uint32_t pa = version_pack(a);
    uint32_t pb = version_pack(b);
    return pa < pb ? -1 : pa > pb ? 1 : 0;
}

void boot_record_path(char (&path)[BOOT_RECORD_PATH_SIZE])
{
    snprintf(path, sizeof path, "%s/%s", DATA_DIR, BOOT_RECORD_FILE);
}

cJSON* boot_record_load()
{
    char path[BOOT_RECORD_PATH_SIZE];
    boot_record_path(path);
    return cjson_from_file(path);
}

int boot_record_remove()
{
    char path[BOOT_RECORD_PATH_SIZE];
    boot_record_path(path);
    if (access(path, R_OK) != 0)
        return 0;
    // Only a record that is gone counts: one that stays (read-only data directory, a
    // directory in its place) would bring the same cycle back at once, without end.
    return unlink(path) == 0 ? 1 : 0;
}

int boot_record_check(const SupervisorState& /*state*/)
{
    JsonTree record(boot_record_load());
    if (!record)
        return 0;
    const char* version = json_string_member(record.get(), "version");
    if (!version)
        return 0;
    if (version_compare(version, RECORD_VERSION) < 0) {
        boot_record_remove();
        return 0;
    }
    return record_claims_plugin(record.get()) ? 1 : 0;
}

// The first member named "plugindata", in any letter case, has the integer value 1.
bool record_claims_plugin(const cJSON* record)
{
    return json_int_member(record, "plugindata") == 1;
}
