// libstdc++'s C headers bring the C library's functions into std, among them ISO C11's
// quick_exit, at_quick_exit and timespec_get: they must be declared, link, and behave.
// Exits 0 through quick_exit once the handlers have run in reverse order; 1 otherwise.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <unistd.h>

namespace {
char order[4]; // the handlers, by their place in registration, in the order they ran
int handlers_run;

void record(char c)
{
    order[handlers_run++] = c;
}
void registered_third() { record('3'); }
void registered_second() { record('2'); }
void registered_first()
{
    record('1');
    // Runs last: the order is then complete.
    _exit(std::strcmp(order, "321") == 0 ? 0 : 1);
}

int fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    return 1;
}
} // namespace

int main()
{
    std::timespec ts{};
    if (std::timespec_get(&ts, TIME_UTC) != TIME_UTC)
        return fail("timespec_get(TIME_UTC) failed");
    std::time_t now = std::time(nullptr);
    if (ts.tv_sec < now - 1 || ts.tv_sec > now + 1 || ts.tv_nsec < 0 || ts.tv_nsec >= 1000000000L)
        return fail("timespec_get gives another time than time()");
    if (std::timespec_get(&ts, TIME_UTC + 1) != 0)
        return fail("timespec_get accepts an unknown time base");

    if (std::wcslen(L"gateway") != 7 || std::lround(std::cbrt(27.0L)) != 3)
        return fail("wide characters or C99 maths are wrong");

    if (std::at_quick_exit(registered_first) != 0 || std::at_quick_exit(registered_second) != 0 ||
        std::at_quick_exit(registered_third) != 0)
        return fail("at_quick_exit refused a handler");
    std::quick_exit(2);
}
