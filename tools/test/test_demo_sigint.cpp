// run_demo as a user runs it, stopped with Ctrl-C at random moments of its life (50 of them, 10
// in sanitizer and qemu builds): while it
// renders the scene, reads its parameters and loads the model, on the first frames, while the
// node's workers run and while it evaluates. Every run must end promptly with status 0 and
// without a sanitizer report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "veltrax_harness/child_process.hpp"

namespace
{

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using veltrax_harness::ChildProcess;

// Debug sanitizer builds and qemu run the node's cycle, its teardown and the process exit many
// times slower: there each run takes seconds, so fewer moments keep the suite within its time.
#ifdef VELTRAX_SLOW_TARGET
constexpr int kMoments = 10;
constexpr int kSlowdown = 10;
#else
constexpr int kMoments = 50;
constexpr int kSlowdown = 1;
#endif
constexpr auto kPromptExit = kSlowdown * 3s;
constexpr auto kWholeRun = kSlowdown * 120s;

const fs::path kOut =
    fs::temp_directory_path() / ("veltrax_demo_sigint_" + std::to_string(getpid()));

// A fresh output directory each time, as a user's first run would find it.
ChildProcess start_demo()
{
  fs::remove_all(kOut);
  return ChildProcess(RUN_DEMO_EXECUTABLE,
                      {"--fast", "--frames", "4", "--quiet", "--out", kOut.string()});
}

void expect_no_sanitizer_report(const std::string & output)
{
  for (const char * report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                              "WARNING: ThreadSanitizer", "runtime error:"}) {
    EXPECT_EQ(output.find(report), std::string::npos) << output;
  }
}

long ms(Clock::duration duration)
{
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

unsigned int seed()
{
  if (const char * text = std::getenv("VELTRAX_SIGINT_SEED")) {
    return static_cast<unsigned int>(std::stoul(text));
  }
  return static_cast<unsigned int>(Clock::now().time_since_epoch().count());
}

TEST(DemoSigint, EndsPromptlyWithStatusZeroWheneverCtrlCComes)
{
  // Loading the executable's many shared libraries takes a noticeable share of its life, and a
  // signal then ends any program before its main() can catch it: the moments start after the
  // slowest of three runs that end right in main(), with half as much again to spare.
  Clock::duration startup{};
  for (int i = 0; i < 3; ++i) {
    const auto begin = Clock::now();
    ChildProcess help(RUN_DEMO_EXECUTABLE, {"--help"});
    ASSERT_EQ(help.wait_for_exit(kWholeRun), 0) << help.output();
    startup = std::max(startup, Clock::now() - begin);
  }
  startup += startup / 2;

  const auto begin = Clock::now();
  ChildProcess undisturbed = start_demo();
  ASSERT_EQ(undisturbed.wait_for_exit(kWholeRun), 0) << undisturbed.output();
  const auto lifetime = Clock::now() - begin;
  expect_no_sanitizer_report(undisturbed.output());
  ASSERT_GT(ms(lifetime), ms(startup));

  const unsigned int run_seed = seed();
  std::printf("VELTRAX_SIGINT_SEED=%u; main() within %ld ms, undisturbed run %ld ms\n", run_seed,
              ms(startup), ms(lifetime));
  std::mt19937 random(run_seed);
  std::uniform_int_distribution<long> moment(ms(startup), ms(lifetime));
  Clock::duration slowest{};
  for (int i = 0; i < kMoments; ++i) {
    const std::chrono::milliseconds delay(moment(random));
    SCOPED_TRACE(testing::Message() << "seed " << run_seed << ", moment " << i << ": SIGINT after "
                                    << delay.count() << " ms");
    ChildProcess demo = start_demo();
    std::this_thread::sleep_for(delay);
    // On a loaded machine loading the libraries can outlast the measured start-up: the output
    // directory, made right after main() has taken the signals, says the handlers are in place.
    const auto ready_by = Clock::now() + kWholeRun;
    while (!fs::exists(kOut) && Clock::now() < ready_by) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    demo.send_signal(SIGINT);
    const auto signalled = Clock::now();
    const int status = demo.wait_for_exit(kPromptExit);
    const auto exit_time = Clock::now() - signalled;
    slowest = std::max(slowest, exit_time);
    std::printf("moment %d: SIGINT after %ld ms, status %d %ld ms later\n", i, delay.count(),
                status, ms(exit_time));
    std::fflush(stdout);
    EXPECT_EQ(status, 0) << "(-1: still running " << ms(kPromptExit) << " ms after the signal)\n"
                         << demo.output();
    expect_no_sanitizer_report(demo.output());
    // Early on, the signal must stop the run rather than let it finish within the bound anyway.
    if (delay < lifetime / 3) {
      EXPECT_EQ(demo.output().find("run_demo summary"), std::string::npos) << demo.output();
    }
  }
  std::printf("slowest exit: %ld ms after the signal\n", ms(slowest));
  fs::remove_all(kOut);
}

}  // namespace
