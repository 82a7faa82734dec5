// The supervisor daemon: its one state record, constants, exit statuses and the
// operations of its units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sys/types.h>

#include <cJSON.h>

constexpr const char RUNTIME_DIR[] = "/tmp/.uci/";
constexpr const char DATA_DIR[] = "/data/";
constexpr const char PLATFORM_ID[] = "solvarine_mt7526";
// Version written into new boot-check records, and the oldest one accepted.
constexpr const char RECORD_VERSION[] = "4.8.01.1";
constexpr const char DEFAULT_PROCESS[] = "velder-dpi-inner";
constexpr const char BOOT_RECORD_FILE[] = ".bootchk";
constexpr const char UPGRADE_PACKAGE_FILE[] = "ttupgrade.tgz";
constexpr const char LOADER_TOOL[] = "k93_load";
// Put first into a record that names a plugin while a new plugin is unpacked over it: the
// first member named "plugindata" in any letter case is then 0, which gives base mode.
constexpr const char PLUGIN_GUARD[] = "PLUGINDATA";

constexpr int MAX_WATCHED = 4;       // hard capacity of the process table
constexpr int NAME_SIZE = 4096;      // names and paths
constexpr int LONG_PATH_SIZE = 8192; // paths built from a directory and a name
// Exact sizes of "%s/%s" paths whose parts are known: the boot-check record, and a program
// of the data directory (a name has at most NAME_SIZE - 1 characters). Kept small, the
// buffers keep the daemon's stack shallow, and so its resident stack small.
constexpr int BOOT_RECORD_PATH_SIZE = sizeof DATA_DIR + sizeof BOOT_RECORD_FILE;
constexpr int PLUGIN_PATH_SIZE = sizeof DATA_DIR + NAME_SIZE;
constexpr unsigned RESTART_DELAY = 10;

// Exit statuses through which a watched program talks to the daemon.
enum ExitStatus : int {
    EXIT_EXEC_FAILED = 129,
    EXIT_INSTALL_PLUGIN = 130,
    EXIT_INSTALL_INIT = 131,
    EXIT_INSTALL_SIGNATURE = 132,
    EXIT_RESTART_ALL = 160,
};

struct WatchedProcess {
    char name[NAME_SIZE];
    int pid; // 0 before the first start, then the pid of the latest instance
};

struct SupervisorState {
    char lock_path[NAME_SIZE];
    int debug;
    int plugin_installed;
    int lock_fd;
    int count;
    WatchedProcess procs[MAX_WATCHED];
    uint32_t segv_restarts;
};

// Start-up and the single-instance lock (startup.cpp).
void open_standard_fds();
void close_inherited_fds(int first);
void format_lock_path(SupervisorState& state, const char* program);
void enter_program_dir(const char* path);
[[nodiscard]] int ensure_runtime_dir();
[[nodiscard]] int open_locked_file(const char* path, const void* data, int length);
[[nodiscard]] int claim_instance(const char* program, SupervisorState& state);

// Watch configuration and JSON files (watch_config.cpp).
struct JsonDelete {
    void operator()(cJSON* tree) const { cJSON_Delete(tree); }
};
using JsonTree = std::unique_ptr<cJSON, JsonDelete>;

[[nodiscard]] int load_watch_config(const char* path, SupervisorState& state);
void use_default_process(SupervisorState& state);
const char* json_string_member(const cJSON* object, const char* key);
[[nodiscard]] cJSON* cjson_from_file(const char* path);

// Boot-check record and version gate (boot_record.cpp).
int json_int_member(const cJSON* object, const char* key);
uint32_t version_field(char* text, char** save, int shift);
uint32_t version_pack(const char* text);
int32_t version_compare(const char* a, const char* b);
void boot_record_path(char (&path)[BOOT_RECORD_PATH_SIZE]);
[[nodiscard]] cJSON* boot_record_load();
int boot_record_remove();
[[nodiscard]] int boot_record_check(const SupervisorState& state);
bool record_claims_plugin(const cJSON* record);

// Launcher (launcher.cpp).
struct ChildArgv {
    char code[12];
    char* argv[16];
};
int build_child_argv(ChildArgv& args, const char* path, int restart_code, int debug,
                     int plugin_mode);
void start_process(SupervisorState& state, int slot, int restart_code);
[[nodiscard]] int spawn_process(const char* path, int restart_code, int debug, int plugin_mode);

// Supervision loop (supervise.cpp).
void supervise(SupervisorState& state);
[[nodiscard]] int wait_and_restart(SupervisorState& state, int& last_exit_code);
bool decode_wait_status(int status, int& status_code, int& exited_normally);
int find_and_decode(int pid, int status, const SupervisorState& state, int& status_code,
                    int& exited_normally);
size_t format_exit_line(char* line, size_t size, const char* timestamp, const char* name,
                        int status_code, int exited_normally);
void log_exit(int status_code, int exited_normally, const char* name, int fd);
void kill_watched(const SupervisorState& state);
unsigned segv_delay(SupervisorState& state);

// Atomic replacement of a file (atomic_file.cpp): NAME.new is written, made durable and
// renamed over NAME.
struct NewFile {
    char temp[LONG_PATH_SIZE + 8];
    const char* path;
    int fd;
};

int new_file_open(NewFile& file, const char* path, mode_t create_mode);
void new_file_abort(NewFile& file);
int new_file_commit(NewFile& file);
int write_all(int fd, const char* data, size_t length);
int save_text_file(const char* path, const char* text, size_t length);
void sync_data_dir(const char* dir);

// Upgrade installer (upgrade.cpp).
JsonTree record_after_install(cJSON* old_record, const char* member);
JsonTree record_with_guard(const cJSON* record);
void install_upgrade(const SupervisorState& state, int status);
int copy_file_raw(const char* source, const char* destination);
