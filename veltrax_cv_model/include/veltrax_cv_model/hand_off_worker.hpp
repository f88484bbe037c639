// One worker thread fed one input record at a time by one owner thread (the frame cycle). The
// record is never shared: it belongs to the owner while the worker is idle and to the worker from
// hand_over() until the worker hands it back. ROS-free; a thread and its synchronisation only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace veltrax_cv_model
{

/// When the owner handed a record over, the worker started on it and handed it back (steady
/// clock). All zero before the first hand-over.
struct HandOffTimes
{
  std::chrono::steady_clock::time_point handed_over{};
  std::chrono::steady_clock::time_point started{};
  std::chrono::steady_clock::time_point handed_back{};
};

/// `Input` is the record the worker works on. The worker thread starts in the constructor and is
/// stopped and joined by stop() or the destructor, after the work in hand (if any) is done.
template <typename Input>
class HandOffWorker
{
public:
  /// The worker's job on one record; runs on the worker thread with the record owned by it.
  using Work = std::function<void(Input & input)>;
  /// Receives the text of an exception that escaped `work`; the record is handed back anyway, so
  /// an owner waiting for it is never left waiting. Called on the worker thread.
  using FaultSink = std::function<void(const std::string & text)>;

  explicit HandOffWorker(Work work, FaultSink fault = {})
      : work_(std::move(work)), fault_(std::move(fault)), thread_([this] { run(); })
  {
  }
  ~HandOffWorker() { stop(); }

  HandOffWorker(const HandOffWorker &) = delete;
  HandOffWorker & operator=(const HandOffWorker &) = delete;

  /// True while the owner owns the record (acquire: the worker's writes to it are visible).
  bool idle() const { return idle_.load(std::memory_order_acquire); }

  /// The record; the owner may touch it only while idle().
  Input & input() { return input_; }

  /// The times of the last hand-off; the owner may read them only while idle().
  const HandOffTimes & times() const { return times_; }

  /// Owner: gives the filled record to the worker and wakes it. False, doing nothing, when the
  /// worker still holds the previous one or has been stopped.
  bool hand_over()
  {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ || !idle_.load(std::memory_order_acquire)) {
        return false;
      }
      times_ = HandOffTimes{std::chrono::steady_clock::now(), {}, {}};
      idle_.store(false, std::memory_order_release);
    }
    handed_over_.notify_one();
    return true;
  }

  /// Owner: blocks until the worker has handed the record back (at once when it is idle).
  void wait_until_idle()
  {
    std::unique_lock<std::mutex> lock(mutex_);
    handed_back_.wait(lock, [this] { return idle_.load(std::memory_order_acquire); });
  }

  /// Lets the work in hand finish, ends the thread and joins it. Safe to call more than once;
  /// hand_over() refuses from then on.
  void stop()
  {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    handed_over_.notify_one();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

private:
  void run()
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      handed_over_.wait(lock,
                        [this] { return stopping_ || !idle_.load(std::memory_order_acquire); });
      if (idle_.load(std::memory_order_acquire)) {
        return;  // stopping with nothing in hand
      }
      lock.unlock();
      times_.started = std::chrono::steady_clock::now();
      try {
        work_(input_);
      } catch (const std::exception & e) {
        report(e.what());
      } catch (...) {
        report("unknown exception");
      }
      times_.handed_back = std::chrono::steady_clock::now();
      lock.lock();
      idle_.store(true, std::memory_order_release);
      handed_back_.notify_all();
      if (stopping_) {
        return;
      }
    }
  }

  void report(const std::string & text) noexcept
  {
    if (!fault_) {
      return;
    }
    try {
      fault_(text);
    } catch (...) {
      // A sink that throws must not keep the record from going back.
    }
  }

  Work work_;
  FaultSink fault_;
  Input input_;
  HandOffTimes times_;
  // true: the owner holds input_ and times_; false: the worker does. Changed under mutex_ so a
  // waiter cannot miss the change; atomic so idle() reads it without the lock.
  std::atomic<bool> idle_{true};
  bool stopping_{false};  // guarded by mutex_
  std::mutex mutex_;
  std::condition_variable handed_over_;
  std::condition_variable handed_back_;
  // Last: the thread starts when every member it reads exists.
  std::thread thread_;
};

}  // namespace veltrax_cv_model
