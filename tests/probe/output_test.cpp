// The probe's standard output as --out - leaves it: the flags it made
// non-blocking are given back, since the shell or the next program in a
// script may write to the same open pipe or terminal after it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "probe_output.h"

namespace {

TEST(ProbeOutput, StandardOutputIsBlockingAgainAfterTheProbe) {
    int shared[2];
    ASSERT_EQ(pipe(shared), 0);
    int ownStdout = dup(STDOUT_FILENO);
    dup2(shared[1], STDOUT_FILENO);
    ASSERT_TRUE(openPayloadOutput("-"));
    int during = fcntl(shared[1], F_GETFL);
    EXPECT_TRUE(closePayloadOutput());
    int after = fcntl(shared[1], F_GETFL);
    dup2(ownStdout, STDOUT_FILENO);
    EXPECT_NE(during & O_NONBLOCK, 0) << "while the probe runs, a write must not wait for the reader";
    EXPECT_EQ(after & O_NONBLOCK, 0);
    close(ownStdout);
    close(shared[0]);
    close(shared[1]);
}

}  // namespace
