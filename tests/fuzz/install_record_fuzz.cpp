// Fuzz target: the upgrade installer's record rewrite, from the record text found to
// the bytes written. install_upgrade runs as it is, with "/data/" and "/tmp/.uci/" moved
// into the scratch directory and the shell replaced (fuzz_redirect.cpp).
//
// Input: one byte that chooses the exit status (its value modulo 3: 130, 131, 132),
// whether a record exists at all (bit 2 set: none) and whether the package is a
// directory (bit 3 set), then the record's contents.
#include "fuzz_json.h"
#include "fuzz_redirect.h"
#include "fuzz_support.h"
#include "supervisor.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

const char PACKAGE[] = "package\0\x01\xff bytes";

struct Status {
    int code;
    const char* member;
    const char* target; // file the package is copied to, or none
};
const Status STATUSES[] = {
    {EXIT_INSTALL_PLUGIN, "plugindata", nullptr},
    {EXIT_INSTALL_INIT, "luadata", "init.bin"},
    {EXIT_INSTALL_SIGNATURE, "sigdata", "k93_sig.bin"},
};

std::string compact(const cJSON* value)
{
    char* printed = cJSON_PrintUnformatted(value);
    FUZZ_CHECK(printed);
    std::string text = printed;
    cJSON_free(printed);
    return text;
}

bool named(const cJSON* m, const char* name)
{
    return m && m->string && strcmp(m->string, name) == 0;
}

// The record written after the install, checked member by member against the one found:
// one JSON object in compact text, holding the old object's members in their order, each
// with its name and value (for a plugin, without those named exactly "PLUGINDATA", the
// guard), then "version" with the record version unless the old object has a string
// "version" (fuzz_member), then MEMBER with the number 1, and nothing more. A record that
// is missing, or is no JSON object, counts as an empty object.
void check_record(const std::string& written, const std::string* old_text, const char* member)
{
    const bool plugin = strcmp(member, "plugindata") == 0;
    JsonTree now(cJSON_ParseWithOpts(written.c_str(), nullptr, true));
    FUZZ_CHECK(fuzz_is(now.get(), cJSON_Object));
    FUZZ_CHECK(compact(now.get()) == written);
    JsonTree old(old_text ? cJSON_Parse(old_text->c_str()) : nullptr);
    const cJSON* found = fuzz_is(old.get(), cJSON_Object) ? old.get() : nullptr;

    const cJSON* m = now->child;
    for (const cJSON* o = found ? found->child : nullptr; o; o = o->next) {
        if (plugin && named(o, PLUGIN_GUARD))
            continue;
        FUZZ_CHECK(named(m, o->string));
        FUZZ_CHECK(compact(m) == compact(o));
        m = m->next;
    }
    if (!fuzz_is(fuzz_member(found, "version"), cJSON_String)) {
        FUZZ_CHECK(named(m, "version") && fuzz_is(m, cJSON_String) &&
                   strcmp(m->valuestring, RECORD_VERSION) == 0);
        m = m->next;
    }
    FUZZ_CHECK(named(m, member) && fuzz_is(m, cJSON_Number) && m->valuedouble == 1);
    FUZZ_CHECK(m->next == nullptr);
}

// The record the loader finds, when the record found claims a plugin (its first member
// named "plugindata" in any letter case has the integer value 1, as true and 1.5 have):
// the guard, then the members found, in compact text. Any other record stays as it was.
void check_record_at_unpack(const std::string* old_text)
{
    JsonTree old(old_text ? cJSON_Parse(old_text->c_str()) : nullptr);
    const cJSON* claim = fuzz_member(old.get(), "plugindata");
    if (!claim ||
        !(fuzz_is(claim, cJSON_True) || (fuzz_is(claim, cJSON_Number) && claim->valueint == 1))) {
        FUZZ_CHECK(fuzz_system_record_found == (old_text != nullptr));
        FUZZ_CHECK(!old_text || fuzz_system_record == *old_text);
        return;
    }
    FUZZ_CHECK(fuzz_system_record_found);
    FUZZ_CHECK(fuzz_system_record == "{\"PLUGINDATA\":0," + compact(old.get()).substr(1));
}

} // namespace

// The installer's one line for a package that is no regular file would fill the log
// of the run; libFuzzer reports on standard error.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    FUZZ_CHECK(freopen("/dev/null", "w", stdout));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return -1; // not added to the corpus
    const Status& status = STATUSES[data[0] % 3];
    const bool record_exists = (data[0] & 4) == 0;
    const bool package_is_dir = (data[0] & 8) != 0;
    const std::string old_text(reinterpret_cast<const char*>(data + 1), size - 1);

    static const std::string data_dir = fuzz_root() + "/data";
    static const std::string runtime_dir = fuzz_root() + "/uci";
    const std::string record_path = data_dir + "/" + BOOT_RECORD_FILE;
    const std::string package(PACKAGE, sizeof PACKAGE - 1);
    fuzz_clear_dir(data_dir);
    fuzz_clear_dir(runtime_dir);
    const std::string package_path = runtime_dir + "/" + UPGRADE_PACKAGE_FILE;
    if (package_is_dir)
        FUZZ_CHECK(mkdir(package_path.c_str(), 0700) == 0);
    else
        fuzz_write_file(package_path, package.data(), package.size());
    if (record_exists)
        fuzz_write_file(record_path, old_text.data(), old_text.size());
    fuzz_system_command.clear();
    fuzz_system_calls = 0;
    fuzz_system_record_found = false;
    fuzz_system_record.clear();

    static SupervisorState state;
    install_upgrade(state, status.code);

    // A package that is no regular file is no package: everything stays as it was.
    if (package_is_dir) {
        FUZZ_CHECK(fuzz_list_dir(runtime_dir) == std::string(UPGRADE_PACKAGE_FILE) + " ");
        FUZZ_CHECK(fuzz_system_calls == 0);
        FUZZ_CHECK(fuzz_list_dir(data_dir) ==
                   (record_exists ? std::string(BOOT_RECORD_FILE) + " " : std::string()));
        std::string kept;
        FUZZ_CHECK(!record_exists || (fuzz_read_file(record_path, kept) && kept == old_text));
        return 0;
    }

    // The package is consumed; the loader is started for a plugin only, else the
    // package is copied; nothing else is left in the data directory.
    FUZZ_CHECK(fuzz_list_dir(runtime_dir).empty());
    std::string files = std::string(BOOT_RECORD_FILE) + " ";
    if (status.target) {
        std::string copy;
        FUZZ_CHECK(fuzz_read_file(data_dir + "/" + status.target, copy) && copy == package);
        FUZZ_CHECK(fuzz_system_calls == 0);
        files += std::string(status.target) + " ";
    } else {
        FUZZ_CHECK(fuzz_system_calls == 1);
        FUZZ_CHECK(fuzz_system_command == "./k93_load tar -zxf /tmp/.uci//ttupgrade.tgz -C /data/");
        check_record_at_unpack(record_exists ? &old_text : nullptr);
    }
    FUZZ_CHECK(fuzz_list_dir(data_dir) == files);

    std::string written;
    FUZZ_CHECK(fuzz_read_file(record_path, written));
    check_record(written, record_exists ? &old_text : nullptr, status.member);
    return 0;
}
