#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "veltrax_cv_model/anchor_table.hpp"

namespace veltrax_cv_model
{
namespace
{

AnchorTable with_prefix(std::initializer_list<int32_t> prefix)
{
  AnchorTable table = kDefaultAnchors;
  std::size_t k = 0;
  for (const int32_t value : prefix) table[k++] = value;
  return table;
}

TEST(AnchorTable, ParsesOnlyCommaTerminatedFields)
{
  struct Case
  {
    const char * text;
    AnchorTable expected;
  };
  const Case cases[] = {
      {"", kDefaultAnchors},
      {"1 2 3", kDefaultAnchors},  // no comma: nothing is taken
      {"1,2,3,", with_prefix({1, 2, 3})},
      {"1,2,3", with_prefix({1, 2})},  // the value after the last comma is ignored
      {"10.9, -0.5,", with_prefix({10, 0})},
      {" 7px,8e1,", with_prefix({7, 80})},  // longest numeric prefix, rest of the field ignored
      {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18",
       with_prefix({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17})},
      {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,",
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.text);
    AnchorTable table = kDefaultAnchors;
    parse_anchor_text(c.text, table);
    EXPECT_EQ(table, c.expected);
  }
}

TEST(AnchorTable, RejectsBadTextWithoutTouchingTheTable)
{
  struct Case
  {
    const char * text;
    bool out_of_range;  // else invalid_argument
  };
  const Case cases[] = {
      {"1,x2,", false},
      {"1,,3,", false},  // an empty field has no number
      {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,", false},
      {"1,1e39,", true},  // beyond float
      {"1,3e9,", true},   // beyond int32
      {"1,inf,", true},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.text);
    AnchorTable table = kDefaultAnchors;
    if (c.out_of_range) {
      EXPECT_THROW(parse_anchor_text(c.text, table), std::out_of_range);
    } else {
      EXPECT_THROW(parse_anchor_text(c.text, table), std::invalid_argument);
    }
    EXPECT_EQ(table, kDefaultAnchors);
  }
}

TEST(AnchorTable, StofErrorsCarryTheirOrigin)
{
  AnchorTable table = kDefaultAnchors;
  try {
    parse_anchor_text("4,a,", table);
    FAIL() << "expected std::invalid_argument";
  } catch (const std::invalid_argument & e) {
    EXPECT_NE(std::string(e.what()).find("stof"), std::string::npos);
  }
}

TEST(AnchorTable, FormatsEveryEntryFollowedByCommaAndBlank)
{
  EXPECT_EQ(format_anchor_text(kDefaultAnchors),
            "10, 13, 16, 30, 33, 23, 30, 61, 62, 45, 59, 119, 116, 90, 156, 198, 373, 326, ");
}

}  // namespace
}  // namespace veltrax_cv_model
