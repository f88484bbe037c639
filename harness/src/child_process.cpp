#include "veltrax_harness/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "launcher.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_harness
{

ChildProcess::ChildProcess(const std::string & program, const std::vector<std::string> & args)
{
  use_private_domain();
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  command_line_ = kProgramLauncher;
  command_line_.push_back(program);
  command_line_.insert(command_line_.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string & arg : command_line_) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  output_fd_ = fds[0];
  fcntl(output_fd_, F_SETFL, fcntl(output_fd_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess()
{
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_fd_ >= 0) close(output_fd_);
}

void ChildProcess::read_available(std::chrono::milliseconds timeout)
{
  pollfd fd{output_fd_, POLLIN, 0};
  if (poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return;
  char buffer[4096];
  ssize_t n;
  while ((n = read(output_fd_, buffer, sizeof(buffer))) > 0) output_.append(buffer, n);
}

bool ChildProcess::wait_for_output(const std::string & text, std::chrono::milliseconds timeout)
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    read_available(std::chrono::milliseconds(20));
  }
  return true;
}

void ChildProcess::send_signal(int signal) { kill(pid_, signal); }

int ChildProcess::wait_for_exit(std::chrono::milliseconds timeout)
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      read_available(std::chrono::milliseconds(0));
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    read_available(std::chrono::milliseconds(10));
  }
  return -1;
}

}  // namespace veltrax_harness
