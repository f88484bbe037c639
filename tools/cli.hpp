// Argument handling shared by the command-line tools: flags without a value, options with one.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace veltrax_tools
{

/// Parses the whole of `text` as a number; false when anything but a number is there.
inline bool parse_number(const char * text, double & value)
{
  char * end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0';
}

/// Takes an option's value; false when the value is not acceptable.
using ValueHandler = std::function<bool(const char * value)>;

/// A tool's command line: what each flag sets and what each option does with its value.
struct OptionTable
{
  std::map<std::string, std::function<void()>> flags;
  std::map<std::string, ValueHandler> options;
  /// Takes an argument that does not start with "--"; without one such arguments are refused.
  ValueHandler positional;
};

/// Reads `argv` against `table`. Returns the exit status to end with (0 after -h or --help; 2
/// after an unknown option, a missing or unacceptable value, each with `usage` printed), or
/// nothing when the tool goes on.
inline std::optional<int> parse_command_line(const char * tool, int argc, char ** argv,
                                             const OptionTable & table, void (*usage)())
{
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    }
    if (const auto flag = table.flags.find(arg); flag != table.flags.end()) {
      flag->second();
      continue;
    }
    if (table.positional && arg.rfind("--", 0) != 0) {
      if (table.positional(arg.c_str())) {
        continue;
      }
      std::fprintf(stderr, "%s: unexpected argument: %s\n", tool, arg.c_str());
      usage();
      return 2;
    }
    const auto option = table.options.find(arg);
    if (option == table.options.end()) {
      std::fprintf(stderr, "%s: unknown option: %s\n", tool, arg.c_str());
    } else if (i + 1 >= argc) {
      std::fprintf(stderr, "%s: %s needs a value\n", tool, arg.c_str());
    } else if (const char * value = argv[++i]; !option->second(value)) {
      std::fprintf(stderr, "%s: bad value: %s %s\n", tool, arg.c_str(), value);
    } else {
      continue;
    }
    usage();
    return 2;
  }
  return std::nullopt;
}

/// The value as it is.
inline ValueHandler text_to(std::string & target)
{
  return [&target](const char * value) {
    target = value;
    return true;
  };
}

/// Appends the value: for options that may be given several times.
inline ValueHandler appended_to(std::vector<std::string> & target)
{
  return [&target](const char * value) {
    target.emplace_back(value);
    return true;
  };
}

/// A number within [min, max], converted to `Number` (integers are truncated).
template <typename Number>
ValueHandler number_to(Number & target, double min = -std::numeric_limits<double>::max(),
                       double max = std::numeric_limits<double>::max())
{
  return [&target, min, max](const char * value) {
    double number = 0.0;
    if (!parse_number(value, number) || !(number >= min && number <= max)) {
      return false;
    }
    target = static_cast<Number>(number);
    return true;
  };
}

/// A whole number within [min, max] ("3.5" is refused, not truncated): counts, seeds, indices.
template <typename Number>
ValueHandler whole_number_to(Number & target, double min, double max)
{
  return [&target, min, max](const char * value) {
    double number = 0.0;
    return parse_number(value, number) && number == std::floor(number) &&
           number_to(target, min, max)(value);
  };
}

/// A camera number: exactly 1 or 2 (so "1.5" or "2x" is refused, not rounded).
inline ValueHandler camera_to(int & camera)
{
  return [&camera](const char * value) {
    double number = 0.0;
    if (!parse_number(value, number) || (number != 1.0 && number != 2.0)) {
      return false;
    }
    camera = static_cast<int>(number);
    return true;
  };
}

/// The smallest positive double: the lower bound of options that must be above zero.
inline constexpr double kAboveZero = std::numeric_limits<double>::denorm_min();

}  // namespace veltrax_tools
