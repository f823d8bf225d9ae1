// The machine registry's folder as a build that others install finds it: without the
// switch that lets the tests (which run as root) move it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/user_data.h"

namespace {

constexpr uid_t kAnotherUser = 65534;

// machineDataDirectory() == expected, in a child acting as `user`.
bool seenAs(uid_t user, const std::filesystem::path& expected) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (user != ::geteuid() &&
            (::setresgid(user, user, user) != 0 || ::setresuid(user, user, user) != 0))
            ::_exit(2);
        ::_exit(platform::machineDataDirectory() == expected ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Root may run with a user's environment (sudo -E) and writes the registry every user loads
// from: it stays where the build put it. Another user's own programs may still be pointed
// elsewhere.
TEST(InstalledMachineFolder, RootsEnvironmentNeverMovesIt) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ::setenv("CORVANE_PLATFORM_MACHINE_HOME", "/elsewhere", 1);
    const struct {
        const char* who;
        uid_t user;
        const char* expected;
    } cases[] = {
        {"root", 0, CORVANE_PLATFORM_MACHINE_DATA_DIR},
        {"another user", kAnotherUser, "/elsewhere"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.who);
        EXPECT_TRUE(seenAs(c.user, c.expected));
    }
    ::unsetenv("CORVANE_PLATFORM_MACHINE_HOME");
}

}  // namespace
