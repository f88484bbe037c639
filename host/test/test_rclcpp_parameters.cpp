// Parameter behaviour of the host rclcpp: command-line typing, parameter files, override
// precedence and the exceptions the node's parameter reading depends on.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "rclcpp/rclcpp.hpp"

namespace
{
void init_with(const std::vector<std::string> & args)
{
  std::vector<const char *> argv{"prog"};
  for (const auto & arg : args) {
    argv.push_back(arg.c_str());
  }
  rclcpp::init(static_cast<int>(argv.size()), argv.data());
}

std::string write_file(const std::string & name, const std::string & text)
{
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

rclcpp::NodeOptions auto_declare()
{
  return rclcpp::NodeOptions().automatically_declare_parameters_from_overrides(true);
}

class Parameters : public ::testing::Test
{
protected:
  void TearDown() override { rclcpp::shutdown(); }
};

TEST_F(Parameters, CommandLineValuesAreTypedLikeRcl)
{
  struct Case
  {
    std::string value;
    rclcpp::ParameterType type;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"true", rclcpp::PARAMETER_BOOL, "true"},
      {"Off", rclcpp::PARAMETER_BOOL, "false"},
      {"y", rclcpp::PARAMETER_BOOL, "true"},
      {"42", rclcpp::PARAMETER_INTEGER, "42"},
      {"0x10", rclcpp::PARAMETER_INTEGER, "16"},
      {"010", rclcpp::PARAMETER_INTEGER, "8"},
      {"-3", rclcpp::PARAMETER_INTEGER, "-3"},
      {"1.0", rclcpp::PARAMETER_DOUBLE, "1.000000"},
      {"1e3", rclcpp::PARAMETER_DOUBLE, "1000.000000"},
      {"'7'", rclcpp::PARAMETER_STRING, "7"},
      {"\"true\"", rclcpp::PARAMETER_STRING, "true"},
      {"abc", rclcpp::PARAMETER_STRING, "abc"},
      {"1,2,", rclcpp::PARAMETER_STRING, "1,2,"},
      {"[1, 2]", rclcpp::PARAMETER_INTEGER_ARRAY, "[1, 2]"},
      {"[1.5, 2.0]", rclcpp::PARAMETER_DOUBLE_ARRAY, "[1.5, 2]"},
      {"[a, 'b']", rclcpp::PARAMETER_STRING_ARRAY, "[a, b]"},
      {"[true, no]", rclcpp::PARAMETER_BOOL_ARRAY, "[true, false]"},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.value);
    init_with({"--ros-args", "-p", "x:=" + c.value});
    auto node = std::make_shared<rclcpp::Node>("n", auto_declare());
    const rclcpp::Parameter p = node->get_parameter("x");
    EXPECT_EQ(p.get_type(), c.type);
    EXPECT_EQ(p.value_to_string(), c.text);
    node.reset();
    rclcpp::shutdown();
  }
  init_with({"--ros-args", "-p", "inf:=.inf", "-p", "ninf:=-.Inf", "-p", "nan:=.nan"});
  auto node = std::make_shared<rclcpp::Node>("n", auto_declare());
  EXPECT_TRUE(std::isinf(node->get_parameter("inf").as_double()));
  EXPECT_LT(node->get_parameter("ninf").as_double(), 0.0);
  EXPECT_TRUE(std::isnan(node->get_parameter("nan").as_double()));
}

TEST_F(Parameters, TypedGetReturnsFalseWhenUnsetAndThrowsNamedErrorOnMismatch)
{
  init_with({"--ros-args", "-p", "box_conf_threshold:=1", "-p", "debug:=true", "-p",
             "/ground_removal/rMin:=0.5", "-p", "batch:=2"});
  auto node = std::make_shared<rclcpp::Node>("Yolov5sPredictor", auto_declare());

  float unset = 0.4f;
  EXPECT_FALSE(node->get_parameter("nms_threshold", unset));
  EXPECT_FLOAT_EQ(unset, 0.4f);
  EXPECT_FALSE(node->has_parameter("nms_threshold"));

  bool debug = false;
  EXPECT_TRUE(node->get_parameter("debug", debug));
  EXPECT_TRUE(debug);
  double r_min = 0.0;
  EXPECT_TRUE(node->get_parameter("/ground_removal/rMin", r_min));
  EXPECT_DOUBLE_EQ(r_min, 0.5);
  uint8_t small = 0;  // any integral type reads an INTEGER
  EXPECT_TRUE(node->get_parameter("batch", small));
  EXPECT_EQ(small, 2);

  float threshold = 0.4f;
  try {
    node->get_parameter("box_conf_threshold", threshold);
    FAIL() << "an integer must not be read as a double";
  } catch (const rclcpp::exceptions::InvalidParameterTypeException & e) {
    EXPECT_STREQ(e.what(),
                 "parameter 'box_conf_threshold' has invalid type: expected [double] got "
                 "[integer]");
  }
  EXPECT_FLOAT_EQ(threshold, 0.4f);
  int as_int = 0;
  EXPECT_THROW(node->get_parameter("debug", as_int),
               rclcpp::exceptions::InvalidParameterTypeException);
  // as_*() throws the unwrapped exception.
  try {
    node->get_parameter("debug").as_double();
    FAIL();
  } catch (const rclcpp::ParameterTypeException & e) {
    EXPECT_STREQ(e.what(), "expected [double] got [bool]");
  }
  EXPECT_THROW(node->get_parameter("nms_threshold"),
               rclcpp::exceptions::ParameterNotDeclaredException);
  EXPECT_EQ(node->get_parameter_or("nms_threshold", 0.3), 0.3);
}

TEST_F(Parameters, DeclarationTakesOverridesAndEnforcesStaticTypes)
{
  init_with({"--ros-args", "-p", "a:=5", "-p", "b:=hello"});
  auto node = std::make_shared<rclcpp::Node>("n");
  EXPECT_TRUE(node->has_parameter("use_sim_time"));
  EXPECT_FALSE(node->get_parameter("use_sim_time").as_bool());
  EXPECT_FALSE(node->has_parameter("a"));  // not declared without the option

  EXPECT_EQ(node->declare_parameter<int>("a", 1), 5);
  EXPECT_EQ(node->declare_parameter("c", 2.5), 2.5);
  try {
    node->declare_parameter<double>("b", 1.0);
    FAIL();
  } catch (const rclcpp::exceptions::InvalidParameterTypeException & e) {
    EXPECT_STREQ(e.what(),
                 "parameter 'b' has invalid type: Wrong parameter type, parameter {b} is of type "
                 "{double}, setting it to {string} is not allowed.");
  }
  try {
    node->declare_parameter<int>("a", 1);
    FAIL();
  } catch (const rclcpp::exceptions::ParameterAlreadyDeclaredException & e) {
    EXPECT_STREQ(e.what(), "parameter 'a' has already been declared");
  }
  EXPECT_THROW(node->declare_parameter<int>("unset_static"),
               rclcpp::exceptions::UninitializedStaticallyTypedParameterException);
  EXPECT_THROW(node->get_parameter("unset_static"),
               rclcpp::exceptions::ParameterUninitializedException);

  EXPECT_FALSE(node->set_parameter(rclcpp::Parameter("c", 3)).successful);
  EXPECT_TRUE(node->set_parameter(rclcpp::Parameter("c", 3.5)).successful);
  EXPECT_EQ(node->get_parameter("c").as_double(), 3.5);
}

TEST_F(Parameters, ParamsFileKeysMatchByNameAndWildcards)
{
  const std::string file = write_file("keys.yaml", R"(
/**:
  ros__parameters:
    everywhere: 1
det:
  ros__parameters:
    conf: 0.25
    nested:
      value: 3
      list: [1, 2, 3]
/ns/*:
  ros__parameters:
    in_ns: true
other:
  ros__parameters:
    foreign: 1
)");
  init_with({"--ros-args", "--params-file", file});
  auto root = std::make_shared<rclcpp::Node>("det", auto_declare());
  EXPECT_EQ(root->get_parameter("everywhere").as_int(), 1);
  EXPECT_EQ(root->get_parameter("conf").as_double(), 0.25);
  EXPECT_EQ(root->get_parameter("nested.value").as_int(), 3);
  EXPECT_EQ(root->get_parameter("nested.list").as_integer_array(), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_FALSE(root->has_parameter("foreign"));
  EXPECT_FALSE(root->has_parameter("in_ns"));

  // A key without a namespace does not match a node inside one.
  auto namespaced = std::make_shared<rclcpp::Node>("det", "ns", auto_declare());
  EXPECT_TRUE(namespaced->get_parameter("in_ns").as_bool());
  EXPECT_FALSE(namespaced->has_parameter("conf"));
  EXPECT_EQ(namespaced->get_parameter("everywhere").as_int(), 1);
}

TEST_F(Parameters, PrecedenceFollowsFirstAppearanceOfNodeKeysThenLocalThenOverrides)
{
  const std::string file = write_file("precedence.yaml", R"(
/**:
  ros__parameters:
    x: 1
    y: 1
det:
  ros__parameters:
    x: 2
)");
  // -p x:=3 lands under "/**", a key that appeared before "det": the file's det entry wins.
  // -p y:=3 overwrites the "/**" value in place.
  init_with({"--ros-args", "--params-file", file, "-p", "x:=3", "-p", "y:=3", "-p", "det:z:=4",
             "--", "not-a-ros-arg"});
  auto node = std::make_shared<rclcpp::Node>("det", auto_declare());
  EXPECT_EQ(node->get_parameter("x").as_int(), 2);
  EXPECT_EQ(node->get_parameter("y").as_int(), 3);
  EXPECT_EQ(node->get_parameter("z").as_int(), 4);

  auto local = std::make_shared<rclcpp::Node>(
      "det2", auto_declare()
                  .arguments({"--ros-args", "-p", "y:=5", "-p", "w:=5"})
                  .append_parameter_override("w", 6));
  EXPECT_EQ(local->get_parameter("y").as_int(), 5);  // local args beat global
  EXPECT_EQ(local->get_parameter("w").as_int(), 6);  // parameter_overrides beat both

  auto isolated = std::make_shared<rclcpp::Node>("det", auto_declare().use_global_arguments(false));
  EXPECT_FALSE(isolated->has_parameter("x"));
}

TEST_F(Parameters, MalformedArgumentsThrowRclcppExceptions)
{
  EXPECT_THROW(init_with({"--ros-args", "-p", "no_separator"}),
               rclcpp::exceptions::RCLInvalidROSArgsError);
  EXPECT_FALSE(rclcpp::ok());
  EXPECT_THROW(init_with({"--ros-args", "--params-file", "/nonexistent/file.yaml"}),
               rclcpp::exceptions::RCLInvalidROSArgsError);
  const std::string bad = write_file("bad.yaml", "det:\n  x: 1\n");
  EXPECT_THROW(init_with({"--ros-args", "--params-file", bad}),
               rclcpp::exceptions::RCLInvalidROSArgsError);
  try {
    init_with({"--ros-args", "--bogus", "x:=1"});
    FAIL();
  } catch (const rclcpp::exceptions::UnknownROSArgsError & e) {
    EXPECT_STREQ(e.what(), "found unknown ROS arguments: '--bogus', 'x:=1'");
  }
  EXPECT_FALSE(rclcpp::ok());
  // Outside --ros-args nothing is parsed.
  init_with({"-p", "x:=1", "--bogus"});
  EXPECT_TRUE(rclcpp::ok());
  EXPECT_THROW(init_with({}), rclcpp::ContextAlreadyInitialized);
  const char * argv[] = {"prog", "a", "--ros-args", "-p", "x:=1", "--", "b"};
  EXPECT_EQ(rclcpp::remove_ros_arguments(7, argv), (std::vector<std::string>{"prog", "a", "b"}));
}

TEST_F(Parameters, NodeConstructionChecksContextAndNames)
{
  try {
    rclcpp::Node node("n");
    FAIL();
  } catch (const rclcpp::exceptions::RCLError & e) {
    EXPECT_EQ(
        std::string(e.what()).rfind(
            "failed to initialize rcl node: the given context is not valid, either rcl_init() "
            "was not called or rcl_shutdown() was called., at ",
            0),
        0u);
  }
  init_with({});
  EXPECT_THROW(rclcpp::Node("1abc"), rclcpp::exceptions::InvalidNodeNameError);
  EXPECT_THROW(rclcpp::Node("a-b"), rclcpp::exceptions::InvalidNodeNameError);
  EXPECT_THROW(rclcpp::Node("a", "/ns/"), rclcpp::exceptions::InvalidNamespaceError);
  rclcpp::Node node("det", "ns/sub");
  EXPECT_STREQ(node.get_namespace(), "/ns/sub");
  EXPECT_STREQ(node.get_fully_qualified_name(), "/ns/sub/det");
  EXPECT_STREQ(node.get_logger().get_name(), "ns.sub.det");
  rclcpp::shutdown();
  EXPECT_THROW(rclcpp::Node("late"), rclcpp::exceptions::RCLError);
}
}  // namespace
