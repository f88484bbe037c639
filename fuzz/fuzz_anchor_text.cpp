// The `anchors` parameter text: any text either parses or throws the documented exceptions
// with the table untouched; a parsed table survives its own start-up log text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "veltrax_cv_model/anchor_table.hpp"

namespace vcm = veltrax_cv_model;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char *>(data), size);
  vcm::AnchorTable table = vcm::kDefaultAnchors;
  try {
    vcm::parse_anchor_text(text, table);
  } catch (const std::invalid_argument &) {
    if (table != vcm::kDefaultAnchors) {
      std::abort();
    }
    return 0;
  } catch (const std::out_of_range &) {
    if (table != vcm::kDefaultAnchors) {
      std::abort();
    }
    return 0;
  }

  // Only comma-terminated fields write entries; the rest keep the defaults.
  const auto fields = static_cast<std::size_t>(std::count(text.begin(), text.end(), ','));
  if (fields > table.size()) {
    std::abort();
  }
  for (std::size_t k = fields; k < table.size(); ++k) {
    if (table[k] != vcm::kDefaultAnchors[k]) {
      std::abort();
    }
  }

  vcm::AnchorTable reparsed{};
  vcm::parse_anchor_text(vcm::format_anchor_text(table), reparsed);
  if (reparsed != table) {
    std::abort();
  }
  return 0;
}
