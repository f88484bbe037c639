// rclcpp's lifetime and the spin helpers.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "veltrax_harness/harness.hpp"

namespace veltrax_harness
{

int use_private_domain()
{
  static const int domain = [] {
    // Cyclone DDS maps domain d to ports 7400 + 250 d and up: 100 keeps them below 32768.
    constexpr int kDomains = 100;
    const int start = static_cast<int>(getpid()) % kDomains;
    for (int i = 0; i < kDomains; ++i) {
      const int candidate = 1 + (start + i) % kDomains;
      const std::string path = "/tmp/veltrax-ros-domain-" + std::to_string(candidate) + ".lock";
      // Close-on-exec: a child must not keep the domain after this process ends.
      const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0) continue;
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) return candidate;  // held until the process ends
      close(fd);
    }
    throw std::runtime_error("no free ROS domain in 1..100 (lock files /tmp/veltrax-ros-domain-*)");
  }();
  setenv("ROS_DOMAIN_ID", std::to_string(domain).c_str(), 1);
  setenv("ROS_LOCALHOST_ONLY", "1", 1);
  return domain;
}

RosSession::RosSession(const std::vector<std::string> & ros_args, const std::string & program)
{
  use_private_domain();
  std::vector<std::string> args{program, "--ros-args"};
  args.insert(args.end(), ros_args.begin(), ros_args.end());
  std::vector<const char *> argv;
  for (const std::string & arg : args) argv.push_back(arg.c_str());
  rclcpp::init(static_cast<int>(argv.size()), argv.data());
  LogCapture::take_back_output();
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
