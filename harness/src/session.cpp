// rclcpp's lifetime and the spin helpers.
#include "veltrax_harness/harness.hpp"

namespace veltrax_harness
{

RosSession::RosSession(const std::vector<std::string> & ros_args, const std::string & program)
{
  std::vector<std::string> args{program, "--ros-args"};
  args.insert(args.end(), ros_args.begin(), ros_args.end());
  std::vector<const char *> argv;
  for (const std::string & arg : args) argv.push_back(arg.c_str());
  rclcpp::init(static_cast<int>(argv.size()), argv.data());
}

RosSession::~RosSession() { rclcpp::shutdown(); }

bool spin_until(rclcpp::Executor & executor, const std::function<bool()> & done,
                std::chrono::milliseconds timeout)
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    executor.spin_once(std::chrono::milliseconds(10));
  }
  return true;
}

void spin_for(rclcpp::Executor & executor, std::chrono::milliseconds duration)
{
  spin_until(
      executor, [] { return false; }, duration);
}

SpinThread::SpinThread(rclcpp::Executor & executor)
    : executor_(executor), thread_([this] {
        executor_.spin();
        returned_.store(true, std::memory_order_release);
      })
{
}

SpinThread::~SpinThread() { stop(); }

void SpinThread::stop()
{
  if (!thread_.joinable()) return;
  // A cancel() before the thread has entered spin() is lost: repeat it until spin() returned.
  while (!returned_.load(std::memory_order_acquire)) {
    executor_.cancel();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  thread_.join();
}

}  // namespace veltrax_harness
