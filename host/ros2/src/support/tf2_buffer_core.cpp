// The transform tree behind tf2_ros::Buffer. Frames are numbered on first sight; each child
// frame owns a cache of (stamp, parent, rotation, translation) samples, newest first. Lookups
// walk from both frames towards the root, composing transforms, and meet at the common
// ancestor, exactly as tf2 does, so the same error (and error text) comes out for the same tree.
#include "tf2/buffer_core.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <sstream>
#include <utility>

namespace tf2
{
namespace detail
{
struct Sample
{
  TimePoint stamp;
  Eigen::Quaterniond rotation{Eigen::Quaterniond::Identity()};
  Eigen::Vector3d translation{Eigen::Vector3d::Zero()};
  CompactFrameID parent{0};
};

namespace
{
void extrapolation_at(TimePoint t0, TimePoint t1, std::string * error_str)
{
  if (error_str) {
    std::stringstream ss;
    ss << "Lookup would require extrapolation at time " << displayTimePoint(t0)
       << ", but only time " << displayTimePoint(t1) << " is in the buffer";
    *error_str = ss.str();
  }
}

void extrapolation_future(TimePoint t0, TimePoint t1, std::string * error_str)
{
  if (error_str) {
    std::stringstream ss;
    ss << "Lookup would require extrapolation into the future.  Requested time "
       << displayTimePoint(t0) << " but the latest data is at time " << displayTimePoint(t1);
    *error_str = ss.str();
  }
}

void extrapolation_past(TimePoint t0, TimePoint t1, std::string * error_str)
{
  if (error_str) {
    std::stringstream ss;
    ss << "Lookup would require extrapolation into the past.  Requested time "
       << displayTimePoint(t0) << " but the earliest data is at time " << displayTimePoint(t1);
    *error_str = ss.str();
  }
}
}  // namespace

/// Samples of one child frame. A static cache holds one sample that is valid at every time.
class FrameCache
{
public:
  FrameCache(bool is_static, Duration max_storage_time)
      : is_static_(is_static), max_storage_time_(max_storage_time)
  {
  }

  bool is_static() const { return is_static_; }

  bool insert(const Sample & sample)
  {
    if (is_static_) {
      storage_.assign(1, sample);
      return true;
    }
    if (!storage_.empty() && storage_.front().stamp > sample.stamp + max_storage_time_) {
      return false;
    }
    auto it = std::find_if(storage_.begin(), storage_.end(),
                           [&](const Sample & s) { return s.stamp <= sample.stamp; });
    storage_.insert(it, sample);
    prune();
    return true;
  }

  bool get_data(TimePoint time, Sample & out, std::string * error_str) const
  {
    if (is_static_) {
      if (storage_.empty()) {
        return false;
      }
      out = storage_.front();
      out.stamp = time;
      return true;
    }

    if (storage_.empty()) {
      if (error_str) {
        *error_str = "Unable to lookup transform, cache is empty";
      }
      return false;
    }
    if (time == TimePointZero) {
      out = storage_.front();
      return true;
    }
    if (storage_.size() == 1) {
      if (storage_.front().stamp == time) {
        out = storage_.front();
        return true;
      }
      extrapolation_at(time, storage_.front().stamp, error_str);
      return false;
    }

    const TimePoint latest = storage_.front().stamp;
    const TimePoint earliest = storage_.back().stamp;
    if (time == latest) {
      out = storage_.front();
      return true;
    }
    if (time == earliest) {
      out = storage_.back();
      return true;
    }
    if (time > latest) {
      extrapolation_future(time, latest, error_str);
      return false;
    }
    if (time < earliest) {
      extrapolation_past(time, earliest, error_str);
      return false;
    }

    // Strictly inside: `older` exists and is not the front, so `newer` is valid too.
    auto older = std::find_if(storage_.begin(), storage_.end(),
                              [&](const Sample & s) { return s.stamp <= time; });
    const Sample & newer = *(older - 1);
    if (older->parent != newer.parent) {
      // A re-parented frame cannot be blended across the change.
      out = *older;
      return true;
    }
    interpolate(*older, newer, time, out);
    return true;
  }

  // The time constraint this link adds to a "latest" lookup; zero for static links.
  std::pair<TimePoint, CompactFrameID> latest_time_and_parent() const
  {
    if (storage_.empty()) {
      return {TimePoint(), 0};
    }
    if (is_static_) {
      return {TimePointZero, storage_.front().parent};
    }
    return {storage_.front().stamp, storage_.front().parent};
  }

  TimePoint latest_timestamp() const
  {
    if (is_static_ || storage_.empty()) {
      return TimePoint();
    }
    return storage_.front().stamp;
  }

  void clear()
  {
    // Static transforms describe the robot's build, not its motion: clear() keeps them.
    if (!is_static_) {
      storage_.clear();
    }
  }

private:
  static void interpolate(const Sample & one, const Sample & two, TimePoint time, Sample & out)
  {
    if (two.stamp == one.stamp) {
      out = two;
      return;
    }
    const double ratio = durationToSec(time - one.stamp) / durationToSec(two.stamp - one.stamp);
    out.translation = one.translation + ratio * (two.translation - one.translation);
    out.rotation = one.rotation.slerp(ratio, two.rotation);
    out.stamp = time;
    out.parent = one.parent;
  }

  void prune()
  {
    const TimePoint latest = storage_.front().stamp;
    while (!storage_.empty() && storage_.back().stamp + max_storage_time_ < latest) {
      storage_.pop_back();
    }
  }

  bool is_static_;
  Duration max_storage_time_;
  std::deque<Sample> storage_;  // newest first
};
}  // namespace detail

namespace
{
bool starts_with_slash(const std::string & frame_id)
{
  return !frame_id.empty() && frame_id[0] == '/';
}

std::string strip_slash(const std::string & in)
{
  return starts_with_slash(in) ? in.substr(1) : in;
}

void log_stderr(const char * level, const std::string & text)
{
  std::fprintf(stderr, "[%s] [tf2.buffer_core]: %s\n", level, text.c_str());
}

using Quat = Eigen::Quaterniond;
using Vec3 = Eigen::Vector3d;
}  // namespace

enum WalkEnding { Identity, TargetParentOfSource, SourceParentOfTarget, FullPath };

// Composes the links met on the two walks; `result_*` maps source coordinates into target.
struct BufferCore::Accum
{
  detail::Sample st;
  TimePoint time;
  Quat source_to_top_quat{Quat::Identity()};
  Vec3 source_to_top_vec{Vec3::Zero()};
  Quat target_to_top_quat{Quat::Identity()};
  Vec3 target_to_top_vec{Vec3::Zero()};
  Quat result_quat{Quat::Identity()};
  Vec3 result_vec{Vec3::Zero()};

  CompactFrameID gather(const detail::FrameCache & cache, TimePoint t, std::string * error_str)
  {
    if (!cache.get_data(t, st, error_str)) {
      return 0;
    }
    return st.parent;
  }

  void accum(bool source)
  {
    if (source) {
      source_to_top_vec = st.rotation * source_to_top_vec + st.translation;
      source_to_top_quat = st.rotation * source_to_top_quat;
    } else {
      target_to_top_vec = st.rotation * target_to_top_vec + st.translation;
      target_to_top_quat = st.rotation * target_to_top_quat;
    }
  }

  void finalize(WalkEnding end, TimePoint t)
  {
    switch (end) {
      case Identity:
        break;
      case TargetParentOfSource:
        result_vec = source_to_top_vec;
        result_quat = source_to_top_quat;
        break;
      case SourceParentOfTarget: {
        const Quat inv_target_quat = target_to_top_quat.inverse();
        result_vec = inv_target_quat * (-target_to_top_vec);
        result_quat = inv_target_quat;
        break;
      }
      case FullPath: {
        const Quat inv_target_quat = target_to_top_quat.inverse();
        const Vec3 inv_target_vec = inv_target_quat * (-target_to_top_vec);
        result_vec = inv_target_quat * source_to_top_vec + inv_target_vec;
        result_quat = inv_target_quat * source_to_top_quat;
        break;
      }
    }
    time = t;
  }
};

BufferCore::BufferCore(tf2::Duration cache_time) : cache_time_(cache_time)
{
  frame_ids_["NO_PARENT"] = 0;
  frames_.emplace_back();
  frame_ids_reverse_.emplace_back("NO_PARENT");
}

BufferCore::~BufferCore() = default;

void BufferCore::clear()
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  for (auto & frame : frames_) {
    if (frame) {
      frame->clear();
    }
  }
}

bool BufferCore::setTransform(const geometry_msgs::msg::TransformStamped & transform,
                              const std::string & authority, bool is_static)
{
  const std::string frame_id = strip_slash(transform.header.frame_id);
  const std::string child_frame_id = strip_slash(transform.child_frame_id);
  const auto & t = transform.transform.translation;
  const auto & r = transform.transform.rotation;

  bool error_exists = false;
  if (child_frame_id == frame_id) {
    log_stderr("ERROR", "TF_SELF_TRANSFORM: Ignoring transform from authority \"" + authority +
                            "\" with frame_id and child_frame_id  \"" + child_frame_id +
                            "\" because they are the same");
    error_exists = true;
  }
  if (child_frame_id.empty()) {
    log_stderr("ERROR", "TF_NO_CHILD_FRAME_ID: Ignoring transform from authority \"" + authority +
                            "\" because child_frame_id not set ");
    error_exists = true;
  }
  if (frame_id.empty()) {
    log_stderr("ERROR", "TF_NO_FRAME_ID: Ignoring transform with child_frame_id \"" +
                            child_frame_id + "\"  from authority \"" + authority +
                            "\" because frame_id not set");
    error_exists = true;
  }
  // Humble builds a rotation matrix with s = 2 / |q|^2 and reads the quaternion back, which
  // normalises any non-zero quaternion and turns a zero one (or any NaN) into NaN.
  const double norm2 = r.x * r.x + r.y * r.y + r.z * r.z + r.w * r.w;
  if (std::isnan(t.x) || std::isnan(t.y) || std::isnan(t.z) || !(norm2 > 0.0) ||
      std::isinf(norm2)) {
    char values[256];
    std::snprintf(values, sizeof(values), "(%f %f %f) (%f %f %f %f)", t.x, t.y, t.z, r.x, r.y, r.z,
                  r.w);
    log_stderr("ERROR", "TF_NAN_INPUT: Ignoring transform for child_frame_id \"" + child_frame_id +
                            "\" from authority \"" + authority +
                            "\" because of a nan value in the transform " + values);
    error_exists = true;
  }
  if (error_exists) {
    return false;
  }

  detail::Sample sample;
  sample.stamp = TimePoint(std::chrono::nanoseconds(transform.header.stamp.nanosec) +
                           std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::seconds(transform.header.stamp.sec)));
  sample.rotation = Quat(r.w, r.x, r.y, r.z).normalized();
  sample.translation = Vec3(t.x, t.y, t.z);

  {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    const CompactFrameID frame_number = lookup_or_insert_frame_number_locked(child_frame_id);
    sample.parent = lookup_or_insert_frame_number_locked(frame_id);
    auto & frame = frames_[frame_number];
    // A frame switches between static and dynamic with the latest message that names it.
    if (!frame || frame->is_static() != is_static) {
      frame = std::make_shared<detail::FrameCache>(is_static, cache_time_);
    }
    if (frame->insert(sample)) {
      frame_authority_[frame_number] = authority;
      return true;
    }
  }
  log_stderr("WARN",
             "TF_OLD_DATA ignoring data from the past for frame " + child_frame_id + " at time " +
                 displayTimePoint(sample.stamp) + " according to authority " + authority +
                 "\nPossible reasons are listed at http://wiki.ros.org/tf/Errors%20explained");
  return false;
}

CompactFrameID BufferCore::lookup_frame_number_locked(const std::string & frame_id) const
{
  const auto it = frame_ids_.find(frame_id);
  return it == frame_ids_.end() ? 0 : it->second;
}

CompactFrameID BufferCore::lookup_or_insert_frame_number_locked(const std::string & frame_id)
{
  const auto it = frame_ids_.find(frame_id);
  if (it != frame_ids_.end()) {
    return it->second;
  }
  const auto id = static_cast<CompactFrameID>(frames_.size());
  frames_.emplace_back();
  frame_ids_[frame_id] = id;
  frame_ids_reverse_.push_back(frame_id);
  return id;
}

const std::string & BufferCore::lookup_frame_string_locked(CompactFrameID id) const
{
  return frame_ids_reverse_.at(id);
}

CompactFrameID BufferCore::validate_frame_id_locked(const char * function_name_arg,
                                                    const std::string & frame_id) const
{
  if (frame_id.empty()) {
    throw InvalidArgumentException("Invalid argument \"\" passed to " +
                                   std::string(function_name_arg) +
                                   " - in tf2 frame_ids cannot be empty");
  }
  if (starts_with_slash(frame_id)) {
    throw InvalidArgumentException("Invalid argument \"" + frame_id + "\" passed to " +
                                   function_name_arg +
                                   " - in tf2 frame_ids cannot start with a '/'");
  }
  const CompactFrameID id = lookup_frame_number_locked(frame_id);
  if (id == 0) {
    throw LookupException("\"" + frame_id + "\" passed to " + function_name_arg +
                          " does not exist. ");
  }
  return id;
}

bool BufferCore::warn_frame_id(const char * function_name_arg, const std::string & frame_id) const
{
  if (frame_id.empty()) {
    log_stderr("WARN", "Invalid argument \"\" passed to " + std::string(function_name_arg) +
                           " - in tf2 frame_ids cannot be empty");
    return true;
  }
  if (starts_with_slash(frame_id)) {
    log_stderr("WARN", "Invalid argument \"" + frame_id + "\" passed to " + function_name_arg +
                           " - in tf2 frame_ids cannot start with a '/'");
    return true;
  }
  return false;
}

std::string BufferCore::connectivity_error_locked(CompactFrameID source_id,
                                                  CompactFrameID target_id) const
{
  return "Could not find a connection between '" + lookup_frame_string_locked(target_id) +
         "' and '" + lookup_frame_string_locked(source_id) +
         "' because they are not part of the same tree." + "Tf has two or more unconnected trees.";
}

std::string BufferCore::all_frames_as_string_locked() const
{
  std::stringstream mstream;
  detail::Sample temp;
  for (size_t counter = 1; counter < frames_.size(); ++counter) {
    const auto & frame = frames_[counter];
    if (!frame) {
      continue;
    }
    const CompactFrameID parent = frame->get_data(TimePointZero, temp, nullptr) ? temp.parent : 0;
    mstream << "Frame " << frame_ids_reverse_[counter] << " exists with parent "
            << frame_ids_reverse_[parent] << "." << std::endl;
  }
  return mstream.str();
}

TF2Error BufferCore::get_latest_common_time_locked(CompactFrameID target_id,
                                                   CompactFrameID source_id, TimePoint & time,
                                                   std::string * error_string) const
{
  if (source_id == 0 || target_id == 0) {
    return TF2Error::TF2_LOOKUP_ERROR;
  }
  if (source_id == target_id) {
    const auto & cache = frames_[source_id];
    time = cache ? cache->latest_timestamp() : TimePointZero;
    return TF2Error::TF2_NO_ERROR;
  }

  const auto loop_error = [&]() {
    if (error_string) {
      std::stringstream ss;
      ss << "The tf tree is invalid because it contains a loop." << std::endl
         << all_frames_as_string_locked() << std::endl;
      *error_string = ss.str();
    }
    return TF2Error::TF2_LOOKUP_ERROR;
  };
  const auto finish = [&](TimePoint common_time) {
    time = common_time == TimePoint::max() ? TimePointZero : common_time;
    return TF2Error::TF2_NO_ERROR;
  };

  // Source side: remember each link's latest time and parent on the way to the root.
  std::vector<std::pair<TimePoint, CompactFrameID>> lct_cache;
  CompactFrameID frame = source_id;
  uint32_t depth = 0;
  TimePoint common_time = TimePoint::max();
  while (frame != 0) {
    const auto & cache = frames_[frame];
    if (!cache) {
      break;
    }
    const auto latest = cache->latest_time_and_parent();
    if (latest.second == 0) {
      break;
    }
    if (latest.first != TimePointZero) {
      common_time = std::min(latest.first, common_time);
    }
    lct_cache.push_back(latest);
    frame = latest.second;
    if (frame == target_id) {
      return finish(common_time);
    }
    if (++depth > MAX_GRAPH_DEPTH) {
      return loop_error();
    }
  }

  // Target side: climb until a parent already met on the source side.
  frame = target_id;
  depth = 0;
  common_time = TimePoint::max();
  CompactFrameID common_parent = 0;
  while (true) {
    const auto & cache = frames_[frame];
    if (!cache) {
      break;
    }
    const auto latest = cache->latest_time_and_parent();
    if (latest.second == 0) {
      break;
    }
    if (latest.first != TimePointZero) {
      common_time = std::min(latest.first, common_time);
    }
    const auto it = std::find_if(lct_cache.begin(), lct_cache.end(),
                                 [&](const auto & entry) { return entry.second == latest.second; });
    if (it != lct_cache.end()) {
      common_parent = it->second;
      break;
    }
    frame = latest.second;
    if (frame == source_id) {
      return finish(common_time);
    }
    if (++depth > MAX_GRAPH_DEPTH) {
      return loop_error();
    }
  }

  if (common_parent == 0) {
    if (error_string) {
      *error_string = connectivity_error_locked(source_id, target_id);
    }
    return TF2Error::TF2_CONNECTIVITY_ERROR;
  }

  for (const auto & entry : lct_cache) {
    if (entry.first != TimePointZero) {
      common_time = std::min(common_time, entry.first);
    }
    if (entry.second == common_parent) {
      break;
    }
  }
  return finish(common_time);
}

TF2Error BufferCore::walk_to_top_parent_locked(Accum & f, TimePoint time, CompactFrameID target_id,
                                               CompactFrameID source_id,
                                               std::string * error_string) const
{
  if (source_id == target_id) {
    f.finalize(Identity, time);
    return TF2Error::TF2_NO_ERROR;
  }

  if (time == TimePointZero) {
    const TF2Error retval = get_latest_common_time_locked(target_id, source_id, time, error_string);
    if (retval != TF2Error::TF2_NO_ERROR) {
      return retval;
    }
  }

  const auto loop_error = [&]() {
    if (error_string) {
      std::stringstream ss;
      ss << "The tf tree is invalid because it contains a loop." << std::endl
         << all_frames_as_string_locked() << std::endl;
      *error_string = ss.str();
    }
    return TF2Error::TF2_LOOKUP_ERROR;
  };
  const auto lookup_suffix = [&]() {
    return ", when looking up transform from frame [" + lookup_frame_string_locked(source_id) +
           "] to frame [" + lookup_frame_string_locked(target_id) + "]";
  };

  // Source side, up to the root or to the first link without data at `time`.
  CompactFrameID frame = source_id;
  CompactFrameID top_parent = frame;
  uint32_t depth = 0;
  std::string extrapolation_error_string;
  bool extrapolation_might_have_occurred = false;
  while (frame != 0) {
    const auto & cache = frames_[frame];
    if (!cache) {
      top_parent = frame;
      break;
    }
    const CompactFrameID parent = f.gather(*cache, time, &extrapolation_error_string);
    if (parent == 0) {
      // The target side may still reach this frame, so this is not an error yet.
      top_parent = frame;
      extrapolation_might_have_occurred = true;
      break;
    }
    if (frame == target_id) {
      f.finalize(TargetParentOfSource, time);
      return TF2Error::TF2_NO_ERROR;
    }
    f.accum(true);
    top_parent = frame;
    frame = parent;
    if (++depth > MAX_GRAPH_DEPTH) {
      return loop_error();
    }
  }

  // Target side, up to the source side's top.
  frame = target_id;
  depth = 0;
  while (frame != top_parent) {
    const auto & cache = frames_[frame];
    if (!cache) {
      break;
    }
    const CompactFrameID parent = f.gather(*cache, time, error_string);
    if (parent == 0) {
      if (error_string) {
        *error_string += lookup_suffix();
      }
      return TF2Error::TF2_EXTRAPOLATION_ERROR;
    }
    if (frame == source_id) {
      f.finalize(SourceParentOfTarget, time);
      return TF2Error::TF2_NO_ERROR;
    }
    f.accum(false);
    frame = parent;
    if (++depth > MAX_GRAPH_DEPTH) {
      return loop_error();
    }
  }

  if (frame != top_parent) {
    if (extrapolation_might_have_occurred) {
      if (error_string) {
        *error_string = extrapolation_error_string + lookup_suffix();
      }
      return TF2Error::TF2_EXTRAPOLATION_ERROR;
    }
    if (error_string) {
      *error_string = connectivity_error_locked(source_id, target_id);
    }
    return TF2Error::TF2_CONNECTIVITY_ERROR;
  }

  f.finalize(FullPath, time);
  return TF2Error::TF2_NO_ERROR;
}

namespace
{
builtin_interfaces::msg::Time to_msg_stamp(TimePoint t)
{
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch());
  builtin_interfaces::msg::Time stamp;
  stamp.sec = static_cast<int32_t>(s.count());
  stamp.nanosec = static_cast<uint32_t>(ns.count() % 1000000000ull);
  return stamp;
}

geometry_msgs::msg::TransformStamped to_msg(const Vec3 & v, const Quat & q, TimePoint stamp,
                                            const std::string & target_frame,
                                            const std::string & source_frame)
{
  geometry_msgs::msg::TransformStamped msg;
  msg.transform.translation.x = v.x();
  msg.transform.translation.y = v.y();
  msg.transform.translation.z = v.z();
  msg.transform.rotation.x = q.x();
  msg.transform.rotation.y = q.y();
  msg.transform.rotation.z = q.z();
  msg.transform.rotation.w = q.w();
  msg.header.stamp = to_msg_stamp(stamp);
  msg.header.frame_id = target_frame;
  msg.child_frame_id = source_frame;
  return msg;
}
}  // namespace

geometry_msgs::msg::TransformStamped BufferCore::lookupTransform(const std::string & target_frame,
                                                                 const std::string & source_frame,
                                                                 const TimePoint & time) const
{
  std::lock_guard<std::mutex> lock(frame_mutex_);

  // Identity needs no known frame: tf2 answers it before validating the ids.
  if (target_frame == source_frame) {
    TimePoint time_out = time;
    if (time == TimePointZero) {
      const CompactFrameID id = lookup_frame_number_locked(target_frame);
      if (id != 0 && frames_[id]) {
        time_out = frames_[id]->latest_timestamp();
      }
    }
    return to_msg(Vec3::Zero(), Quat::Identity(), time_out, target_frame, source_frame);
  }

  const CompactFrameID target_id =
      validate_frame_id_locked("lookupTransform argument target_frame", target_frame);
  const CompactFrameID source_id =
      validate_frame_id_locked("lookupTransform argument source_frame", source_frame);

  std::string error_string;
  Accum accum;
  const TF2Error retval =
      walk_to_top_parent_locked(accum, time, target_id, source_id, &error_string);
  switch (retval) {
    case TF2Error::TF2_NO_ERROR:
      break;
    case TF2Error::TF2_CONNECTIVITY_ERROR:
      throw ConnectivityException(error_string);
    case TF2Error::TF2_EXTRAPOLATION_ERROR:
      throw ExtrapolationException(error_string);
    case TF2Error::TF2_LOOKUP_ERROR:
      throw LookupException(error_string);
    default:
      throw TransformException(error_string);
  }
  return to_msg(accum.result_vec, accum.result_quat, accum.time, target_frame, source_frame);
}

geometry_msgs::msg::TransformStamped BufferCore::lookupTransform(
    const std::string & target_frame, const TimePoint & target_time,
    const std::string & source_frame, const TimePoint & source_time,
    const std::string & fixed_frame) const
{
  {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    validate_frame_id_locked("lookupTransform argument target_frame", target_frame);
    validate_frame_id_locked("lookupTransform argument source_frame", source_frame);
    validate_frame_id_locked("lookupTransform argument fixed_frame", fixed_frame);
  }
  const auto source_to_fixed = lookupTransform(fixed_frame, source_frame, source_time);
  const auto fixed_to_target = lookupTransform(target_frame, fixed_frame, target_time);

  const auto to_eigen = [](const geometry_msgs::msg::TransformStamped & m) {
    const auto & r = m.transform.rotation;
    const auto & t = m.transform.translation;
    return std::make_pair(Quat(r.w, r.x, r.y, r.z), Vec3(t.x, t.y, t.z));
  };
  const auto a = to_eigen(source_to_fixed);
  const auto b = to_eigen(fixed_to_target);
  const Quat q = b.first * a.first;
  const Vec3 v = b.first * a.second + b.second;

  auto msg = to_msg(v, q, TimePointZero, target_frame, source_frame);
  msg.header.stamp = fixed_to_target.header.stamp;
  return msg;
}

bool BufferCore::canTransform(const std::string & target_frame, const std::string & source_frame,
                              const TimePoint & time, std::string * error_msg) const
{
  if (target_frame == source_frame) {
    return true;
  }
  if (warn_frame_id("canTransform argument target_frame", target_frame) ||
      warn_frame_id("canTransform argument source_frame", source_frame)) {
    return false;
  }

  std::lock_guard<std::mutex> lock(frame_mutex_);
  const CompactFrameID target_id = lookup_frame_number_locked(target_frame);
  const CompactFrameID source_id = lookup_frame_number_locked(source_frame);
  if (target_id == 0 || source_id == 0) {
    if (error_msg) {
      if (target_id == 0) {
        *error_msg += "canTransform: target_frame " + target_frame + " does not exist.";
      }
      if (source_id == 0) {
        if (target_id == 0) {
          *error_msg += " ";
        }
        *error_msg += "canTransform: source_frame " + source_frame + " does not exist.";
      }
    }
    return false;
  }
  Accum accum;
  return walk_to_top_parent_locked(accum, time, target_id, source_id, error_msg) ==
         TF2Error::TF2_NO_ERROR;
}

bool BufferCore::canTransform(const std::string & target_frame, const TimePoint & target_time,
                              const std::string & source_frame, const TimePoint & source_time,
                              const std::string & fixed_frame, std::string * error_msg) const
{
  return canTransform(target_frame, fixed_frame, target_time, error_msg) &&
         canTransform(fixed_frame, source_frame, source_time, error_msg);
}

std::vector<std::string> BufferCore::getAllFrameNames() const
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  return std::vector<std::string>(frame_ids_reverse_.begin() + 1, frame_ids_reverse_.end());
}

std::string BufferCore::allFramesAsString() const
{
  std::lock_guard<std::mutex> lock(frame_mutex_);
  return all_frames_as_string_locked();
}
}  // namespace tf2
