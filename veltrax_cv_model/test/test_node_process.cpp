// The executable as an integrator runs it: start, configuration log, Ctrl-C, bad parameters.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "veltrax_harness/child_process.hpp"

namespace veltrax_cv_model
{
namespace
{

using namespace std::chrono_literals;
using veltrax_harness::ChildProcess;

TEST(NodeProcess, LogsItsConfigurationAndStopsCleanlyOnCtrlCOrSigterm)
{
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    ChildProcess node(VELTRAX_NODE_EXECUTABLE, {"--ros-args", "-p", "draw_result:=true", "-p",
                                                "person_dis_th:=2.7", "-p", "obj_class_num:=8"});
    ASSERT_TRUE(node.wait_for_output("initialize Publisher", 10s)) << node.output();
    // Let it spin a few ticks before the signal.
    node.wait_for_output("No input camera data", 2s);
    node.send_signal(signal);
    EXPECT_EQ(node.wait_for_exit(10s), 0) << node.output();

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

// The ELF machine field of a program file (0 when it is not an ELF file).
std::uint16_t elf_machine(const std::string & path)
{
  std::ifstream file(path, std::ios::binary);
  char header[20] = {};
  file.read(header, sizeof(header));
  if (!file || std::string(header, 4) !=
                   "\x7f"
                   "ELF")
    return 0;
  std::uint16_t machine = 0;
  std::memcpy(&machine, header + 18, sizeof(machine));
  return machine;
}

std::string on_path(const std::string & program)
{
  if (program.find('/') != std::string::npos) return program;
  for (std::stringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : ""); dirs.good();) {
    std::string dir;
    std::getline(dirs, dir, ':');
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
  }
  return program;
}

TEST(NodeProcess, EndsWithAnErrorOnAParameterOfTheWrongType)
{
  ChildProcess node(VELTRAX_NODE_EXECUTABLE, {"--ros-args", "-p", "box_conf_threshold:=1"});
  EXPECT_EQ(node.wait_for_exit(10s), 1) << node.output();
  EXPECT_NE(node.output().find("cannot start: "), std::string::npos) << node.output();
  EXPECT_NE(node.output().find("box_conf_threshold"), std::string::npos) << node.output();

  // A cross-built program must be started through the emulator, never left to a binfmt handler
  // the machine may not have (exit status 127 there): the first program run is then the PC's.
  const std::uint16_t started = elf_machine(on_path(node.command_line().front()));
  EXPECT_NE(started, 0);
  EXPECT_EQ(started == elf_machine(VELTRAX_NODE_EXECUTABLE), !VELTRAX_CROSS_BUILD);
}

}  // namespace
}  // namespace veltrax_cv_model
