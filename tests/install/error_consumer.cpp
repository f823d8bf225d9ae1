// A program outside the tree: errors thrown inside the platform library are caught here by
// their type, and keep their number and description. Exits non-zero on any mismatch.
#include <cstdio>
#include <exception>
#include <typeinfo>

#include <platform/error.h>

namespace {

int check(bool ok, const char* what) {
    if (!ok)
        std::fprintf(stderr, "FAIL: %s\n", what);
    return ok ? 0 : 1;
}

}  // namespace

int main() {
    int failures = 0;
    try {
        platform::setErrorInfo({platform::errors::kDeviceUnavailable, u"consumer", u"test"});
        platform::throwFromHresult(platform::E_FAIL);  // throws from inside the library
    } catch (const platform::Error& error) {
        failures += check(error.number() == platform::errors::kDeviceUnavailable, "its number");
        failures += check(error.description() == u"consumer", "its description");
        failures += check(typeid(error) == typeid(platform::Error), "one type identity");
        std::printf("caught platform::Error %d: %s\n", error.number(), error.what());
    } catch (const std::exception&) {
        failures += check(false, "caught only as std::exception");
    }
    return failures == 0 ? 0 : 1;
}
