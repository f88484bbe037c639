// The frame cycle's hand-off to its workers, without ROS. Also run under ThreadSanitizer (make
// tsan), which checks that owner and worker never touch a record at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "veltrax_cv_model/hand_off_worker.hpp"

namespace veltrax_cv_model
{
namespace
{

struct Record
{
  std::vector<int> values;  // a heap buffer, so a racy access is a real one
  int sum{0};
};

int sum_of(const std::vector<int> & values)
{
  int sum = 0;
  for (int v : values) sum += v;
  return sum;
}

TEST(HandOffWorker, EveryRecordComesBackWorkedOnWithOrderedTimes)
{
  HandOffWorker<Record> worker([](Record & r) { r.sum = sum_of(r.values); });
  for (int round = 0; round < 500; ++round) {
    ASSERT_TRUE(worker.idle());
    worker.input().values.assign(static_cast<std::size_t>(round % 7 + 1), round);
    ASSERT_TRUE(worker.hand_over());
    worker.wait_until_idle();
    ASSERT_EQ(worker.input().sum, round * (round % 7 + 1)) << "round " << round;
    const HandOffTimes & t = worker.times();
    ASSERT_LE(t.handed_over, t.started);
    ASSERT_LE(t.started, t.handed_back);
  }
}

// A second hand-over while the worker holds the record would give two threads one record.
TEST(HandOffWorker, RefusesAHandOverWhileBusyOrStopped)
{
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  bool release = false;
  HandOffWorker<Record> worker([&](Record & r) {
    std::unique_lock<std::mutex> lock(mutex);
    started = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    r.sum = 1;
  });
  ASSERT_TRUE(worker.hand_over());
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return started; });
  }
  EXPECT_FALSE(worker.idle());
  EXPECT_FALSE(worker.hand_over());
  {
    const std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  worker.wait_until_idle();
  EXPECT_EQ(worker.input().sum, 1);

  worker.stop();
  EXPECT_FALSE(worker.hand_over());
  EXPECT_TRUE(worker.idle());
  worker.stop();  // a second stop, then the destructor's: no effect
}

// The owner waits for the record: work that throws must still hand it back, and the worker
// must take the next one.
TEST(HandOffWorker, HandsBackAndReportsWhenTheWorkThrows)
{
  std::vector<std::string> faults;  // written by the worker, read by the owner while idle
  HandOffWorker<Record> worker(
      [](Record & r) {
        if (r.values.empty()) throw std::runtime_error("no values");
        if (r.values.front() < 0) throw 7;
        r.sum = sum_of(r.values);
      },
      [&](const std::string & text) { faults.push_back(text); });
  struct Case
  {
    std::vector<int> values;
    std::size_t faults;
    int sum;
  };
  const Case cases[] = {{{}, 1, 0}, {{-1}, 2, 0}, {{2, 3}, 2, 5}};
  for (const Case & c : cases) {
    worker.input() = Record{c.values, 0};
    ASSERT_TRUE(worker.hand_over());
    worker.wait_until_idle();
    EXPECT_EQ(faults.size(), c.faults);
    EXPECT_EQ(worker.input().sum, c.sum);
  }
  EXPECT_EQ(faults, (std::vector<std::string>{"no values", "unknown exception"}));
}

// Stopping (the node's teardown) lets the work in hand finish before the thread ends, so nothing
// the work reads is destroyed under it, and the owner is never left waiting.
TEST(HandOffWorker, StopFinishesTheWorkInHand)
{
  std::atomic<int> done{0};
  {
    HandOffWorker<Record> idle_worker([&](Record &) { ++done; });
  }
  EXPECT_EQ(done.load(), 0);

  HandOffWorker<Record> worker([&](Record & r) {
    for (int i = 0; i < 1000; ++i) r.values.push_back(i);
    ++done;
  });
  ASSERT_TRUE(worker.hand_over());
  worker.stop();
  EXPECT_EQ(done.load(), 1);
  EXPECT_TRUE(worker.idle());
  EXPECT_EQ(worker.input().values.size(), 1000u);
  worker.wait_until_idle();  // returns at once
}

}  // namespace
}  // namespace veltrax_cv_model
