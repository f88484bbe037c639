#include "demo/recording.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <stdexcept>

#include "bag/cdr_writer.hpp"
#include "bag/mcap_writer.hpp"
#include "demo/demo_runner.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_demo
{
namespace
{

using nlohmann::json;
using veltrax_bag::CdrWriter;
namespace topics = veltrax_harness::topics;

// As Humble's recorder stores a publisher's offered QoS: history and depth unknown, reliable,
// no deadline, lifespan or lease. /tf_static is transient local, so `ros2 bag play` latches it.
std::string offered_qos(bool transient_local)
{
  const std::string infinite = "    sec: 2147483647\n    nsec: 4294967295\n";
  return "- history: 3\n  depth: 0\n  reliability: 1\n  durability: " +
         std::string(transient_local ? "1" : "2") + "\n  deadline:\n" + infinite + "  lifespan:\n" +
         infinite + "  liveliness: 1\n  liveliness_lease_duration:\n" + infinite +
         "  avoid_ros_namespace_conventions: false";
}

// Every topic the run publishes, inputs first; declared even when a run sends nothing on one.
std::vector<veltrax_bag::TopicInfo> recorded_topics()
{
  const std::string image = "sensor_msgs/msg/Image";
  const std::string cloud = "sensor_msgs/msg/PointCloud2";
  const std::string reports = "veltrax_protocol/msg/Trashes";
  // /tf carries only what a replayed recording held there.
  std::vector<std::pair<std::string, std::string>> named = {
      {topics::kTfStatic, "tf2_msgs/msg/TFMessage"}, {topics::kTf, "tf2_msgs/msg/TFMessage"}};
  for (int c = 0; c < 2; ++c) {
    named.insert(named.end(), {{topics::kCameraInfo[c], "sensor_msgs/msg/CameraInfo"},
                               {topics::kColor[c], image},
                               {topics::kDepth[c], image}});
  }
  named.insert(
      named.end(),
      {{topics::kObstacleCloud, cloud}, {topics::kTrashes, reports}, {topics::kPersons, reports}});
  for (int c = 0; c < 2; ++c) {
    named.insert(named.end(), {{topics::kOverlay[c], image}, {topics::kDetectionCloud[c], cloud}});
  }
  std::vector<veltrax_bag::TopicInfo> infos;
  infos.reserve(named.size());
  for (const auto & [name, type] : named) {
    infos.push_back({name, type, "cdr", offered_qos(name == topics::kTfStatic)});
  }
  return infos;
}

// CDR of each type, field by field in .msg order.
void put(CdrWriter & out, const std_msgs::msg::Header & header)
{
  out.header(header.stamp.sec, header.stamp.nanosec, header.frame_id);
}

void put(CdrWriter & out, const sensor_msgs::msg::Image & image)
{
  put(out, image.header);
  out.put(image.height).put(image.width).string(image.encoding);
  out.put(image.is_bigendian).put(image.step).byte_sequence(image.data);
}

void put(CdrWriter & out, const sensor_msgs::msg::CameraInfo & info)
{
  put(out, info.header);
  out.put(info.height).put(info.width).string(info.distortion_model);
  out.sequence_length(info.d.size());
  const auto doubles = [&out](const auto & values) {
    for (double value : values) {
      out.put(value);
    }
  };
  doubles(info.d);
  doubles(info.k);
  doubles(info.r);
  doubles(info.p);
  out.put(info.binning_x).put(info.binning_y);
  out.put(info.roi.x_offset).put(info.roi.y_offset).put(info.roi.height).put(info.roi.width);
  out.put(info.roi.do_rectify);
}

void put(CdrWriter & out, const sensor_msgs::msg::PointCloud2 & cloud)
{
  put(out, cloud.header);
  out.put(cloud.height).put(cloud.width).sequence_length(cloud.fields.size());
  for (const sensor_msgs::msg::PointField & field : cloud.fields) {
    out.string(field.name).put(field.offset).put(field.datatype).put(field.count);
  }
  out.put(cloud.is_bigendian).put(cloud.point_step).put(cloud.row_step);
  out.byte_sequence(cloud.data).put(cloud.is_dense);
}

void put(CdrWriter & out, const tf2_msgs::msg::TFMessage & tf)
{
  out.sequence_length(tf.transforms.size());
  for (const geometry_msgs::msg::TransformStamped & transform : tf.transforms) {
    put(out, transform.header);
    out.string(transform.child_frame_id);
    const auto & t = transform.transform.translation;
    const auto & q = transform.transform.rotation;
    out.put(t.x).put(t.y).put(t.z).put(q.x).put(q.y).put(q.z).put(q.w);
  }
}

void put(CdrWriter & out, const veltrax_protocol::msg::Trashes & reports)
{
  put(out, reports.header);
  out.sequence_length(reports.trashes.size());
  for (const veltrax_protocol::msg::Trash & trash : reports.trashes) {
    put(out, trash.image);
    out.put(trash.x).put(trash.y);
  }
}

// What the outside check recomputes from each decoded message (tools/mcap_check).
std::uint64_t byte_sum(const std::vector<std::uint8_t> & data)
{
  return std::accumulate(data.begin(), data.end(), std::uint64_t{0});
}

json stamp(const std_msgs::msg::Header & header)
{
  return {header.stamp.sec, header.stamp.nanosec};
}

json digest(const sensor_msgs::msg::Image & image)
{
  return {{"stamp", stamp(image.header)}, {"height", image.height},
          {"width", image.width},         {"encoding", image.encoding},
          {"step", image.step},           {"data_sum", byte_sum(image.data)}};
}

json digest(const sensor_msgs::msg::CameraInfo & info)
{
  return {
      {"stamp", stamp(info.header)}, {"height", info.height}, {"width", info.width}, {"k", info.k}};
}

json digest(const sensor_msgs::msg::PointCloud2 & cloud)
{
  json fields = json::array();
  for (const sensor_msgs::msg::PointField & field : cloud.fields) {
    fields.push_back(field.name);
  }
  return {{"stamp", stamp(cloud.header)},
          {"points", cloud.width * cloud.height},
          {"fields", fields},
          {"data_sum", byte_sum(cloud.data)}};
}

json digest(const tf2_msgs::msg::TFMessage & tf)
{
  json children = json::array();
  for (const geometry_msgs::msg::TransformStamped & transform : tf.transforms) {
    const auto & t = transform.transform.translation;
    children.push_back({{"child", transform.child_frame_id},
                        {"stamp", stamp(transform.header)},
                        {"translation", {t.x, t.y, t.z}}});
  }
  return {{"transforms", children}};
}

json digest(const veltrax_protocol::msg::Trashes & reports)
{
  json records = json::array();
  for (const veltrax_protocol::msg::Trash & trash : reports.trashes) {
    records.push_back({{"x", trash.x},
                       {"y", trash.y},
                       {"crop_stamp", stamp(trash.image.header)},
                       {"crop_size", {trash.image.width, trash.image.height}}});
  }
  return {{"stamp", stamp(reports.header)}, {"trashes", records}};
}

// One message of any type, serialised only when its turn comes.
struct Pending
{
  std::int64_t log_time_ns;
  const std::string * topic;
  std::function<std::vector<std::uint8_t>()> serialise;
  std::function<json()> digest;
};

template <typename Message>
void add_pending(const std::vector<Timed<Message>> & list, std::vector<Pending> & pending)
{
  for (const Timed<Message> & timed : list) {
    const Message & message = timed.message;
    pending.push_back({timed.log_time_ns, &timed.topic,
                       [&message] {
                         CdrWriter out;
                         put(out, message);
                         return out.take();
                       },
                       [&message] { return digest(message); }});
  }
}

template <typename Message>
void add_received(std::vector<Timed<Message>> & list, const char * topic,
                  const std::vector<Message> & messages, std::size_t index,
                  std::int64_t log_time_ns)
{
  list.push_back({topic, log_time_ns, messages.at(index)});
}

}  // namespace

void add_outputs(const veltrax_harness::Probe & probe,
                 std::chrono::steady_clock::time_point steady_origin, std::int64_t origin_ns,
                 Traffic & traffic)
{
  using veltrax_harness::Output;
  const auto clouds = probe.obstacle_clouds();
  const auto trashes = probe.trashes();
  const auto persons = probe.persons();
  const std::array<std::vector<sensor_msgs::msg::Image>, 2> overlays = {probe.overlays(1),
                                                                        probe.overlays(2)};
  const std::array<std::vector<sensor_msgs::msg::PointCloud2>, 2> debug_clouds = {
      probe.debug_clouds(1), probe.debug_clouds(2)};
  for (const veltrax_harness::Arrival & arrival : probe.arrivals()) {
    const std::int64_t log_time_ns =
        origin_ns +
        std::chrono::duration_cast<std::chrono::nanoseconds>(arrival.at - steady_origin).count();
    const std::size_t i = arrival.index;
    switch (arrival.output) {
      case Output::kObstacleCloud:
        add_received(traffic.clouds, topics::kObstacleCloud, clouds, i, log_time_ns);
        break;
      case Output::kTrashes:
        add_received(traffic.reports, topics::kTrashes, trashes, i, log_time_ns);
        break;
      case Output::kPersons:
        add_received(traffic.reports, topics::kPersons, persons, i, log_time_ns);
        break;
      case Output::kOverlay1:
      case Output::kOverlay2: {
        const int c = arrival.output == Output::kOverlay1 ? 0 : 1;
        add_received(traffic.images, topics::kOverlay[c], overlays[c], i, log_time_ns);
        break;
      }
      case Output::kDebugCloud1:
      case Output::kDebugCloud2: {
        const int c = arrival.output == Output::kDebugCloud1 ? 0 : 1;
        add_received(traffic.clouds, topics::kDetectionCloud[c], debug_clouds[c], i, log_time_ns);
        break;
      }
    }
  }
}

void write_recording(const std::filesystem::path & out, const Traffic & traffic,
                     const std::atomic<bool> * interrupt)
{
  std::vector<Pending> pending;
  add_pending(traffic.transforms, pending);
  add_pending(traffic.camera_infos, pending);
  add_pending(traffic.images, pending);
  add_pending(traffic.clouds, pending);
  add_pending(traffic.reports, pending);
  std::stable_sort(pending.begin(), pending.end(), [](const Pending & a, const Pending & b) {
    return a.log_time_ns < b.log_time_ns;
  });

  veltrax_bag::McapWriter writer(out / kRecordingFile);
  std::map<std::string, std::uint16_t> channels;
  json expected = {{"recording", kRecordingFile}, {"topics", json::object()}};
  for (const veltrax_bag::TopicInfo & topic : recorded_topics()) {
    channels[topic.name] = writer.add_topic(topic);
    expected["topics"][topic.name] = {{"type", topic.type}, {"messages", json::array()}};
  }
  for (const Pending & message : pending) {
    if (interrupt != nullptr && interrupt->load()) {
      throw Interrupted();
    }
    const auto channel = channels.find(*message.topic);
    if (channel == channels.end()) {
      throw std::runtime_error("recording: " + *message.topic + " is not in the topic table");
    }
    const std::vector<std::uint8_t> bytes = message.serialise();
    const auto log_time_ns = static_cast<std::uint64_t>(message.log_time_ns);
    writer.write(channel->second, log_time_ns, log_time_ns, {bytes.data(), bytes.size()});
    json entry = message.digest();
    // As text: JSON readers hold numbers as doubles, which cannot carry every nanosecond.
    entry["log_time_ns"] = std::to_string(log_time_ns);
    expected["topics"][*message.topic]["messages"].push_back(entry);
  }
  for (auto & [name, topic] : expected["topics"].items()) {
    topic["count"] = topic["messages"].size();
  }
  veltrax_bag::write_bag_metadata(out / "metadata.yaml", writer.close());
  std::ofstream file(out / kRecordingExpectedFile);
  file << expected.dump(1) << "\n";
  if (!file) {
    throw std::runtime_error((out / kRecordingExpectedFile).string() + ": cannot be written");
  }
}

}  // namespace veltrax_demo
