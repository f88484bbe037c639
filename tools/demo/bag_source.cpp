// Replay of a recording's node inputs through the drive stage.
#include "demo/bag_source.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "bag/compressed_image.hpp"
#include "bag/ros_messages.hpp"
#include "scene/scene.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_demo
{

namespace
{

namespace topics = veltrax_harness::topics;
using veltrax_bag::BagError;
using veltrax_bag::BagMessage;

constexpr const char * kImageType = "sensor_msgs/msg/Image";
constexpr const char * kCompressedType = "sensor_msgs/msg/CompressedImage";
constexpr const char * kCameraInfoType = "sensor_msgs/msg/CameraInfo";
constexpr const char * kTfType = "tf2_msgs/msg/TFMessage";
constexpr const char * kTwistType = "geometry_msgs/msg/Twist";
// Frames of a few recent instants are enough to place an image: the cameras' streams interleave
// by a frame or two at most.
constexpr std::size_t kRecentFrames = 8;
constexpr auto kBarRefresh = std::chrono::milliseconds(100);
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

struct InputTopic
{
  const char * name;
  const char * type;  // the type a non-image input must have
  NodeInput input;
  bool image;
};

const InputTopic kInputs[] = {
    {topics::kColor[0], kImageType, NodeInput::kColor1, true},
    {topics::kColor[1], kImageType, NodeInput::kColor2, true},
    {topics::kDepth[0], kImageType, NodeInput::kDepth1, true},
    {topics::kDepth[1], kImageType, NodeInput::kDepth2, true},
    {topics::kCameraInfo[0], kCameraInfoType, NodeInput::kInfo1, false},
    {topics::kCameraInfo[1], kCameraInfoType, NodeInput::kInfo2, false},
    {topics::kTf, kTfType, NodeInput::kTf, false},
    {topics::kTfStatic, kTfType, NodeInput::kTfStatic, false},
    {topics::kCmdVel, kTwistType, NodeInput::kCmdVel, false},
};

bool ends_with(const std::string & text, const std::string & suffix)
{
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The image topic a compressed transport topic belongs to ("" when the name is not one).
std::string transport_base(const std::string & name)
{
  for (const std::string suffix : {"/compressed", "/compressedDepth"}) {
    if (ends_with(name, suffix) && name.size() > suffix.size()) {
      return name.substr(0, name.size() - suffix.size());
    }
  }
  return "";
}

std::map<std::string, std::string> parse_remaps(const std::vector<std::string> & remaps)
{
  std::map<std::string, std::string> renames;
  for (const std::string & remap : remaps) {
    const std::size_t separator = remap.find(":=");
    if (separator == std::string::npos || separator == 0 || separator + 2 == remap.size()) {
      throw std::runtime_error("--remap \"" + remap + "\" is not FROM:=TO");
    }
    renames[remap.substr(0, separator)] = remap.substr(separator + 2);
  }
  return renames;
}

bool is_image(NodeInput input)
{
  return input == NodeInput::kColor1 || input == NodeInput::kColor2 ||
         input == NodeInput::kDepth1 || input == NodeInput::kDepth2;
}

int camera_index(NodeInput input)
{
  return input == NodeInput::kColor2 || input == NodeInput::kDepth2 || input == NodeInput::kInfo2
             ? 1
             : 0;
}

std::int64_t nanoseconds(const veltrax_bag::Header & h)
{
  return static_cast<std::int64_t>(h.stamp_sec) * 1000000000 + h.stamp_nanosec;
}

std::string source_of(const TopicRoute & route, const BagMessage & message)
{
  return route.recorded + " at " + std::to_string(message.receive_time_ns) + " ns";
}

// rclcpp refuses a time before 1970, which only a damaged stamp becomes.
builtin_interfaces::msg::Time stamp_at(std::int64_t ns, const std::string & source)
{
  if (ns < 0) {
    throw BagError(source + ": header stamp lies too far before the recording to replay");
  }
  builtin_interfaces::msg::Time stamp;
  stamp.sec = static_cast<std::int32_t>(ns / 1000000000);
  stamp.nanosec = static_cast<std::uint32_t>(ns % 1000000000);
  return stamp;
}

std_msgs::msg::Header header_of(const ReplayClock & clock, const veltrax_bag::Header & h,
                                const std::string & source)
{
  std_msgs::msg::Header header;
  header.stamp = stamp_at(clock.stamp_ns(nanoseconds(h)), source);
  header.frame_id = h.frame_id;
  return header;
}

struct RecordedImage
{
  sensor_msgs::msg::Image image;  ///< stamp not set
  std::int64_t stamp_ns{0};       ///< as recorded
};

RecordedImage image_message(const TopicRoute & route, const BagMessage & message)
{
  const veltrax_bag::ByteView bytes{message.serialized.data(), message.serialized.size()};
  const std::string source = source_of(route, message);
  if (route.compressed) {
    const veltrax_bag::CompressedImage compressed =
        veltrax_bag::decode_compressed_image(bytes, source);
    const veltrax_bag::DecodedImage decoded =
        veltrax_bag::decode_compressed_pixels(compressed, source);
    return {veltrax_harness::image(decoded.pixels, decoded.encoding, compressed.header.frame_id,
                                   rclcpp::Time(0)),
            nanoseconds(compressed.header)};
  }
  veltrax_bag::Image recorded = veltrax_bag::decode_image(bytes, source);
  RecordedImage out;
  sensor_msgs::msg::Image & image = out.image;
  image.header.frame_id = recorded.header.frame_id;
  image.height = recorded.height;
  image.width = recorded.width;
  image.encoding = recorded.encoding;
  image.is_bigendian = recorded.is_bigendian ? 1 : 0;
  image.step = recorded.step;
  image.data = std::move(recorded.data);
  out.stamp_ns = nanoseconds(recorded.header);
  return out;
}

sensor_msgs::msg::CameraInfo camera_info_message(const ReplayClock & clock,
                                                 const veltrax_bag::CameraInfo & recorded,
                                                 const std::string & source)
{
  sensor_msgs::msg::CameraInfo info;
  info.header = header_of(clock, recorded.header, source);
  info.height = recorded.height;
  info.width = recorded.width;
  info.distortion_model = recorded.distortion_model;
  info.d = recorded.d;
  info.k = recorded.k;
  info.r = recorded.r;
  info.p = recorded.p;
  info.binning_x = recorded.binning_x;
  info.binning_y = recorded.binning_y;
  info.roi.x_offset = recorded.roi_x_offset;
  info.roi.y_offset = recorded.roi_y_offset;
  info.roi.height = recorded.roi_height;
  info.roi.width = recorded.roi_width;
  info.roi.do_rectify = recorded.roi_do_rectify;
  return info;
}

Eigen::Isometry3d isometry_of(const veltrax_bag::TransformStamped & t)
{
  Eigen::Isometry3d transform = Eigen::Isometry3d::Identity();
  transform.linear() = Eigen::Quaterniond(t.rotation_xyzw[3], t.rotation_xyzw[0],
                                          t.rotation_xyzw[1], t.rotation_xyzw[2])
                           .normalized()
                           .toRotationMatrix();
  transform.translation() = Eigen::Vector3d(t.translation.x, t.translation.y, t.translation.z);
  return transform;
}

tf2_msgs::msg::TFMessage tf_message(const ReplayClock & clock,
                                    const std::vector<veltrax_bag::TransformStamped> & recorded,
                                    const std::string & source)
{
  tf2_msgs::msg::TFMessage tf;
  for (const veltrax_bag::TransformStamped & t : recorded) {
    tf.transforms.push_back(veltrax_harness::transform(isometry_of(t), t.header.frame_id,
                                                       t.child_frame_id, rclcpp::Time(0)));
    tf.transforms.back().header.stamp = stamp_at(clock.stamp_ns(nanoseconds(t.header)), source);
  }
  return tf;
}

void print_progress(bool tty, double done_s, double total_s, int frames,
                    const ReceivedCounts & counts)
{
  if (tty) {
    constexpr int kBarWidth = 30;
    const double share = total_s > 0.0 ? std::clamp(done_s / total_s, 0.0, 1.0) : 1.0;
    const int filled = static_cast<int>(std::lround(share * kBarWidth));
    std::printf("\rrun_demo: [%s%s] %.1f/%.1f s, %d frames, %zu outlines, %zu reports",
                std::string(static_cast<std::size_t>(filled), '#').c_str(),
                std::string(static_cast<std::size_t>(kBarWidth - filled), '-').c_str(), done_s,
                total_s, frames, counts.outlines, counts.reports);
  } else {
    std::printf("run_demo: %.1f/%.1f s replayed, %d frames, %zu outlines, %zu reports\n", done_s,
                total_s, frames, counts.outlines, counts.reports);
  }
  std::fflush(stdout);
}

}  // namespace

std::vector<TopicRoute> route_topics(const std::vector<veltrax_bag::TopicInfo> & recorded,
                                     const std::vector<std::string> & remaps)
{
  const std::map<std::string, std::string> renames = parse_remaps(remaps);
  std::vector<TopicRoute> routes;
  std::map<NodeInput, std::size_t> fed;
  for (const veltrax_bag::TopicInfo & topic : recorded) {
    TopicRoute route;
    route.recorded = topic.name;
    route.type = topic.type;
    const auto renamed = renames.find(topic.name);
    route.target = renamed != renames.end() ? renamed->second : topic.name;
    route.compressed = topic.type == kCompressedType;
    const std::string base = route.compressed ? transport_base(route.target) : "";
    if (!base.empty()) {
      route.target = base;
    }
    for (const InputTopic & input : kInputs) {
      if (route.target != input.name) {
        continue;
      }
      const bool fits =
          input.image ? topic.type == kImageType || route.compressed : topic.type == input.type;
      if (!fits) {
        throw std::runtime_error(
            "recorded topic " + topic.name + " (" + topic.type + ") would feed " + input.name +
            ", which takes " +
            (input.image ? "sensor_msgs/msg/Image or CompressedImage" : input.type));
      }
      route.input = input.input;
    }
    if (route.input != NodeInput::kNone) {
      const auto other = fed.find(route.input);
      if (other != fed.end()) {
        TopicRoute & first = routes[other->second];
        // The node subscribes to raw images: a raw stream beside its compressed transport wins.
        if (first.compressed != route.compressed) {
          (first.compressed ? first : route).input = NodeInput::kNone;
          if (first.input == NodeInput::kNone) {
            fed[route.input] = routes.size();
          }
        } else {
          throw std::runtime_error("recorded topics " + first.recorded + " and " + topic.name +
                                   " both feed " + route.target + "; remap one of them");
        }
      } else {
        fed[route.input] = routes.size();
      }
    }
    routes.push_back(route);
  }
  std::string missing;
  for (const InputTopic & input : kInputs) {
    if ((input.image || input.type == std::string(kCameraInfoType)) &&
        fed.count(input.input) == 0) {
      missing += std::string(missing.empty() ? "" : ", ") + input.name;
    }
  }
  // The node looks up each camera's mount once; without transforms it never outlines.
  if (fed.count(NodeInput::kTf) == 0 && fed.count(NodeInput::kTfStatic) == 0) {
    missing += std::string(missing.empty() ? "" : ", ") + topics::kTfStatic + " or " + topics::kTf;
  }
  if (!missing.empty()) {
    throw std::runtime_error("the recording has no topic for the node's input " + missing +
                             " (recorded topics can be renamed with --remap FROM:=TO)");
  }
  return routes;
}

void ReplayClock::rebase(std::int64_t receive_ns, Clock::time_point wall, std::int64_t stamp_ns)
{
  origin_receive_ns_ = receive_ns;
  origin_wall_ = wall;
  origin_stamp_ns_ = stamp_ns;
}

Clock::time_point ReplayClock::publish_at(std::int64_t receive_ns) const
{
  return origin_wall_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            static_cast<double>(receive_ns - origin_receive_ns_) * 1e-9 / rate_));
}

std::int64_t ReplayClock::stamp_ns(std::int64_t recorded_ns) const
{
  if (recorded_ns == 0) {
    return 0;
  }
  return origin_stamp_ns_ +
         std::llround(static_cast<double>(recorded_ns - origin_receive_ns_) / rate_);
}

BagFeed::BagFeed(const RunOptions & options, bool tty)
    : options_(options), tty_(tty), bag_(options.bag_dir), clock_(options.bag_rate)
{
  if (!(options.bag_rate > 0.0) || options.bag_start_s < 0.0) {
    throw std::runtime_error("the replay rate must be above 0 and the start at least 0 s");
  }
  routes_ = route_topics(bag_.topics(), options.remaps);
  for (std::size_t i = 0; i < routes_.size(); ++i) {
    route_index_[routes_[i].recorded] = i;
  }
  for (std::size_t c = 0; c < 2; ++c) {
    cameras_[c].name = "camera" + std::to_string(c + 1);
  }
}

void BagFeed::publish_image(const veltrax_harness::Probe & probe, const TopicRoute & route,
                            const BagMessage & message, DriveResult & run,
                            const std::function<bool()> & stopped)
{
  RecordedImage recorded = image_message(route, message);
  sensor_msgs::msg::Image & image = recorded.image;
  const int camera = camera_index(route.input);
  const bool color = route.input == NodeInput::kColor1 || route.input == NodeInput::kColor2;
  if (!color && !image.header.frame_id.empty()) {
    cameras_[static_cast<std::size_t>(camera)].frame_id = image.header.frame_id;
  }
  const std::int64_t recorded_ns = recorded.stamp_ns;
  const auto frame =
      std::find_if(recent_frames_.begin(), recent_frames_.end(), [&](const auto & f) {
        return std::abs(static_cast<double>(f.first - recorded_ns)) * 1e-9 < kStampMatch_s;
      });
  std::int64_t stamp_ns = 0;
  if (frame != recent_frames_.end()) {
    stamp_ns = frame->second;
  } else {
    // A node that has every stream outlines the previous frame; until then none comes.
    if (options_.fast && images_seen_.size() == 4 && run.published > 0) {
      wait_for_outline(probe, run.frame_stamps_s.back(),
                       std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(options_.timeout_s)),
                       std::chrono::milliseconds(1), stopped);
      clock_.rebase(message.receive_time_ns, Clock::now(), probe.node->now().nanoseconds());
    }
    stamp_ns = clock_.stamp_ns(recorded_ns);
    recent_frames_.emplace_back(recorded_ns, stamp_ns);
    if (recent_frames_.size() > kRecentFrames) {
      recent_frames_.pop_front();
    }
    run.frame_stamps_s.push_back(static_cast<double>(stamp_ns) * 1e-9);
    run.published_at.push_back(Clock::now());
    ++run.published;
  }
  image.header.stamp = stamp_at(stamp_ns, source_of(route, message));
  images_seen_.insert(route.input);
  if (color) {
    (camera == 0 ? probe.color1 : probe.color2)->publish(image);
  } else {
    (camera == 0 ? probe.depth1 : probe.depth2)->publish(image);
  }
  if (record_ != nullptr) {
    record_->images.push_back(
        {route.target, probe.node->now().nanoseconds(), std::move(recorded.image)});
  }
}

void BagFeed::publish_message(const veltrax_harness::Probe & probe, const TopicRoute & route,
                              const BagMessage & message)
{
  const veltrax_bag::ByteView bytes{message.serialized.data(), message.serialized.size()};
  const std::string source = source_of(route, message);
  const auto c = static_cast<std::size_t>(camera_index(route.input));
  if (route.input == NodeInput::kInfo1 || route.input == NodeInput::kInfo2) {
    const veltrax_bag::CameraInfo info = veltrax_bag::decode_camera_info(bytes, source);
    veltrax_scene::CameraModel & model = cameras_[c];
    model.width = static_cast<int>(info.width);
    model.height = static_cast<int>(info.height);
    model.fx = info.k[0];
    model.fy = info.k[4];
    model.cx = info.k[2];
    model.cy = info.k[5];
    if (model.frame_id.empty()) {
      model.frame_id = info.header.frame_id;
    }
    sensor_msgs::msg::CameraInfo replayed = camera_info_message(clock_, info, source);
    (c == 0 ? probe.info1 : probe.info2)->publish(replayed);
    if (record_ != nullptr) {
      record_->camera_infos.push_back(
          {route.target, probe.node->now().nanoseconds(), std::move(replayed)});
    }
  } else if (route.input == NodeInput::kTf || route.input == NodeInput::kTfStatic) {
    const std::vector<veltrax_bag::TransformStamped> transforms =
        veltrax_bag::decode_tf_message(bytes, source);
    for (const veltrax_bag::TransformStamped & t : transforms) {
      transforms_[t.child_frame_id] = Transform{t.header.frame_id, isometry_of(t)};
    }
    tf2_msgs::msg::TFMessage replayed = tf_message(clock_, transforms, source);
    (route.input == NodeInput::kTf ? probe.tf : probe.tf_static)->publish(replayed);
    if (record_ != nullptr) {
      record_->transforms.push_back(
          {route.target, probe.node->now().nanoseconds(), std::move(replayed)});
    }
  } else if (route.input == NodeInput::kCmdVel) {
    const veltrax_bag::Twist recorded = veltrax_bag::decode_twist(bytes, source);
    geometry_msgs::msg::Twist twist;
    twist.linear.x = recorded.linear.x;
    twist.linear.y = recorded.linear.y;
    twist.linear.z = recorded.linear.z;
    twist.angular.x = recorded.angular.x;
    twist.angular.y = recorded.angular.y;
    twist.angular.z = recorded.angular.z;
    probe.cmd_vel->publish(twist);
  }
}

void BagFeed::publish(const veltrax_harness::Probe & probe, DriveResult & run, Traffic * record,
                      const std::function<bool()> & stopped)
{
  record_ = record;
  BagMessage message;
  if (!bag_.read_next(message)) {
    throw std::runtime_error(bag_.directory().string() + ": the recording holds no message");
  }
  const std::int64_t window_start_ns =
      message.receive_time_ns + std::llround(options_.bag_start_s * 1e9);
  const bool to_end = options_.bag_duration_s < 0.0;
  const std::int64_t window_end_ns = window_start_ns + std::llround(options_.bag_duration_s * 1e9);
  const double recording_s =
      static_cast<double>(bag_.metadata().duration_ns) * 1e-9 - options_.bag_start_s;
  const double total_s =
      std::max(0.0, to_end ? recording_s : std::min(recording_s, options_.bag_duration_s));

  clock_.rebase(window_start_ns, Clock::now(), probe.node->now().nanoseconds());
  std::map<NodeInput, BagMessage> held_info;  // the last camera info before the window
  std::vector<BagMessage> held_static;        // every /tf_static before the window
  auto last_bar = Clock::now() - kBarRefresh;
  int next_line_tenth = 1;
  const auto publish_one = [&](const TopicRoute & route, const BagMessage & m) {
    if (route.input == NodeInput::kNone) {
      ++counts_.skipped[route.recorded];
      return;
    }
    if (is_image(route.input)) {
      publish_image(probe, route, m, run, stopped);
    } else {
      publish_message(probe, route, m);
    }
    ++counts_.published[route.target];
  };

  bool in_window = false;
  for (bool more = true; more; more = bag_.read_next(message)) {
    if (stopped()) {
      throw Interrupted();
    }
    const TopicRoute & route = route_of(message);
    if (!to_end && message.receive_time_ns >= window_end_ns) {
      break;
    }
    if (message.receive_time_ns < window_start_ns) {
      // What the node needs from before the window: the cameras' last calibration and the mounts.
      if (route.input == NodeInput::kInfo1 || route.input == NodeInput::kInfo2) {
        held_info[route.input] = message;
      } else if (route.input == NodeInput::kTfStatic) {
        held_static.push_back(message);
      }
      continue;
    }
    if (!in_window) {
      in_window = true;
      for (const BagMessage & held : held_static) publish_one(route_of(held), held);
      for (const auto & [input, held] : held_info) publish_one(route_of(held), held);
    }
    if (!options_.fast) {
      // In slices, so that Ctrl-C stops a replay waiting out a long gap in the recording.
      const auto due = clock_.publish_at(message.receive_time_ns);
      while (Clock::now() < due && !stopped()) {
        std::this_thread::sleep_until(std::min(due, Clock::now() + kWaitSlice));
      }
    }
    if (stopped()) {
      throw Interrupted();
    }
    publish_one(route, message);
    counts_.replayed_s = static_cast<double>(message.receive_time_ns - window_start_ns) * 1e-9;
    const double share = total_s > 0.0 ? counts_.replayed_s / total_s : 1.0;
    if (options_.progress &&
        (tty_ ? Clock::now() - last_bar >= kBarRefresh : share * 10.0 >= next_line_tenth)) {
      print_progress(tty_, counts_.replayed_s, total_s, run.published, received(probe));
      last_bar = Clock::now();
      next_line_tenth = static_cast<int>(share * 10.0) + 1;
    }
  }
  if (run.published == 0) {
    char window[96];
    std::snprintf(window, sizeof(window), "%.1f s from %.1f s", total_s, options_.bag_start_s);
    throw std::runtime_error(bag_.directory().string() +
                             ": no image of the node's inputs in the replayed window (" + window +
                             " of the recording)");
  }
  if (options_.progress && tty_) {
    print_progress(tty_, counts_.replayed_s, total_s, run.published, received(probe));
    std::printf("\n");
  } else if (options_.progress && next_line_tenth <= 10) {
    print_progress(tty_, counts_.replayed_s, total_s, run.published, received(probe));
  }
}

const TopicRoute & BagFeed::route_of(const BagMessage & message) const
{
  const auto index = route_index_.find(message.topic);
  if (index == route_index_.end()) {
    throw BagError(bag_.directory().string() + ": message on " + message.topic +
                   ", a topic no storage file declares");
  }
  return routes_[index->second];
}

std::optional<Eigen::Isometry3d> BagFeed::camera_to_base(const std::string & frame) const
{
  Eigen::Isometry3d to_base = Eigen::Isometry3d::Identity();
  std::string at = frame;
  // Up the tree from the camera; a tree has fewer links than transforms, so a loop ends here.
  for (std::size_t hops = 0; hops <= transforms_.size(); ++hops) {
    if (at == veltrax_scene::kBaseFrame) {
      return to_base;
    }
    const auto link = transforms_.find(at);
    if (link == transforms_.end()) {
      return std::nullopt;
    }
    to_base = link->second.child_to_parent * to_base;
    at = link->second.parent;
  }
  return std::nullopt;
}

Source BagFeed::source() const
{
  Source source;
  source.mode = "bag";
  source.cameras = cameras_;
  for (std::size_t c = 0; c < 2; ++c) {
    // Without a mount the field of view is drawn at the robot's origin, looking ahead.
    Eigen::Isometry3d optical_ahead = Eigen::Isometry3d::Identity();
    optical_ahead.linear() << 0, 0, 1, -1, 0, 0, 0, -1, 0;
    source.camera_to_base[c] = camera_to_base(cameras_[c].frame_id).value_or(optical_ahead);
  }
  return source;
}

}  // namespace veltrax_demo
