// The probe node: the node's inputs out, its outputs in.
#include "veltrax_harness/harness.hpp"

namespace veltrax_harness
{

Probe::Probe(const std::string & name) : node(std::make_shared<rclcpp::Node>(name))
{
  color1 = node->create_publisher<sensor_msgs::msg::Image>(topics::kColor[0], 10);
  depth1 = node->create_publisher<sensor_msgs::msg::Image>(topics::kDepth[0], 10);
  color2 = node->create_publisher<sensor_msgs::msg::Image>(topics::kColor[1], 10);
  depth2 = node->create_publisher<sensor_msgs::msg::Image>(topics::kDepth[1], 10);
  info1 = node->create_publisher<sensor_msgs::msg::CameraInfo>(topics::kCameraInfo[0], 10);
  info2 = node->create_publisher<sensor_msgs::msg::CameraInfo>(topics::kCameraInfo[1], 10);
  cmd_vel = node->create_publisher<geometry_msgs::msg::Twist>(topics::kCmdVel, 10);
  tf = node->create_publisher<tf2_msgs::msg::TFMessage>(topics::kTf, 100);
  tf_static = node->create_publisher<tf2_msgs::msg::TFMessage>(topics::kTfStatic,
                                                               rclcpp::QoS(100).transient_local());

  // Deep enough for every output of a long demo run; the executor drains it as messages come.
  const rclcpp::QoS keep_all = rclcpp::QoS(10000);
  auto subscribe = [this, &keep_all](const char * topic, auto & list, Output output) {
    using Message = typename std::decay_t<decltype(list)>::value_type;
    subscriptions_.push_back(node->create_subscription<Message>(
        topic, keep_all,
        std::function<void(const Message &)>([this, &list, output](const Message & msg) {
          const auto at = std::chrono::steady_clock::now();
          std::lock_guard<std::mutex> lock(mutex_);
          arrivals_.push_back(Arrival{output, list.size(), at, msg.header.stamp});
          list.push_back(msg);
        })));
  };
  subscribe(topics::kObstacleCloud, obstacle_clouds_, Output::kObstacleCloud);
  subscribe(topics::kTrashes, trashes_, Output::kTrashes);
  subscribe(topics::kPersons, persons_, Output::kPersons);
  subscribe(topics::kOverlay[0], overlays_[0], Output::kOverlay1);
  subscribe(topics::kOverlay[1], overlays_[1], Output::kOverlay2);
  subscribe(topics::kDetectionCloud[0], debug_clouds_[0], Output::kDebugCloud1);
  subscribe(topics::kDetectionCloud[1], debug_clouds_[1], Output::kDebugCloud2);
}

bool Probe::wait_for_node(std::chrono::milliseconds timeout) const
{
  const rclcpp::PublisherBase * inputs[] = {color1.get(),   depth1.get(), color2.get(),
                                            depth2.get(),   info1.get(),  info2.get(),
                                            tf_static.get()};
  const auto matched = [&] {
    for (const rclcpp::PublisherBase * input : inputs) {
      if (input->get_subscription_count() == 0) return false;
    }
    // The outline and the two report topics; the others exist only with draw_result or debug.
    for (std::size_t i = 0; i < 3; ++i) {
      if (subscriptions_[i]->get_publisher_count() == 0) return false;
    }
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!matched()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Probe::publish_camera(int camera, const sensor_msgs::msg::CameraInfo & info,
                           const sensor_msgs::msg::Image & color,
                           const sensor_msgs::msg::Image & depth) const
{
  (camera == 1 ? info1 : info2)->publish(info);
  (camera == 1 ? color1 : color2)->publish(color);
  (camera == 1 ? depth1 : depth2)->publish(depth);
}

std::vector<sensor_msgs::msg::PointCloud2> Probe::obstacle_clouds() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return obstacle_clouds_;
}

std::vector<veltrax_protocol::msg::Trashes> Probe::trashes() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return trashes_;
}

std::vector<veltrax_protocol::msg::Trashes> Probe::persons() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return persons_;
}

std::vector<sensor_msgs::msg::Image> Probe::overlays(int camera) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return overlays_[camera - 1];
}

std::vector<sensor_msgs::msg::PointCloud2> Probe::debug_clouds(int camera) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return debug_clouds_[camera - 1];
}

std::vector<Arrival> Probe::arrivals() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return arrivals_;
}

void Probe::clear()
{
  std::lock_guard<std::mutex> lock(mutex_);
  obstacle_clouds_.clear();
  trashes_.clear();
  persons_.clear();
  for (int camera = 0; camera < 2; ++camera) {
    overlays_[camera].clear();
    debug_clouds_[camera].clear();
  }
  arrivals_.clear();
}

}  // namespace veltrax_harness
