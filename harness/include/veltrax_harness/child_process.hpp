// Runs one of the build's programs as a child process, the way `ros2 run` would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace veltrax_harness
{

class ChildProcess
{
public:
  /// Starts `program` with `args`; its standard output and error are collected together.
  ChildProcess(const std::string & program, const std::vector<std::string> & args);
  ~ChildProcess();

  /// Reads output until it contains `text` or `timeout` passes; true when found.
  bool wait_for_output(const std::string & text, std::chrono::milliseconds timeout);
  void send_signal(int signal);
  /// Waits for the exit; returns the exit status, or -1 when it did not exit within `timeout`
  /// (the process is then killed), or 128 + signal when a signal ended it.
  int wait_for_exit(std::chrono::milliseconds timeout);
  const std::string & output() const { return output_; }
  /// What was started: the build's launcher words (qemu in the cross build), program, arguments.
  const std::vector<std::string> & command_line() const { return command_line_; }

private:
  void read_available(std::chrono::milliseconds timeout);

  std::vector<std::string> command_line_;
  pid_t pid_{-1};
  int output_fd_{-1};
  std::string output_;
};

}  // namespace veltrax_harness
