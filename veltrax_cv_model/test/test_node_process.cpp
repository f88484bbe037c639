// The executable as an integrator runs it: start, configuration log, Ctrl-C, bad parameters.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include "support/process.hpp"

namespace veltrax_cv_model
{
namespace
{

using namespace std::chrono_literals;
using testing::ChildProcess;

TEST(NodeProcess, LogsItsConfigurationAndStopsCleanlyOnCtrlC)
{
  ChildProcess node(VELTRAX_NODE_EXECUTABLE, {"--ros-args", "-p", "draw_result:=true", "-p",
                                              "person_dis_th:=2.7", "-p", "obj_class_num:=8"});
  ASSERT_TRUE(node.wait_for_output("initialize Publisher", 10s)) << node.output();
  // Let it spin a few ticks before the interrupt.
  node.wait_for_output("No input camera data", 2s);
  node.send_signal(SIGINT);
  EXPECT_EQ(node.wait_for_exit(1s), 0) << node.output();

  const std::string & out = node.output();
  const auto draw = out.find("draw_results = 1");
  const auto person = out.find("person_dis_th = 2\n");
  const auto anchors = out.find(
      "anchors = 10, 13, 16, 30, 33, 23, 30, 61, 62, 45, 59, 119, 116, 90, 156, 198, "
      "373, 326, ");
  ASSERT_NE(draw, std::string::npos) << out;
  ASSERT_NE(person, std::string::npos) << out;
  ASSERT_NE(anchors, std::string::npos) << out;
  EXPECT_LT(draw, person);
  EXPECT_LT(person, anchors);
}

TEST(NodeProcess, StopsCleanlyOnCtrlCDuringStartUp)
{
  // Moments from process start to the first ticks: loading, rclcpp::init, parameters, model.
  // Before main() installs its handlers the default action (status 130) is all there is.
  for (int delay_ms = 0; delay_ms <= 120; delay_ms += 6) {
    SCOPED_TRACE(delay_ms);
    ChildProcess node(VELTRAX_NODE_EXECUTABLE, {"--ros-args", "-p", "obj_class_num:=8"});
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    node.send_signal(SIGINT);
    const int status = node.wait_for_exit(5s);
    if (status == 128 + SIGINT) {
      EXPECT_TRUE(node.output().empty()) << node.output();
    } else {
      EXPECT_EQ(status, 0) << node.output();
    }
  }
}

TEST(NodeProcess, EndsWithAnErrorOnAParameterOfTheWrongType)
{
  ChildProcess node(VELTRAX_NODE_EXECUTABLE, {"--ros-args", "-p", "box_conf_threshold:=1"});
  const int status = node.wait_for_exit(10s);
  EXPECT_NE(status, 0);
  EXPECT_NE(status, -1);
  EXPECT_NE(node.output().find("box_conf_threshold"), std::string::npos) << node.output();
}

TEST(NodeProcess, StopsOnSigtermToo)
{
  ChildProcess node(VELTRAX_NODE_EXECUTABLE, {});
  ASSERT_TRUE(node.wait_for_output("initialize Publisher", 10s)) << node.output();
  node.send_signal(SIGTERM);
  EXPECT_EQ(node.wait_for_exit(1s), 0) << node.output();
}

}  // namespace
}  // namespace veltrax_cv_model
