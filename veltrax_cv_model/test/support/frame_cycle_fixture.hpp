// A Yolov5sPredictor with the colour-key host model, a probe node and both cameras of a box
// scene on one executor: whole frame cycles through the in-process graph.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/box_scene.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_cv_model::testing
{

/// Key colour of `class_id` in the host runtime's colour-key backend.
std::array<uint8_t, 3> key_colour(int class_id);

// Objects painted in their class key colours, so the host runtime detects them.
extern const FloorBox kObstacle;
extern const FloorBox kBottle;
extern const FloorBox kPerson;
extern const FloorBox kPaper;

/// Camera 1 looks forward from 0.5 m; camera 2 a little to the right and lower.
ForwardCamera cycle_camera1();
ForwardCamera cycle_camera2();

class FrameCycleFixture : public ::testing::Test
{
protected:
  /// Builds the node (colour-key model, 1 cm leaf, camera minima 0.1 m, then `extra_args`).
  void start(const std::vector<std::string> & extra_args = {});
  void TearDown() override;

  void publish_transforms(bool camera2_too = true);
  void publish_infos();
  /// Both cameras' renderings of `boxes`.
  std::array<RenderedFrame, 2> render_both(const std::vector<FloorBox> & boxes) const;
  /// Publishes colour 1, depth 1, colour 2, depth 2 of `frames`, stamped now + `offsets` (s).
  void publish_frames(std::array<RenderedFrame, 2> frames, std::array<double, 4> offsets = {});
  /// Both cameras' images of `boxes`, stamped now + the given offsets (seconds).
  void publish_images(const std::vector<FloorBox> & boxes, std::array<double, 4> offsets = {});
  bool wait_for_outline(std::size_t count = 1);

  std::unique_ptr<veltrax_harness::RosSession> ros_;
  std::shared_ptr<Yolov5sPredictor> node_;
  std::unique_ptr<veltrax_harness::Probe> probe_;
  /// Made by start(): an executor needs the initialised context.
  std::unique_ptr<rclcpp::executors::SingleThreadedExecutor> executor_;
  /// Stamp of the camera 1 depth image publish_frames sent last.
  builtin_interfaces::msg::Time last_depth1_stamp_;
};

}  // namespace veltrax_cv_model::testing
