// A rosbag2 recording as a source of the demo runner: the node's input topics of the recording,
// republished at recorded timing through the drive stage (drive_feed) while the recording is read
// one message at a time. Options and outputs: tools/README.md, "Replay".
#pragma once

#include <Eigen/Geometry>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bag/bag_types.hpp"
#include "bag/rosbag_reader.hpp"
#include "demo/demo_runner.hpp"
#include "demo/drive.hpp"
#include "demo/recording.hpp"
#include "demo/source.hpp"

namespace veltrax_demo
{

/// What a recorded topic feeds.
enum class NodeInput {
  kNone,  ///< not consumed by the node: counted and skipped
  kColor1,
  kColor2,
  kDepth1,
  kDepth2,
  kInfo1,
  kInfo2,
  kTf,
  kTfStatic,
  kCmdVel
};

/// One recorded topic and where its messages go.
struct TopicRoute
{
  std::string recorded;  ///< name in the recording
  std::string type;
  std::string target;  ///< after the remaps and the image transport suffix
  NodeInput input{NodeInput::kNone};
  bool compressed{false};  ///< sensor_msgs/msg/CompressedImage, decoded before publishing
};

/// Routes every topic of a recording to the node input it feeds. `remaps` ("FROM:=TO") rename
/// recorded topics by exact name, as `ros2 bag play --remap` does; a CompressedImage topic whose
/// name then ends in "/compressed" or "/compressedDepth" feeds the image topic it is the image
/// transport of (decoded), and a raw image topic wins over its compressed transport. Throws
/// std::runtime_error naming the topic when a remap is malformed, a node input topic has a type
/// the node does not take, two recorded topics feed one input, or a colour, depth or camera info
/// input, or both /tf and /tf_static, have no topic at all.
std::vector<TopicRoute> route_topics(const std::vector<veltrax_bag::TopicInfo> & topics,
                                     const std::vector<std::string> & remaps);

/// Publication times and stamps of a replay. A message received `t` ns after the origin goes
/// out t / rate after the origin's wall time, and every header stamp moves by the same mapping,
/// so the node sees the recorded spacing of stamps and publications on its own clock (it refuses
/// images stamped more than 10 s away from it).
class ReplayClock
{
public:
  explicit ReplayClock(double rate) : rate_(rate) {}
  /// From now on the recording's `receive_ns` is wall time `wall` and node time `stamp_ns`.
  void rebase(std::int64_t receive_ns, Clock::time_point wall, std::int64_t stamp_ns);
  Clock::time_point publish_at(std::int64_t receive_ns) const;
  /// The replayed stamp of a recorded stamp; an unset (zero) stamp stays zero.
  std::int64_t stamp_ns(std::int64_t recorded_ns) const;

private:
  double rate_;
  std::int64_t origin_receive_ns_{0};
  Clock::time_point origin_wall_{};
  std::int64_t origin_stamp_ns_{0};
};

/// Counts of a replay, for the summary.
struct ReplayCounts
{
  std::map<std::string, int> published;  ///< per node input topic
  std::map<std::string, int> skipped;    ///< per recorded topic the node does not take
  double replayed_s{0.0};                ///< recorded seconds covered
};

/// Replays the node's inputs of a recording (`RunOptions::bag_dir`, window and remaps).
class BagFeed
{
public:
  /// Opens the recording and routes its topics; progress lines go to stdout when
  /// `options.progress` (a bar when `tty`). Throws veltrax_bag::BagError or std::runtime_error
  /// with a message naming the recording's fault.
  BagFeed(const RunOptions & options, bool tty);

  /// The drive stage's InputFeed: publishes every routed message of the window from `probe` at
  /// its replay time; the last camera info of each camera and every /tf_static message before
  /// the window go out at its start; the published images, camera infos and transforms are kept
  /// in `record` unless it is null. A frame is an instant of the recording: images of the node's
  /// four image inputs with one stamp (within kStampMatch_s) belong to one frame. With
  /// `RunOptions::fast` the recorded timing gives way: each frame goes out as soon as the
  /// previous one is outlined (once the node has had all four streams), the replay clock rebased
  /// there. Throws BagError when a message cannot be read or decoded, Interrupted when
  /// `stopped()` holds.
  void publish(const veltrax_harness::Probe & probe, DriveResult & run, Traffic * record,
               const std::function<bool()> & stopped);

  /// After publish: the cameras as the recording describes them (the last camera info of each;
  /// the mount from the transforms base_footprint -> the depth images' frame), no frames.
  Source source() const;
  const ReplayCounts & counts() const { return counts_; }
  const std::vector<TopicRoute> & routes() const { return routes_; }

private:
  struct Transform
  {
    std::string parent;
    Eigen::Isometry3d child_to_parent;
  };
  const TopicRoute & route_of(const veltrax_bag::BagMessage & message) const;
  void publish_image(const veltrax_harness::Probe & probe, const TopicRoute & route,
                     const veltrax_bag::BagMessage & message, DriveResult & run,
                     const std::function<bool()> & stopped);
  /// Camera info, transforms and velocity.
  void publish_message(const veltrax_harness::Probe & probe, const TopicRoute & route,
                       const veltrax_bag::BagMessage & message);
  std::optional<Eigen::Isometry3d> camera_to_base(const std::string & frame) const;

  RunOptions options_;
  bool tty_{false};
  veltrax_bag::BagReader bag_;
  std::vector<TopicRoute> routes_;
  std::map<std::string, std::size_t> route_index_;  // recorded name -> index into routes_
  ReplayCounts counts_;
  ReplayClock clock_;
  Traffic * record_{nullptr};
  // Recorded and replayed stamp of the latest frames: the cameras' streams interleave.
  std::deque<std::pair<std::int64_t, std::int64_t>> recent_frames_;
  std::set<NodeInput> images_seen_;
  std::array<veltrax_scene::CameraModel, 2> cameras_;
  std::map<std::string, Transform> transforms_;  // by child frame, the latest
};

}  // namespace veltrax_demo
