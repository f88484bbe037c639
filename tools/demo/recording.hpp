// The demo run as a rosbag2 recording: the node's inputs as the probe published them and every
// topic the node published, written by the write stage as an MCAP bag that `ros2 bag play` and
// Foxglove Studio open (tools/README.md, "The recording").
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "veltrax_protocol/msg/trashes.hpp"

namespace veltrax_harness
{
class Probe;
}

namespace veltrax_demo
{

/// One message with its topic and log time: when the probe published it (inputs) or received
/// it (outputs), ns since the epoch on the ROS clock.
template <typename Message>
struct Timed
{
  std::string topic;
  std::int64_t log_time_ns{0};
  Message message;
};

/// What the recording holds, per message type, each list in the order it was published or
/// received.
struct Traffic
{
  std::vector<Timed<tf2_msgs::msg::TFMessage>> transforms;
  std::vector<Timed<sensor_msgs::msg::CameraInfo>> camera_infos;
  std::vector<Timed<sensor_msgs::msg::Image>> images;          ///< inputs and overlays
  std::vector<Timed<sensor_msgs::msg::PointCloud2>> clouds;    ///< outline and detection clouds
  std::vector<Timed<veltrax_protocol::msg::Trashes>> reports;  ///< both report topics
};

/// Adds every message `probe` received from the node. The probe notes arrivals on the steady
/// clock; `steady_origin` and `origin_ns` (the ROS clock read at that moment) carry them over.
void add_outputs(const veltrax_harness::Probe & probe,
                 std::chrono::steady_clock::time_point steady_origin, std::int64_t origin_ns,
                 Traffic & traffic);

/// File names in the output directory.
inline constexpr const char * kRecordingFile = "replay.mcap";
inline constexpr const char * kRecordingExpectedFile = "replay_expected.json";

/// Writes `traffic` to `out` as a bag directory: replay.mcap (every topic of the node's topic
/// table declared, messages in log-time order) and metadata.yaml, and replay_expected.json:
/// per topic its type, message count and per message the log time, header stamp and a digest
/// (image size and byte sum, point count, report positions, ...), for an outside reader to
/// check the file against (tools/mcap_check). Throws std::runtime_error when a file cannot be
/// written and Interrupted when `interrupt` (may be null) is raised; the files are then
/// incomplete.
void write_recording(const std::filesystem::path & out, const Traffic & traffic,
                     const std::atomic<bool> * interrupt = nullptr);

}  // namespace veltrax_demo
