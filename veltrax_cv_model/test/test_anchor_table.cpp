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
      {"2147483520,-2147483648,", with_prefix({2147483520, -2147483647 - 1})},  // int32 limits
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
    bool out_of_range;    // else invalid_argument
    const char * origin;  // in the message
  };
  const Case cases[] = {
      {"1,x2,", false, "stof"},
      {"1,,3,", false, "stof"},  // an empty field has no number
      {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,", false, "more than 18"},
      {"1,1e39,", true, "stof"},  // beyond float
      {"1,inf,", true, "stof"},
      {"1,2147483648,", true, "stof"},   // 2^31: beyond int32
      {"1,-2147483904,", true, "stof"},  // the float below -2^31
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.text);
    AnchorTable table = kDefaultAnchors;
    try {
      parse_anchor_text(c.text, table);
      ADD_FAILURE() << "accepted";
    } catch (const std::out_of_range & e) {
      EXPECT_TRUE(c.out_of_range);
      EXPECT_NE(std::string(e.what()).find(c.origin), std::string::npos) << e.what();
    } catch (const std::invalid_argument & e) {
      EXPECT_FALSE(c.out_of_range);
      EXPECT_NE(std::string(e.what()).find(c.origin), std::string::npos) << e.what();
    }
    EXPECT_EQ(table, kDefaultAnchors);
  }
}

}  // namespace
}  // namespace veltrax_cv_model
