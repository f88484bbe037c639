// Context, init/shutdown and the SIGINT/SIGTERM handling of the host stand-in.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host_arguments.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/detail/host_graph.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp
{
namespace
{
std::mutex g_contexts_mutex;
std::vector<std::weak_ptr<Context>> g_contexts;

// ---- signal handling ----
// The handler only writes the signal number to a pipe (async-signal-safe); a helper thread
// reads it, logs and shuts the contexts down, as Humble's deferred signal handler does.
int g_signal_pipe[2] = {-1, -1};
struct sigaction g_old_sigint;
struct sigaction g_old_sigterm;

void chain(const struct sigaction & old, int signum, siginfo_t * info, void * context)
{
  if (old.sa_flags & SA_SIGINFO) {
    if (old.sa_sigaction != nullptr) {
      old.sa_sigaction(signum, info, context);
    }
  } else if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN && old.sa_handler != nullptr) {
    old.sa_handler(signum);
  }
}

extern "C" void host_signal_handler(int signum, siginfo_t * info, void * context)
{
  const int saved_errno = errno;
  const unsigned char byte = static_cast<unsigned char>(signum);
  ssize_t written = ::write(g_signal_pipe[1], &byte, 1);
  (void)written;
  errno = saved_errno;
  chain(signum == SIGINT ? g_old_sigint : g_old_sigterm, signum, info, context);
}

void deferred_signal_handler(int read_fd)
{
  while (true) {
    unsigned char byte = 0;
    const ssize_t n = ::read(read_fd, &byte, 1);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0 || byte == 0) {
      return;
    }
    RCLCPP_INFO(rclcpp::get_logger("rclcpp"), "signal_handler(signum=%d)", static_cast<int>(byte));
    for (const auto & context : get_contexts()) {
      if (context->get_init_options().shutdown_on_signal) {
        context->shutdown("signal handler");
      }
    }
  }
}

class SignalHandlers
{
public:
  ~SignalHandlers() { uninstall(); }

  bool install(SignalHandlerOptions options)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (installed_) {
      return false;
    }
    options_ = options;
    if (options == SignalHandlerOptions::None) {
      installed_ = true;
      return true;
    }
    if (::pipe(g_signal_pipe) != 0) {
      throw std::runtime_error("failed to create the signal pipe");
    }
    ::fcntl(g_signal_pipe[1], F_SETFL, ::fcntl(g_signal_pipe[1], F_GETFL) | O_NONBLOCK);
    ::fcntl(g_signal_pipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(g_signal_pipe[1], F_SETFD, FD_CLOEXEC);
    thread_ = std::thread(deferred_signal_handler, g_signal_pipe[0]);
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = &host_signal_handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    if (options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigInt) {
      ::sigaction(SIGINT, &action, &g_old_sigint);
      handles_sigint_ = true;
    }
    if (options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigTerm) {
      ::sigaction(SIGTERM, &action, &g_old_sigterm);
      handles_sigterm_ = true;
    }
    installed_ = true;
    return true;
  }

  bool uninstall()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!installed_) {
      return false;
    }
    if (handles_sigint_) {
      ::sigaction(SIGINT, &g_old_sigint, nullptr);
    }
    if (handles_sigterm_) {
      ::sigaction(SIGTERM, &g_old_sigterm, nullptr);
    }
    handles_sigint_ = handles_sigterm_ = false;
    if (thread_.joinable()) {
      const unsigned char stop = 0;
      ssize_t written = ::write(g_signal_pipe[1], &stop, 1);
      (void)written;
      // An on_shutdown callback run by the helper thread may end up here.
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
      } else {
        thread_.join();
        ::close(g_signal_pipe[0]);
        ::close(g_signal_pipe[1]);
      }
      g_signal_pipe[0] = g_signal_pipe[1] = -1;
    }
    installed_ = false;
    return true;
  }

  bool installed()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return installed_;
  }

  SignalHandlerOptions options()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return installed_ ? options_ : SignalHandlerOptions::None;
  }

private:
  std::mutex mutex_;
  bool installed_ = false;
  bool handles_sigint_ = false;
  bool handles_sigterm_ = false;
  SignalHandlerOptions options_ = SignalHandlerOptions::None;
  std::thread thread_;
};

SignalHandlers & signal_handlers()
{
  // Constructed after the default context (init creates that first), so destroyed before it.
  static SignalHandlers instance;
  return instance;
}

std::vector<std::string> to_vector(int argc, char const * const * argv)
{
  std::vector<std::string> args;
  for (int i = 0; argv != nullptr && i < argc; ++i) {
    args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  }
  return args;
}
}  // namespace

// ---- WakeSignal / WakeSet ----

namespace detail
{
void WakeSignal::notify()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
  }
  cv_.notify_all();
}

uint64_t WakeSignal::generation() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

void WakeSignal::wait_until(uint64_t seen, std::chrono::steady_clock::time_point deadline)
{
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_until(lock, deadline, [this, seen] { return generation_ != seen; });
}

void WakeSet::add(const std::shared_ptr<WakeSignal> & signal)
{
  std::lock_guard<std::mutex> lock(mutex_);
  signals_.push_back(signal);
}

void WakeSet::remove(const WakeSignal * signal)
{
  std::lock_guard<std::mutex> lock(mutex_);
  signals_.erase(std::remove_if(signals_.begin(), signals_.end(),
                                [signal](const std::weak_ptr<WakeSignal> & weak) {
                                  auto locked = weak.lock();
                                  return !locked || locked.get() == signal;
                                }),
                 signals_.end());
}

void WakeSet::notify()
{
  std::vector<std::shared_ptr<WakeSignal>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto & weak : signals_) {
      if (auto signal = weak.lock()) {
        targets.push_back(std::move(signal));
      }
    }
  }
  for (const auto & signal : targets) {
    signal->notify();
  }
}
}  // namespace detail

// ---- InitOptions ----

InitOptions::InitOptions(rcl_allocator_t allocator) : allocator_(allocator) {}
InitOptions::InitOptions(const InitOptions & other) = default;
InitOptions & InitOptions::operator=(const InitOptions & other) = default;
InitOptions::~InitOptions() = default;

// ---- Context ----

Context::Context() : graph_(std::make_shared<detail::Graph>()) {}

Context::~Context()
{
  if (is_valid()) {
    shutdown("context destructor was called while still not shutdown");
  }
}

void Context::init(int argc, char const * const * argv, const rclcpp::InitOptions & init_options)
{
  std::lock_guard<std::mutex> init_lock(init_mutex_);
  if (is_valid()) {
    throw ContextAlreadyInitialized();
  }
  auto parsed = std::make_shared<detail::HostArguments>(
      detail::parse_ros_arguments(to_vector(argc, argv), "failed to initialize rcl"));
  if (!parsed->unknown_ros_args.empty()) {
    throw exceptions::UnknownROSArgsError(std::move(parsed->unknown_ros_args));
  }
  if (parsed->default_log_level >= 0) {
    rcutils_logging_set_default_logger_level(parsed->default_log_level);
  }
  for (const auto & logger_level : parsed->logger_levels) {
    rcutils_logging_set_logger_level(logger_level.first.c_str(), logger_level.second);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    init_options_ = init_options;
    global_arguments_ = parsed;
    shutdown_reason_.clear();
    valid_ = true;
  }
  std::lock_guard<std::mutex> lock(g_contexts_mutex);
  g_contexts.erase(std::remove_if(g_contexts.begin(), g_contexts.end(),
                                  [this](const std::weak_ptr<Context> & weak) {
                                    auto locked = weak.lock();
                                    return !locked || locked.get() == this;
                                  }),
                   g_contexts.end());
  g_contexts.push_back(weak_from_this());
}

bool Context::is_valid() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return valid_;
}

const rclcpp::InitOptions & Context::get_init_options() const { return init_options_; }

rclcpp::InitOptions Context::get_init_options()
{
  std::lock_guard<std::mutex> lock(mutex_);
  return init_options_;
}

size_t Context::get_domain_id() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return init_options_.get_domain_id();
}

std::string Context::shutdown_reason() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdown_reason_;
}

bool Context::shutdown(const std::string & reason)
{
  std::vector<OnShutdownCallback> callbacks;
  std::vector<std::shared_ptr<detail::WakeSignal>> signals;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) {
      return false;
    }
    valid_ = false;
    shutdown_reason_ = reason;
    callbacks = on_shutdown_callbacks_;
    for (const auto & weak : wake_signals_) {
      if (auto signal = weak.lock()) {
        signals.push_back(std::move(signal));
      }
    }
  }
  for (const auto & callback : callbacks) {
    callback();
  }
  interrupt_all_sleep_for();
  for (const auto & signal : signals) {
    signal->notify();
  }
  return true;
}

Context::OnShutdownCallback Context::on_shutdown(OnShutdownCallback callback)
{
  std::lock_guard<std::mutex> lock(mutex_);
  on_shutdown_callbacks_.push_back(callback);
  return callback;
}

std::vector<Context::OnShutdownCallback> Context::get_on_shutdown_callbacks() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return on_shutdown_callbacks_;
}

bool Context::sleep_for(const std::chrono::nanoseconds & nanoseconds)
{
  const auto deadline = std::chrono::steady_clock::now() + nanoseconds;
  std::unique_lock<std::mutex> lock(interrupt_mutex_);
  const uint64_t seen = interrupt_generation_;
  interrupt_cv_.wait_until(lock, deadline, [this, seen] { return interrupt_generation_ != seen; });
  lock.unlock();
  return is_valid();
}

void Context::interrupt_all_sleep_for()
{
  {
    std::lock_guard<std::mutex> lock(interrupt_mutex_);
    ++interrupt_generation_;
  }
  interrupt_cv_.notify_all();
}

std::shared_ptr<const detail::HostArguments> Context::host_global_arguments() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return global_arguments_;
}

void Context::host_register_wake_signal(const std::shared_ptr<detail::WakeSignal> & signal)
{
  std::lock_guard<std::mutex> lock(mutex_);
  wake_signals_.erase(
      std::remove_if(wake_signals_.begin(), wake_signals_.end(),
                     [](const std::weak_ptr<detail::WakeSignal> & weak) { return weak.expired(); }),
      wake_signals_.end());
  wake_signals_.push_back(signal);
}

std::vector<Context::SharedPtr> get_contexts()
{
  std::lock_guard<std::mutex> lock(g_contexts_mutex);
  std::vector<Context::SharedPtr> contexts;
  for (const auto & weak : g_contexts) {
    if (auto context = weak.lock()) {
      contexts.push_back(std::move(context));
    }
  }
  return contexts;
}

namespace contexts
{
DefaultContext::DefaultContext() = default;

DefaultContext::SharedPtr get_global_default_context()
{
  static DefaultContext::SharedPtr default_context = DefaultContext::make_shared();
  return default_context;
}
}  // namespace contexts

// ---- utilities ----

void init(int argc, char const * const * argv, const InitOptions & init_options,
          SignalHandlerOptions signal_handler_options)
{
  contexts::get_global_default_context()->init(argc, argv, init_options);
  install_signal_handlers(signal_handler_options);
}

bool install_signal_handlers(SignalHandlerOptions signal_handler_options)
{
  return signal_handlers().install(signal_handler_options);
}

bool signal_handlers_installed() { return signal_handlers().installed(); }

SignalHandlerOptions get_current_signal_handler_options() { return signal_handlers().options(); }

bool uninstall_signal_handlers() { return signal_handlers().uninstall(); }

std::vector<std::string> init_and_remove_ros_arguments(int argc, char const * const * argv,
                                                       const InitOptions & init_options)
{
  init(argc, argv, init_options);
  return remove_ros_arguments(argc, argv);
}

std::vector<std::string> remove_ros_arguments(int argc, char const * const * argv)
{
  const std::vector<std::string> args = to_vector(argc, argv);
  // Validates like rcl_remove_ros_arguments, which parses the arguments first.
  detail::parse_ros_arguments(args, "failed to parse arguments");
  return detail::strip_ros_arguments(args);
}

bool ok(Context::SharedPtr context)
{
  if (!context) {
    context = contexts::get_global_default_context();
  }
  return context->is_valid();
}

bool shutdown(Context::SharedPtr context, const std::string & reason)
{
  auto default_context = contexts::get_global_default_context();
  if (!context) {
    context = default_context;
  }
  const bool ret = context->shutdown(reason);
  if (context == default_context) {
    uninstall_signal_handlers();
  }
  return ret;
}

void on_shutdown(std::function<void()> callback, Context::SharedPtr context)
{
  if (!context) {
    context = contexts::get_global_default_context();
  }
  context->on_shutdown(std::move(callback));
}

bool sleep_for(const std::chrono::nanoseconds & nanoseconds, Context::SharedPtr context)
{
  if (!context) {
    context = contexts::get_global_default_context();
  }
  return context->sleep_for(nanoseconds);
}

const char * get_c_string(const char * string_in) { return string_in; }
const char * get_c_string(const std::string & string_in) { return string_in.c_str(); }
}  // namespace rclcpp
