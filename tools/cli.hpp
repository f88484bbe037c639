// Argument helpers shared by the command-line tools.
#pragma once

#include <cstdlib>

namespace veltrax_tools
{

/// Parses the whole of `text` as a number; false when anything but a number is there.
inline bool parse_number(const char * text, double & value)
{
  char * end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0';
}

}  // namespace veltrax_tools
