// The YOLO anchor table and its text form in the `anchors` parameter.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace veltrax_cv_model
{

/// Anchor sizes in model-input pixels: for output head i (stride 8, 16, 32) and anchor a (0..2),
/// width = table[6i + 2a] and height = table[6i + 2a + 1].
using AnchorTable = std::array<int32_t, 18>;

/// The anchors the YOLOv5s models are trained with.
inline constexpr AnchorTable kDefaultAnchors{10, 13, 16,  30,  33, 23,  30,  61,  62,
                                             45, 59, 119, 116, 90, 156, 198, 373, 326};

/// Parses the comma-terminated anchor list of the `anchors` parameter into `anchors`.
///
/// Only fields followed by a comma count: text after the last comma is ignored, so a list
/// without a trailing comma loses its last value, and a text without a comma changes nothing.
/// Each field is read as std::stof reads it (leading blanks skipped, longest numeric prefix,
/// the rest of the field ignored) and truncated toward zero. Field k fills entry k; entries past
/// the parsed fields keep their values.
///
/// All fields are converted before any entry is written, so on failure `anchors` is unchanged.
/// @throws std::invalid_argument ("stof") for a field without a numeric prefix, or when the text
///         holds more than 18 comma-terminated fields.
/// @throws std::out_of_range ("stof") for a value outside the float range, or a value outside
///         the int32 range (which cannot be an anchor size).
void parse_anchor_text(const std::string & text, AnchorTable & anchors);

/// The table as the start-up log prints it: every entry followed by ", ".
std::string format_anchor_text(const AnchorTable & anchors);

}  // namespace veltrax_cv_model
