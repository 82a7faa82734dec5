// Fuzz target: uniform-send's command line, the reading of TYPE and the UTF-8 check of
// V, through the program's own main (built here as uniform_send_main) and the send, over
// a stub of the platform library that checks what it is given and answers as the input
// says. The whole standard output is compared with the transcript that the outcome
// calls for.
//
// Input: byte 0 chooses the platform's answers (bits 0-1 the start result, bits 2-3 the
// call result, bits 4-5 the reply's signature, bit 6 the reply type 0x100 instead of
// bytes 1-2), then the arguments after the program name, separated by NUL bytes.
#include "fuzz_support.h"

#include <capi3.h>
#include <dbus/dbus.h>
#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int uniform_send_main(int argc, char** argv);

namespace {

struct Platform {
    // Answers.
    int start_result;
    int call_result;
    const char* reply_signature;
    uint16_t reply_type;
    // What was called, and with what.
    int starts, calls, stops;
    std::string name;
    uint16_t type;
    uint32_t length;
    std::string text;
};
Platform platform;

const int START_RESULTS[] = {0, 7, -2, -6};
const int CALL_RESULTS[] = {0, 0, -1, -7};
const char* const REPLY_SIGNATURES[] = {"(qui)", "(qui)", "(uui)", "()"};

// strtoul in base 0 as the C library defines it (white space, sign, 0x or leading 0,
// digits up to the first that does not belong; ULONG_MAX on overflow), then the low
// 16 bits.
uint16_t model_type(const char* s)
{
    while (isspace(static_cast<unsigned char>(*s)))
        s++;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    unsigned base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && isxdigit(static_cast<unsigned char>(s[2]))) {
        base = 16;
        s += 2;
    } else if (s[0] == '0') {
        base = 8;
    }
    unsigned long value = 0;
    bool overflow = false;
    for (;; s++) {
        unsigned digit = isdigit(static_cast<unsigned char>(*s)) ? unsigned(*s - '0')
                         : isalpha(static_cast<unsigned char>(*s))
                             ? unsigned(tolower(static_cast<unsigned char>(*s)) - 'a' + 10)
                             : 99;
        if (digit >= base)
            break;
        overflow |= __builtin_mul_overflow(value, base, &value);
        overflow |= __builtin_add_overflow(value, digit, &value);
    }
    if (overflow)
        return 0xffff;
    return static_cast<uint16_t>(negative ? 0 - value : value);
}

std::string line(const char* format, long value)
{
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

extern "C" int CtSgwDBusStartService(const char* name)
{
    platform.starts++;
    platform.name = name;
    return platform.start_result;
}

extern "C" int CtSgwDBusCallMethod(const char* bus_name, const char* path,
                                   const char* interface_name, const char* method, GVariant* params,
                                   GVariant** reply, int timeout_ms)
{
    platform.calls++;
    FUZZ_CHECK(platform.starts == 1 && platform.stops == 0);
    FUZZ_CHECK(strcmp(bus_name, "com.velder.p47h18") == 0);
    FUZZ_CHECK(strcmp(path, "/com/velder/p47h18") == 0);
    FUZZ_CHECK(strcmp(interface_name, "com.velder.p47h18.sendmsg") == 0);
    FUZZ_CHECK(strcmp(method, "UniformSendMsg") == 0);
    FUZZ_CHECK(timeout_ms == 30000 && reply);
    FUZZ_CHECK(params && g_variant_is_of_type(params, G_VARIANT_TYPE("(qus)")));
    g_variant_ref_sink(params); // taken over, as the platform library does
    const char* text = nullptr;
    g_variant_get(params, "(qu&s)", &platform.type, &platform.length, &text);
    platform.text = text;
    g_variant_unref(params);
    if (platform.call_result == 0)
        *reply = g_variant_ref_sink(strcmp(platform.reply_signature, "(qui)") == 0
                                        ? g_variant_new("(qui)", platform.reply_type, 5u, -5)
                                    : strcmp(platform.reply_signature, "(uui)") == 0
                                        ? g_variant_new("(uui)", 0x100u, 5u, -5)
                                        : g_variant_new("()"));
    return platform.call_result;
}

extern "C" void CtSgwDBusStopService(void)
{
    platform.stops++;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A GLib warning or critical (a string that is no UTF-8 in a GVariant) is a crash.
    g_log_set_always_fatal(GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return -1;
    const uint8_t choice = data[0];
    platform = Platform {};
    platform.start_result = START_RESULTS[choice & 3];
    platform.call_result = CALL_RESULTS[(choice >> 2) & 3];
    platform.reply_signature = REPLY_SIGNATURES[(choice >> 4) & 3];
    platform.reply_type = choice & 0x40 ? 0x100 : uint16_t(data[1] << 8 | data[2]);

    std::vector<std::string> args = {"uniform-send"};
    const std::string rest(reinterpret_cast<const char*>(data + 3), size - 3);
    for (size_t at = 0; !rest.empty() && at <= rest.size() && args.size() < 6;) {
        size_t end = std::min(rest.find('\0', at), rest.size());
        args.push_back(rest.substr(at, end - at));
        at = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // Standard output goes to memory for the run.
    char* out = nullptr;
    size_t out_size = 0;
    FILE* saved = stdout;
    stdout = open_memstream(&out, &out_size);
    FUZZ_CHECK(stdout);
    const int status = uniform_send_main(int(args.size()), argv.data());
    fclose(stdout);
    stdout = saved;
    const std::string transcript(out, out_size);
    free(out);

    // The transcript and the platform calls that the arguments and the answers call for.
    std::string expected;
    int starts = 0, calls = 0, stops = 0;
    if (args.size() != 4) {
        FUZZ_CHECK(status == 255);
        expected = "Usage: PROG NAME TYPE V\n";
    } else {
        FUZZ_CHECK(status == 0);
        const std::string& v = args[3];
        int sent = -1;
        if (!dbus_validate_utf8(v.c_str(), nullptr)) {
            expected = "message text is not valid UTF-8, not sent\n";
        } else {
            starts = 1;
            expected = "call CtSgwDBusStartService\n";
            FUZZ_CHECK(platform.name == args[1]);
            if (platform.start_result < 0) {
                expected += "failed to start dbus service\n";
                sent = platform.start_result;
            } else {
                calls = stops = 1;
                expected += "call CtSgwDBusCallMethod\n";
                FUZZ_CHECK(platform.type == model_type(args[2].c_str()));
                FUZZ_CHECK(platform.length == v.size() && platform.text == v);
                uint16_t reply_type = 0;
                if (platform.call_result != 0)
                    expected += line("call CtSgwDBusCallMethod ret(%ld)\n", platform.call_result);
                else if (strcmp(platform.reply_signature, "(qui)") == 0)
                    reply_type = platform.reply_type;
                expected += "call CtSgwDBusStopService\n";
                sent = 0;
                if (reply_type != 0x100) {
                    expected += line("recv dbus type(%03lx) \n", reply_type);
                    sent = -1;
                }
            }
        }
        expected += line(sent == 0 ? "successful send len(%ld)\n" : "faild to send len(%ld)\n",
                         long(v.size()));
    }
    FUZZ_CHECK(platform.starts == starts && platform.calls == calls && platform.stops == stops);
    if (transcript != expected) {
        fprintf(stderr, "transcript:\n%s\nexpected:\n%s\n", transcript.c_str(), expected.c_str());
        FUZZ_CHECK(transcript == expected);
    }
    return 0;
}
