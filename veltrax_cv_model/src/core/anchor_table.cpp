#include "veltrax_cv_model/anchor_table.hpp"

#include <cmath>
#include <stdexcept>
#include <vector>

namespace veltrax_cv_model
{

void parse_anchor_text(const std::string & text, AnchorTable & anchors)
{
  std::vector<int32_t> values;
  std::string::size_type field_start = 0;
  for (auto comma = text.find(','); comma != std::string::npos;
       field_start = comma + 1, comma = text.find(',', field_start)) {
    if (values.size() == anchors.size()) {
      throw std::invalid_argument("anchors: more than " + std::to_string(anchors.size()) +
                                  " comma-terminated values");
    }
    const float value = std::stof(text.substr(field_start, comma - field_start));
    const float truncated = std::trunc(value);
    // Outside this range the cast to int32 would be undefined; no anchor is that large.
    if (!(truncated >= -2147483648.0f && truncated < 2147483648.0f)) {
      throw std::out_of_range("stof: anchor value outside the int32 range");
    }
    values.push_back(static_cast<int32_t>(truncated));
  }
  for (std::size_t k = 0; k < values.size(); ++k) {
    anchors[k] = values[k];
  }
}

std::string format_anchor_text(const AnchorTable & anchors)
{
  std::string text;
  for (const int32_t value : anchors) {
    text += std::to_string(value) + ", ";
  }
  return text;
}

}  // namespace veltrax_cv_model
