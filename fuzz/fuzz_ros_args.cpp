// ROS command lines: argv from NUL-separated fields of the input (the field "@PARAMS" is
// replaced by the path of a parameter file holding the input's first field), then init, a node
// that declares every override, and shutdown. Exceptions rclcpp documents for malformed
// arguments, parameter files and names are expected; anything else escapes and is reported.
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rclcpp/rclcpp.hpp"
#include "rcutils/logging.h"

namespace
{

void discard_log(const rcutils_log_location_t *, int, const char *, rcutils_time_point_value_t,
                 const char *, va_list *)
{
}

const std::string & params_path()
{
  // libFuzzer may end the process with _Exit, skipping atexit: scripts/fuzz.sh points TMPDIR at
  // the run's scratch folder.
  const char * tmpdir = std::getenv("TMPDIR");
  static const std::string path = std::string(tmpdir != nullptr ? tmpdir : "/tmp") +
                                  "/veltrax_fuzz_params_" +
                                  std::to_string(static_cast<long>(::getpid())) + ".yaml";
  return path;
}

void init_and_build_node(const std::vector<std::string> & args)
{
  std::vector<const char *> argv;
  argv.reserve(args.size());
  for (const std::string & arg : args) {
    argv.push_back(arg.c_str());
  }
  rclcpp::init(static_cast<int>(argv.size()), argv.data(), rclcpp::InitOptions(),
               rclcpp::SignalHandlerOptions::None);
  auto node = std::make_shared<rclcpp::Node>(
      "fuzz_node", rclcpp::NodeOptions().automatically_declare_parameters_from_overrides(true));
  if (!node->has_parameter("use_sim_time")) {
    std::abort();
  }
}

void remove_params_file() { std::remove(params_path().c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  rcutils_logging_set_output_handler(discard_log);
  std::atexit(remove_params_file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, std::size_t size)
{
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      fields.emplace_back();
    } else {
      fields.back().push_back(static_cast<char>(data[i]));
    }
  }
  {
    std::FILE * file = std::fopen(params_path().c_str(), "wb");
    if (file == nullptr) {
      return 0;
    }
    std::fwrite(fields[0].data(), 1, fields[0].size(), file);
    std::fclose(file);
  }
  std::vector<std::string> args{"fuzz_node"};
  for (std::size_t i = 1; i < fields.size(); ++i) {
    args.push_back(fields[i] == "@PARAMS" ? params_path() : fields[i]);
  }

  const int default_level = rcutils_logging_get_default_logger_level();
  try {
    init_and_build_node(args);
  } catch (const rclcpp::exceptions::RCLErrorBase &) {
  } catch (const rclcpp::exceptions::UnknownROSArgsError &) {
  } catch (const rclcpp::exceptions::NameValidationError &) {
  } catch (const rclcpp::exceptions::InvalidParametersException &) {
  } catch (const rclcpp::exceptions::InvalidParameterValueException &) {
  } catch (const rclcpp::exceptions::InvalidParameterTypeException &) {
  } catch (const rclcpp::exceptions::ParameterAlreadyDeclaredException &) {
  } catch (const rclcpp::exceptions::UninitializedStaticallyTypedParameterException &) {
  } catch (const rclcpp::ContextAlreadyInitialized &) {
  } catch (const std::invalid_argument & e) {
    // Humble's time source throws this for a use_sim_time override that is not a bool.
    if (std::string(e.what()) != "Invalid type for parameter 'use_sim_time', should be 'bool'") {
      throw;
    }
  } catch (const std::regex_error &) {
    // Humble turns a parameter file's node key into a regular expression unescaped ("/*" and
    // "/**" become "(/\w+)"), so a key such as "a(" throws this from the Node constructor there
    // too; the stand-in mirrors it.
  }
  rclcpp::shutdown();
  if (rclcpp::ok()) {
    std::abort();
  }
  rcutils_logging_set_default_logger_level(default_level);
  return 0;
}
