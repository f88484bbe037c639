// Host stand-in for tf2/buffer_core.h (ROS 2 Humble, geometry2 0.25.x): the transform tree
// with per-frame time caches, static frames, latest-common-time lookups, interpolation
// (linear translation, slerp rotation), cache-time pruning and tf2's exceptions and texts.
// Differs from Humble:
//  - no BufferCoreInterface base class, no tf2::Transform / LinearMath overloads, no
//    transformable-request callbacks and no _lookupTransform/_getParent helpers;
//  - setTransform reports rejected input (TF_SELF_TRANSFORM, TF_NAN_INPUT, TF_OLD_DATA, ...)
//    on stderr instead of through console_bridge;
//  - a quaternion is normalised on insertion, which is what Humble's round trip through a
//    rotation matrix amounts to; a zero quaternion is rejected as TF_NAN_INPUT for the same
//    reason.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "tf2/exceptions.h"
#include "tf2/time.h"

namespace tf2
{
typedef uint32_t CompactFrameID;

namespace detail
{
class FrameCache;
}  // namespace detail

static constexpr Duration BUFFER_CORE_DEFAULT_CACHE_TIME = std::chrono::seconds(10);

/// Thread-safe transform store: any thread may call setTransform while others look up.
class BufferCore
{
public:
  static const uint32_t MAX_GRAPH_DEPTH = 1000UL;

  /// @param cache_time how long dynamic transforms are kept, measured back from the newest
  ///   sample of each frame. Static transforms never expire.
  explicit BufferCore(tf2::Duration cache_time_ = BUFFER_CORE_DEFAULT_CACHE_TIME);
  virtual ~BufferCore();

  BufferCore(const BufferCore &) = delete;
  BufferCore & operator=(const BufferCore &) = delete;

  /// Drops every dynamic sample; static transforms and frame names stay.
  virtual void clear();

  /// Adds one transform (header.frame_id = parent, child_frame_id = child). Leading '/' are
  /// stripped. Returns false, and logs why, for empty or equal frame ids, NaN values, a zero
  /// quaternion, or data older than the cache window.
  bool setTransform(const geometry_msgs::msg::TransformStamped & transform,
                    const std::string & authority, bool is_static = false);

  /// Transform mapping points in `source_frame` into `target_frame` at `time`
  /// (TimePointZero: latest time common to the chain). Never blocks.
  /// @throws tf2::InvalidArgumentException, LookupException, ConnectivityException,
  ///   ExtrapolationException (all tf2::TransformException).
  virtual geometry_msgs::msg::TransformStamped lookupTransform(const std::string & target_frame,
                                                               const std::string & source_frame,
                                                               const TimePoint & time) const;

  /// Time-travelling lookup through `fixed_frame`: source at source_time, target at target_time.
  virtual geometry_msgs::msg::TransformStamped lookupTransform(
      const std::string & target_frame, const TimePoint & target_time,
      const std::string & source_frame, const TimePoint & source_time,
      const std::string & fixed_frame) const;

  /// Whether lookupTransform would succeed; the reason goes to `error_msg` when it would not.
  virtual bool canTransform(const std::string & target_frame, const std::string & source_frame,
                            const TimePoint & time, std::string * error_msg = nullptr) const;

  virtual bool canTransform(const std::string & target_frame, const TimePoint & target_time,
                            const std::string & source_frame, const TimePoint & source_time,
                            const std::string & fixed_frame,
                            std::string * error_msg = nullptr) const;

  /// Every frame id ever seen (children and parents), in order of first appearance.
  virtual std::vector<std::string> getAllFrameNames() const;

  /// One line per child frame: "Frame <child> exists with parent <parent>.\n".
  std::string allFramesAsString() const;

  /// Set by whoever feeds this buffer from another thread; enables waiting lookups.
  void setUsingDedicatedThread(bool value) { using_dedicated_thread_.store(value); }
  bool isUsingDedicatedThread() const { return using_dedicated_thread_.load(); }

  tf2::Duration getCacheLength() { return cache_time_; }

private:
  struct Accum;

  // Callers of the *_locked helpers hold frame_mutex_.
  CompactFrameID lookup_frame_number_locked(const std::string & frame_id) const;
  CompactFrameID lookup_or_insert_frame_number_locked(const std::string & frame_id);
  const std::string & lookup_frame_string_locked(CompactFrameID id) const;
  CompactFrameID validate_frame_id_locked(const char * function_name_arg,
                                          const std::string & frame_id) const;
  bool warn_frame_id(const char * function_name_arg, const std::string & frame_id) const;
  TF2Error get_latest_common_time_locked(CompactFrameID target_id, CompactFrameID source_id,
                                         TimePoint & time, std::string * error_string) const;
  TF2Error walk_to_top_parent_locked(Accum & accum, TimePoint time, CompactFrameID target_id,
                                     CompactFrameID source_id, std::string * error_string) const;
  std::string all_frames_as_string_locked() const;
  std::string connectivity_error_locked(CompactFrameID source_id, CompactFrameID target_id) const;

  tf2::Duration cache_time_;
  mutable std::mutex frame_mutex_;
  // Index 0 is the "NO_PARENT" sentinel; a null cache marks a frame only seen as a parent.
  std::vector<std::shared_ptr<detail::FrameCache>> frames_;
  std::unordered_map<std::string, CompactFrameID> frame_ids_;
  std::vector<std::string> frame_ids_reverse_;
  std::unordered_map<CompactFrameID, std::string> frame_authority_;
  // Written by the feeding thread's owner, read by lookups on any thread.
  std::atomic<bool> using_dedicated_thread_{false};
};
}  // namespace tf2
