// Regression tests for faults the ROS-arguments fuzzer (fuzz/fuzz_ros_args.cpp) found: a
// parameter file whose mapping key is itself a map or a sequence let yaml-cpp's bad-conversion
// exception escape rclcpp::init, a parameter "file" that is a directory let the stream's read
// error escape, instead of the RCLInvalidROSArgsError rcl reports for an unusable file, and a
// node key holding regex syntax reached std::regex (undefined behaviour for a huge repeat
// count).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "rclcpp/rclcpp.hpp"

namespace
{

class ParamsFileKeys : public ::testing::Test
{
protected:
  void TearDown() override { rclcpp::shutdown(); }
};

TEST_F(ParamsFileKeys, NonScalarKeyThrowsInvalidRosArgsWhenAtNodeOrParameterLevel)
{
  struct Case
  {
    const char * name;
    const char * yaml;
  };
  const Case cases[] = {
      {"node_level_map_key", "det:\n  ros__parameters:\n    a: 1\n? {x: 1}\n: {}\n"},
      {"parameter_level_map_key", "det:\n  ros__parameters:\n    ? {d: true}\n    : 1\n"},
      {"parameter_level_sequence_key", "det:\n  ros__parameters:\n    ? [1, 2]\n    : 1\n"},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = ::testing::TempDir() + std::string(c.name) + ".yaml";
    std::ofstream(path) << c.yaml;
    const std::vector<const char *> argv{"prog", "--ros-args", "--params-file", path.c_str()};
    EXPECT_THROW(rclcpp::init(static_cast<int>(argv.size()), argv.data()),
                 rclcpp::exceptions::RCLInvalidROSArgsError);
    EXPECT_FALSE(rclcpp::ok());
  }
}

TEST_F(ParamsFileKeys, ADirectoryAsParameterFileThrowsInvalidRosArgs)
{
  const std::vector<const char *> argv{"prog", "--ros-args", "--params-file", "/"};
  EXPECT_THROW(rclcpp::init(static_cast<int>(argv.size()), argv.data()),
               rclcpp::exceptions::RCLInvalidROSArgsError);
  EXPECT_FALSE(rclcpp::ok());
}

TEST_F(ParamsFileKeys, KeysThatNoNodeNameCanMatchAreIgnored)
{
  const std::string path = ::testing::TempDir() + "odd_keys.yaml";
  std::ofstream(path) << "a{99999999999}:\n  ros__parameters:\n    x: 1\n"
                         "/***:\n  ros__parameters:\n    z: 2\n"
                         "det:\n  ros__parameters:\n    y: 3\n";
  const std::vector<const char *> argv{"prog", "--ros-args", "--params-file", path.c_str()};
  rclcpp::init(static_cast<int>(argv.size()), argv.data());
  const auto node = std::make_shared<rclcpp::Node>(
      "det", rclcpp::NodeOptions().automatically_declare_parameters_from_overrides(true));
  EXPECT_FALSE(node->has_parameter("x"));  // "/***" may match, as rclcpp's regex makes it
  EXPECT_EQ(node->get_parameter("y").as_int(), 3);
}

}  // namespace
