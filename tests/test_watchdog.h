// A time limit for each test of a program whose tests wait on the code under them (writers that
// take turns, batches that hold files): a test that runs past it ends the program at once with a
// message naming the test, instead of leaving CTest to wait minutes for its own timeout. Included
// once per program; QID3_TEST_WATCHDOG_SECONDS sets the limit (0: none), which slow builds
// (sanitizers, valgrind) may raise. Child processes arm their own limit with
// test_watchdog_arm_child: an alarm does not pass through fork.
#ifndef QUORVALE_TEST_WATCHDOG_H
#define QUORVALE_TEST_WATCHDOG_H

#ifndef _WIN32
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Seconds a test may run: far above what the slowest test here takes on a loaded machine (a few
// seconds), far below CTest's timeout.
#define TEST_WATCHDOG_DEFAULT_SECONDS 60

inline unsigned test_watchdog_seconds() {
    const char* env = getenv("QID3_TEST_WATCHDOG_SECONDS");
    return env && *env ? (unsigned)atoi(env) : TEST_WATCHDOG_DEFAULT_SECONDS;
}

// The message the alarm writes, made before the test starts: a signal handler may only write.
inline char test_watchdog_message[512];
inline size_t test_watchdog_message_len;

inline void test_watchdog_fired(int) {
    ssize_t ignored = write(2, test_watchdog_message, test_watchdog_message_len);
    (void)ignored;
    _exit(124);
}

inline void test_watchdog_arm_child() {
    alarm(test_watchdog_seconds());
}

struct TestWatchdog : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& info) override {
        int n = snprintf(test_watchdog_message, sizeof test_watchdog_message,
                         "\nwatchdog: %s.%s still running after %u s: it hangs\n",
                         info.test_suite_name(), info.name(), test_watchdog_seconds());
        test_watchdog_message_len = n < 0 ? 0
                                    : (size_t)n < sizeof test_watchdog_message
                                        ? (size_t)n
                                        : sizeof test_watchdog_message - 1;
        signal(SIGALRM, test_watchdog_fired);
        alarm(test_watchdog_seconds());
    }
    void OnTestEnd(const testing::TestInfo&) override { alarm(0); }
};

// Installed before main runs the tests (gtest_main keeps listeners appended beforehand).
inline const bool test_watchdog_installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new TestWatchdog);
    return true;
}();
#else
inline void test_watchdog_arm_child() {}
#endif

#endif
