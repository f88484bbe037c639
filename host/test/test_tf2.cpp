// tf2 BufferCore stand-in: tree chaining, latest common time, interpolation, cache pruning,
// input rejection and the exception types and texts that the node's error log repeats.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "pcl_ros/transforms.hpp"
#include "tf2/buffer_core.h"
#include "tf2/exceptions.h"
#include "tf2/time.h"

namespace
{
constexpr double kPi = 3.14159265358979323846;

geometry_msgs::msg::TransformStamped make_tf(const std::string & parent, const std::string & child,
                                             double stamp_s, Eigen::Vector3d t, double yaw_rad = 0)
{
  geometry_msgs::msg::TransformStamped msg;
  msg.header.frame_id = parent;
  msg.child_frame_id = child;
  msg.header.stamp.sec = static_cast<int32_t>(std::floor(stamp_s));
  msg.header.stamp.nanosec =
      static_cast<uint32_t>(std::lround((stamp_s - std::floor(stamp_s)) * 1e9));
  msg.transform.translation.x = t.x();
  msg.transform.translation.y = t.y();
  msg.transform.translation.z = t.z();
  msg.transform.rotation.z = std::sin(yaw_rad / 2);
  msg.transform.rotation.w = std::cos(yaw_rad / 2);
  return msg;
}

Eigen::Vector3d apply(const geometry_msgs::msg::TransformStamped & tf, const Eigen::Vector3d & p)
{
  const auto & r = tf.transform.rotation;
  const auto & t = tf.transform.translation;
  return Eigen::Quaterniond(r.w, r.x, r.y, r.z) * p + Eigen::Vector3d(t.x, t.y, t.z);
}

double stamp_s(const geometry_msgs::msg::TransformStamped & tf)
{
  return tf.header.stamp.sec + tf.header.stamp.nanosec * 1e-9;
}

template <typename E>
std::string thrown_text(const tf2::BufferCore & buffer, const std::string & target,
                        const std::string & source, tf2::TimePoint time)
{
  try {
    buffer.lookupTransform(target, source, time);
  } catch (const E & e) {
    return e.what();
  } catch (const std::exception & e) {
    return std::string("wrong exception type: ") + e.what();
  }
  return "<no exception>";
}

void expect_near(const Eigen::Vector3d & actual, const Eigen::Vector3d & expected)
{
  EXPECT_NEAR(actual.x(), expected.x(), 1e-9);
  EXPECT_NEAR(actual.y(), expected.y(), 1e-9);
  EXPECT_NEAR(actual.z(), expected.z(), 1e-9);
}

// map -> odom (1 0 0, yaw 90 deg) -> base (0 2 0) -> camera1 (0 0 1, static)
//                                              \-> camera2 (0.5 0 0, yaw 180 deg, static)
class Tf2Tree : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ASSERT_TRUE(buffer.setTransform(make_tf("map", "odom", 1.0, {1, 0, 0}, kPi / 2), "test"));
    ASSERT_TRUE(buffer.setTransform(make_tf("odom", "base", 1.0, {0, 2, 0}), "test"));
    ASSERT_TRUE(buffer.setTransform(make_tf("base", "camera1", 0.0, {0, 0, 1}), "test", true));
    ASSERT_TRUE(
        buffer.setTransform(make_tf("base", "camera2", 0.0, {0.5, 0, 0}, kPi), "test", true));
  }

  tf2::BufferCore buffer;
};
}  // namespace

TEST_F(Tf2Tree, ChainsThroughAncestorsInBothDirections)
{
  // Camera 1's origin sits at base (0 0 1), odom (0 2 1), map R(90)(0 2 1) + (1 0 0).
  const auto map_from_cam1 = buffer.lookupTransform("map", "camera1", tf2::TimePointZero);
  EXPECT_EQ(map_from_cam1.header.frame_id, "map");
  EXPECT_EQ(map_from_cam1.child_frame_id, "camera1");
  expect_near(apply(map_from_cam1, {0, 0, 0}), {-1, 0, 1});
  expect_near(apply(map_from_cam1, {1, 0, 0}), {-1, 1, 1});
  EXPECT_NEAR(map_from_cam1.transform.rotation.z, std::sin(kPi / 4), 1e-9);

  const auto cam1_from_map = buffer.lookupTransform("camera1", "map", tf2::TimePointZero);
  expect_near(apply(cam1_from_map, {-1, 0, 1}), {0, 0, 0});
  expect_near(apply(cam1_from_map, apply(map_from_cam1, {3, -2, 5})), {3, -2, 5});

  // Siblings meet at their common parent: camera2 is turned half way round, 0.5 m ahead.
  const auto cam1_from_cam2 = buffer.lookupTransform("camera1", "camera2", tf2::TimePointZero);
  expect_near(apply(cam1_from_cam2, {0, 0, 0}), {0.5, 0, -1});
  expect_near(apply(cam1_from_cam2, {1, 0, 0}), {-0.5, 0, -1});

  // The matrix form maps the same points.
  Eigen::Matrix4f m;
  pcl_ros::transformAsMatrix(map_from_cam1, m);
  const Eigen::Vector4f p = m * Eigen::Vector4f(1, 0, 0, 1);
  EXPECT_NEAR(p.x(), -1.0f, 1e-6f);
  EXPECT_NEAR(p.y(), 1.0f, 1e-6f);
  EXPECT_NEAR(p.z(), 1.0f, 1e-6f);
}

TEST_F(Tf2Tree, LatestTimeIsTheNewestCommonToTheChain)
{
  ASSERT_TRUE(buffer.setTransform(make_tf("odom", "base", 2.0, {0, 2, 0}), "test"));
  ASSERT_TRUE(buffer.setTransform(make_tf("odom", "base", 3.0, {0, 2, 0}), "test"));
  ASSERT_TRUE(buffer.setTransform(make_tf("map", "odom", 2.5, {1, 0, 0}, kPi / 2), "test"));

  EXPECT_DOUBLE_EQ(stamp_s(buffer.lookupTransform("map", "base", tf2::TimePointZero)), 2.5);
  EXPECT_DOUBLE_EQ(stamp_s(buffer.lookupTransform("base", "map", tf2::TimePointZero)), 2.5);
  // Static links do not constrain the time.
  EXPECT_DOUBLE_EQ(stamp_s(buffer.lookupTransform("odom", "camera1", tf2::TimePointZero)), 3.0);
  // Only static links: time zero.
  EXPECT_DOUBLE_EQ(stamp_s(buffer.lookupTransform("camera1", "camera2", tf2::TimePointZero)), 0.0);
  // Same frame: its latest stamp; unknown frames are not checked.
  EXPECT_DOUBLE_EQ(stamp_s(buffer.lookupTransform("base", "base", tf2::TimePointZero)), 3.0);
  const auto unknown = buffer.lookupTransform("nowhere", "nowhere", tf2::timeFromSec(7.0));
  EXPECT_DOUBLE_EQ(stamp_s(unknown), 7.0);
  EXPECT_EQ(unknown.transform.rotation.w, 1.0);
}

TEST_F(Tf2Tree, InterpolatesTranslationLinearlyAndRotationBySlerp)
{
  ASSERT_TRUE(buffer.setTransform(make_tf("odom", "base", 3.0, {2, 4, 0}, kPi / 2), "test"));
  const auto mid = buffer.lookupTransform("odom", "base", tf2::timeFromSec(2.0));
  EXPECT_DOUBLE_EQ(stamp_s(mid), 2.0);
  EXPECT_NEAR(mid.transform.translation.x, 1.0, 1e-9);
  EXPECT_NEAR(mid.transform.translation.y, 3.0, 1e-9);
  EXPECT_NEAR(mid.transform.rotation.z, std::sin(kPi / 8), 1e-9);
  EXPECT_NEAR(mid.transform.rotation.w, std::cos(kPi / 8), 1e-9);

  const auto quarter = buffer.lookupTransform("odom", "base", tf2::timeFromSec(1.5));
  EXPECT_NEAR(quarter.transform.translation.x, 0.5, 1e-9);
  EXPECT_NEAR(quarter.transform.rotation.z, std::sin(kPi / 16), 1e-9);

  // A static link answers at any requested time.
  EXPECT_DOUBLE_EQ(stamp_s(buffer.lookupTransform("base", "camera1", tf2::timeFromSec(99))), 99);
}

TEST_F(Tf2Tree, ThrowsTf2ExceptionsWithTf2Texts)
{
  ASSERT_TRUE(buffer.setTransform(make_tf("map", "odom", 3.0, {1, 0, 0}, kPi / 2), "test"));
  ASSERT_TRUE(buffer.setTransform(make_tf("world", "island", 1.0, {0, 0, 0}), "test"));

  EXPECT_EQ(thrown_text<tf2::InvalidArgumentException>(buffer, "", "base", tf2::TimePointZero),
            "Invalid argument \"\" passed to lookupTransform argument target_frame - in tf2 "
            "frame_ids cannot be empty");
  EXPECT_EQ(thrown_text<tf2::InvalidArgumentException>(buffer, "map", "/base", tf2::TimePointZero),
            "Invalid argument \"/base\" passed to lookupTransform argument source_frame - in tf2 "
            "frame_ids cannot start with a '/'");
  EXPECT_EQ(thrown_text<tf2::LookupException>(buffer, "base_footprint", "base", tf2::TimePointZero),
            "\"base_footprint\" passed to lookupTransform argument target_frame does not exist. ");
  EXPECT_EQ(thrown_text<tf2::LookupException>(buffer, "map", "camera9", tf2::TimePointZero),
            "\"camera9\" passed to lookupTransform argument source_frame does not exist. ");
  EXPECT_EQ(thrown_text<tf2::ConnectivityException>(buffer, "map", "island", tf2::TimePointZero),
            "Could not find a connection between 'map' and 'island' because they are not part of "
            "the same tree.Tf has two or more unconnected trees.");
  EXPECT_EQ(thrown_text<tf2::ExtrapolationException>(buffer, "map", "odom", tf2::timeFromSec(4)),
            "Lookup would require extrapolation into the future.  Requested time 4.000000 but the "
            "latest data is at time 3.000000, when looking up transform from frame [odom] to "
            "frame [map]");
  EXPECT_EQ(thrown_text<tf2::ExtrapolationException>(buffer, "map", "odom", tf2::timeFromSec(0.5)),
            "Lookup would require extrapolation into the past.  Requested time 0.500000 but the "
            "earliest data is at time 1.000000, when looking up transform from frame [odom] to "
            "frame [map]");
  EXPECT_EQ(
      thrown_text<tf2::ExtrapolationException>(buffer, "world", "island", tf2::timeFromSec(2)),
      "Lookup would require extrapolation at time 2.000000, but only time 1.000000 is in the "
      "buffer, when looking up transform from frame [island] to frame [world]");
  // A failing link on the target side is reported the same way.
  EXPECT_EQ(thrown_text<tf2::ExtrapolationException>(buffer, "camera1", "map", tf2::timeFromSec(2)),
            "Lookup would require extrapolation at time 2.000000, but only time 1.000000 is in the "
            "buffer, when looking up transform from frame [map] to frame [camera1]");

  // Every one of them is a TransformException, which is what callers catch.
  EXPECT_THROW(buffer.lookupTransform("map", "island", tf2::TimePointZero),
               tf2::TransformException);

  std::string error;
  EXPECT_FALSE(buffer.canTransform("map", "island", tf2::TimePointZero, &error));
  EXPECT_NE(error.find("Could not find a connection between 'map' and 'island'"),
            std::string::npos);
  error.clear();
  EXPECT_FALSE(buffer.canTransform("ghost", "phantom", tf2::TimePointZero, &error));
  EXPECT_EQ(error,
            "canTransform: target_frame ghost does not exist. canTransform: source_frame phantom "
            "does not exist.");
  EXPECT_FALSE(buffer.canTransform("", "base", tf2::TimePointZero));
  EXPECT_TRUE(buffer.canTransform("map", "camera2", tf2::TimePointZero));
}

TEST(Tf2BufferCore, RejectsMalformedTransforms)
{
  tf2::BufferCore buffer;
  auto nan_tf = make_tf("map", "odom", 1, {0, 0, 0});
  nan_tf.transform.translation.y = std::nan("");
  auto zero_quaternion = make_tf("map", "odom", 1, {0, 0, 0});
  zero_quaternion.transform.rotation.w = 0;
  struct Case
  {
    const char * name;
    geometry_msgs::msg::TransformStamped tf;
  };
  const std::vector<Case> cases = {
      {"self transform", make_tf("map", "map", 1, {0, 0, 0})},
      {"self transform after stripping", make_tf("/map", "map", 1, {0, 0, 0})},
      {"no child", make_tf("map", "", 1, {0, 0, 0})},
      {"no parent", make_tf("", "odom", 1, {0, 0, 0})},
      {"nan", nan_tf},
      {"zero quaternion", zero_quaternion},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(buffer.setTransform(c.tf, "test"));
  }
  EXPECT_TRUE(buffer.getAllFrameNames().empty());

  // Leading slashes are stripped; an unnormalised quaternion is normalised.
  auto scaled = make_tf("/map", "/odom", 1, {0, 0, 0}, kPi / 2);
  scaled.transform.rotation.z *= 3;
  scaled.transform.rotation.w *= 3;
  ASSERT_TRUE(buffer.setTransform(scaled, "test"));
  const auto out = buffer.lookupTransform("map", "odom", tf2::TimePointZero);
  EXPECT_NEAR(out.transform.rotation.z, std::sin(kPi / 4), 1e-12);
  EXPECT_EQ(buffer.getAllFrameNames(), (std::vector<std::string>{"odom", "map"}));
  EXPECT_EQ(buffer.allFramesAsString(), "Frame odom exists with parent map.\n");
}

TEST(Tf2BufferCore, PrunesDynamicDataOlderThanTheCacheAndKeepsStaticOnClear)
{
  tf2::BufferCore buffer(std::chrono::seconds(10));
  ASSERT_TRUE(buffer.setTransform(make_tf("odom", "base", 100, {0, 0, 0}), "test"));
  ASSERT_TRUE(buffer.setTransform(make_tf("odom", "base", 105, {5, 0, 0}), "test"));
  // Older than the newest sample by more than the cache time: refused.
  EXPECT_FALSE(buffer.setTransform(make_tf("odom", "base", 94, {0, 0, 0}), "test"));
  EXPECT_NEAR(buffer.lookupTransform("odom", "base", tf2::timeFromSec(102)).transform.translation.x,
              2.0, 1e-9);

  ASSERT_TRUE(buffer.setTransform(make_tf("odom", "base", 112, {12, 0, 0}), "test"));
  EXPECT_THROW(buffer.lookupTransform("odom", "base", tf2::timeFromSec(101)),
               tf2::ExtrapolationException);
  EXPECT_NEAR(buffer.lookupTransform("odom", "base", tf2::timeFromSec(106)).transform.translation.x,
              6.0, 1e-9);

  ASSERT_TRUE(buffer.setTransform(make_tf("base", "camera1", 0, {0, 0, 1}), "test", true));
  buffer.clear();
  EXPECT_NO_THROW(buffer.lookupTransform("base", "camera1", tf2::TimePointZero));
  EXPECT_THROW(buffer.lookupTransform("odom", "base", tf2::TimePointZero), tf2::TransformException);
  EXPECT_EQ(buffer.getAllFrameNames().size(), 3u);
}

TEST(Tf2BufferCore, LookupsRunWhileAnotherThreadWrites)
{
  tf2::BufferCore buffer;
  ASSERT_TRUE(buffer.setTransform(make_tf("base", "camera1", 0, {0, 0, 1}), "test", true));
  ASSERT_TRUE(buffer.setTransform(make_tf("odom", "base", 1.0, {1, 0, 0}), "test"));
  std::atomic<bool> done{false};
  std::thread writer([&]() {
    for (int i = 1; i <= 300; ++i) {
      buffer.setTransform(make_tf("odom", "base", 1.0 + i * 0.01, {1.0 + i, 0, 0}), "writer");
    }
    done.store(true, std::memory_order_release);
  });
  int lookups = 0;
  double last_x = 0;
  while (!done.load(std::memory_order_acquire) || lookups == 0) {
    const auto tf = buffer.lookupTransform("odom", "camera1", tf2::TimePointZero);
    EXPECT_GE(tf.transform.translation.x, last_x);
    last_x = tf.transform.translation.x;
    ++lookups;
  }
  writer.join();
  EXPECT_DOUBLE_EQ(
      buffer.lookupTransform("odom", "camera1", tf2::TimePointZero).transform.translation.x, 301.0);
}

TEST(Tf2Time, ConvertsSecondsLikeTf2)
{
  EXPECT_EQ(tf2::durationFromSec(1.5), std::chrono::milliseconds(1500));
  EXPECT_EQ(tf2::durationFromSec(-0.25), std::chrono::milliseconds(-250));
  EXPECT_DOUBLE_EQ(tf2::timeToSec(tf2::timeFromSec(12.000000001)), 12.000000001);
  EXPECT_EQ(tf2::displayTimePoint(tf2::timeFromSec(3.25)), "3.250000");
  EXPECT_EQ(tf2::TimePointZero.time_since_epoch().count(), 0);
}
