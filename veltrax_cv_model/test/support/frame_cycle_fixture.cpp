#include "support/frame_cycle_fixture.hpp"

#include "host_rknn/host_rknn.hpp"

namespace veltrax_cv_model::testing
{

using namespace std::chrono_literals;

std::array<uint8_t, 3> key_colour(int class_id)
{
  const host_rknn::KeyColour c = host_rknn::key_colours().at(class_id);
  return {c.r, c.g, c.b};
}

const FloorBox kObstacle{1.5, 1.9, -0.2, 0.2, 0.4, key_colour(3)};
const FloorBox kBottle{1.0, 1.08, 0.3, 0.38, 0.25, key_colour(4)};
const FloorBox kPerson{1.2, 1.5, -0.75, -0.45, 1.7, key_colour(6)};
const FloorBox kPaper{0.9, 1.1, -0.3, -0.1, 0.001, key_colour(0)};

ForwardCamera cycle_camera1()
{
  ForwardCamera camera;
  camera.frame_id = "camera1_depth_optical_frame";
  camera.height = 0.5;
  return camera;
}

ForwardCamera cycle_camera2()
{
  ForwardCamera camera;
  camera.frame_id = "camera2_depth_optical_frame";
  camera.y = -0.1;
  camera.height = 0.3;
  return camera;
}

void FrameCycleFixture::start(const std::vector<std::string> & extra_args)
{
  std::vector<std::string> args{
      "-p", std::string("rknn_model_path:=") + VELTRAX_MODELS_DIR + "/colour_key_640.yaml",
      "-p", "obj_class_num:=8",
      "-p", "downsample_leaf_size:=0.01",
      "-p", "camera1_min:=0.1",
      "-p", "camera2_min:=0.1"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  ros_ = std::make_unique<veltrax_harness::RosSession>(args);
  node_ = std::make_shared<Yolov5sPredictor>();
  probe_ = std::make_unique<veltrax_harness::Probe>();
  executor_ = std::make_unique<rclcpp::executors::SingleThreadedExecutor>();
  executor_->add_node(node_);
  executor_->add_node(probe_->node);
  ASSERT_TRUE(probe_->wait_for_node());
}

void FrameCycleFixture::TearDown()
{
  executor_.reset();
  node_.reset();
  probe_.reset();
  ros_.reset();
}

void FrameCycleFixture::publish_transforms(bool camera2_too)
{
  tf2_msgs::msg::TFMessage tf;
  tf.transforms.push_back(cycle_camera1().transform());
  if (camera2_too) tf.transforms.push_back(cycle_camera2().transform());
  probe_->tf_static->publish(tf);
}

void FrameCycleFixture::publish_infos()
{
  probe_->info1->publish(cycle_camera1().info());
  probe_->info2->publish(cycle_camera2().info());
}

std::array<RenderedFrame, 2> FrameCycleFixture::render_both(
    const std::vector<FloorBox> & boxes) const
{
  return {render(cycle_camera1(), boxes, rclcpp::Time()),
          render(cycle_camera2(), boxes, rclcpp::Time())};
}

void FrameCycleFixture::publish_frames(std::array<RenderedFrame, 2> frames,
                                       std::array<double, 4> offsets)
{
  // Stamped at publication, as rendering is slow in sanitizer builds.
  const rclcpp::Time now = node_->now();
  auto at = [&](double offset) { return now + rclcpp::Duration::from_seconds(offset); };
  frames[0].color.header.stamp = at(offsets[0]);
  frames[0].depth.header.stamp = at(offsets[1]);
  frames[1].color.header.stamp = at(offsets[2]);
  frames[1].depth.header.stamp = at(offsets[3]);
  probe_->color1->publish(frames[0].color);
  probe_->depth1->publish(frames[0].depth);
  probe_->color2->publish(frames[1].color);
  probe_->depth2->publish(frames[1].depth);
  last_depth1_stamp_ = frames[0].depth.header.stamp;
}

void FrameCycleFixture::publish_images(const std::vector<FloorBox> & boxes,
                                       std::array<double, 4> offsets)
{
  publish_frames(render_both(boxes), offsets);
}

bool FrameCycleFixture::wait_for_outline(std::size_t count)
{
  return veltrax_harness::spin_until(
      *executor_, [&] { return probe_->obstacle_clouds().size() >= count; }, 60s);
}

}  // namespace veltrax_cv_model::testing
