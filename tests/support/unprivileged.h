#pragma once
// Permission checks do not apply to root, and CI runs as root. run_unprivileged runs a test
// body as an ordinary user there: in a forked child that has dropped to nobody (65534),
// whose failures fail the test through its exit status. Not root: the body simply runs.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace quorvel::testing {

inline constexpr uid_t kUnprivilegedId = 65534;

// Gives what the test made (as root) to the unprivileged user.
inline void hand_over(const std::filesystem::path& p) {
    if (::geteuid() == 0 && ::chown(p.c_str(), kUnprivilegedId, kUnprivilegedId) != 0) {
        ADD_FAILURE() << "cannot hand " << p << " over to uid " << kUnprivilegedId;
    }
}

template <class Body>
void run_unprivileged(Body body) {
    if (::geteuid() != 0) {
        body();
        return;
    }
    std::fflush(nullptr);  // nothing buffered may be printed twice
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 ||
            ::setresgid(kUnprivilegedId, kUnprivilegedId, kUnprivilegedId) != 0 ||
            ::setresuid(kUnprivilegedId, kUnprivilegedId, kUnprivilegedId) != 0) {
            ::_exit(3);
        }
        body();
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the unprivileged part failed (messages above; exit 3: could not drop root), status "
        << status;
}

}  // namespace quorvel::testing
