// Whole frame cycles through the in-process graph: inputs published like camera drivers do,
// the host NPU runtime detecting painted objects, outputs read from the topics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <pcl_conversions/pcl_conversions.h>

#include "rcutils/logging.h"
#include "support/frame_cycle_fixture.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_cv_model
{
namespace
{

using namespace std::chrono_literals;
using testing::FloorBox;
using veltrax_harness::LogCapture;
using veltrax_harness::Probe;
using veltrax_harness::RosSession;

using FrameCycle = testing::FrameCycleFixture;
using testing::kBottle;
using testing::kObstacle;
using testing::kPaper;
using testing::kPerson;

// Distance in the floor plane from (x, y) to the footprint rectangle of `box` (0 inside).
double distance_to_footprint(const FloorBox & box, double x, double y)
{
  const double dx = std::max({box.x_min - x, 0.0, x - box.x_max});
  const double dy = std::max({box.y_min - y, 0.0, y - box.y_max});
  return std::hypot(dx, dy);
}

TEST_F(FrameCycle, PublishesFootprintOutlinesOfTheDetectedObjects)
{
  LogCapture log;
  start();
  publish_transforms();
  publish_infos();
  // Colour 1, depth 1, colour 2, depth 2 stamps: depth 1 is the newest.
  publish_images({kObstacle, kBottle, kPerson, kPaper}, {-0.4, -0.1, -0.2, -0.3});
  ASSERT_TRUE(wait_for_outline()) << "no outline published";

  const sensor_msgs::msg::PointCloud2 msg = probe_->obstacle_clouds().front();
  EXPECT_EQ(msg.header.frame_id, "base_footprint");
  // The cycle stamp travels through seconds as a double: exact to well under a microsecond.
  const rclcpp::Time newest = rclcpp::Time(last_depth1_stamp_);
  EXPECT_NEAR(rclcpp::Time(msg.header.stamp).nanoseconds(), newest.nanoseconds(), 1000);
  EXPECT_LT(msg.header.stamp.nanosec, 1000000000u);

  pcl::PointCloud<pcl::PointXYZ> outline;
  pcl::fromROSMsg(msg, outline);
  ASSERT_GT(outline.size(), 20u);
  std::size_t near_obstacle_front = 0;
  for (const pcl::PointXYZ & p : outline) {
    ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y));
    EXPECT_EQ(p.z, 0.0f);
    const double nearest = std::min({distance_to_footprint(kObstacle, p.x, p.y),
                                     distance_to_footprint(kBottle, p.x, p.y),
                                     distance_to_footprint(kPerson, p.x, p.y)});
    EXPECT_LT(nearest, 0.1) << "outline point " << p.x << ", " << p.y << " belongs to nothing";
    if (std::abs(p.x - kObstacle.x_min) < 0.05 && p.y > -0.2 && p.y < 0.2) ++near_obstacle_front;
  }
  // The face the cameras see is outlined along its whole width (5 cm spacing, 0.4 m).
  EXPECT_GE(near_obstacle_front, 6u);
  EXPECT_EQ(log.count("cluster method except!"), 0u);
}

TEST_F(FrameCycle, ReportsCameraOneLitterAndNearbyPersonsWithCropsAndFloorPositions)
{
  start();
  publish_transforms();
  publish_infos();
  publish_images({kObstacle, kBottle, kPerson, kPaper});
  ASSERT_TRUE(veltrax_harness::spin_until(
      *executor_, [&] { return !probe_->trashes().empty() && !probe_->persons().empty(); }, 60s));

  const veltrax_protocol::msg::Trashes trashes = probe_->trashes().front();
  EXPECT_EQ(trashes.header.frame_id, "");
  EXPECT_EQ(trashes.header.stamp.sec, 0);
  ASSERT_EQ(trashes.trashes.size(), 1u);  // the bottle; paper and obstacles are not reported
  const veltrax_protocol::msg::Trash & bottle = trashes.trashes[0];
  // Bottom centre of the box: the bottle's front edge on the floor.
  EXPECT_NEAR(bottle.x, kBottle.x_min, 0.05);
  EXPECT_NEAR(bottle.y, 0.5 * (kBottle.y_min + kBottle.y_max), 0.05);
  EXPECT_EQ(bottle.image.encoding, "rgb8");
  EXPECT_EQ(bottle.image.header.frame_id, "");
  EXPECT_EQ(bottle.image.header.stamp, last_depth1_stamp_);
  ASSERT_GT(bottle.image.width * bottle.image.height, 0u);
  // The crop shows the bottle's key colour.
  const auto bottle_rgb = kBottle.rgb;
  const std::size_t centre =
      (bottle.image.height / 2) * bottle.image.step + (bottle.image.width / 2) * 3;
  EXPECT_EQ(bottle.image.data[centre], bottle_rgb[0]);
  EXPECT_EQ(bottle.image.data[centre + 1], bottle_rgb[1]);
  EXPECT_EQ(bottle.image.data[centre + 2], bottle_rgb[2]);

  const veltrax_protocol::msg::Trashes persons = probe_->persons().front();
  ASSERT_EQ(persons.trashes.size(), 1u);
  EXPECT_NEAR(persons.trashes[0].x, kPerson.x_min, 0.05);
  // The box also holds the person's visible side, so its bottom centre lies off the front
  // face's middle, but on the footprint.
  EXPECT_GT(persons.trashes[0].y, kPerson.y_min);
  EXPECT_LT(persons.trashes[0].y, kPerson.y_max);
}

// Regression: pixels without a depth reading became points at the camera's optical centre; with
// camera 1's crop starting at 0 they survived, and outlines reached back to the robot while a
// report whose bottom-centre pixel had no depth was placed at the camera.
TEST_F(FrameCycle, PixelsWithoutDepthBecomeNeitherObstaclesNorReports)
{
  LogCapture log;
  // No splitting: a stray point at a camera would stay in its object's footprint.
  start({"-p", "camera1_min:=0.0", "-p", "camera2_min:=0.0", "-p", "merge_dis:=5.0"});
  publish_transforms();
  publish_infos();
  std::array<testing::RenderedFrame, 2> frames = render_both({kObstacle, kBottle});
  // A fifth of all depth pixels missing (seeded), and the bottle's floor contact entirely.
  std::mt19937 random(13);
  std::bernoulli_distribution hole(0.2);
  for (testing::RenderedFrame & frame : frames) {
    for (std::size_t i = 0; i + 1 < frame.depth.data.size(); i += 2) {
      if (hole(random)) frame.depth.data[i] = frame.depth.data[i + 1] = 0;
    }
  }
  // The bottle's foot lies below the image: its box, and so its bottom centre, ends on the last
  // row.
  const Eigen::Vector2d contact =
      testing::cycle_camera1().project({kBottle.x_min, 0.5 * (kBottle.y_min + kBottle.y_max), 0.0});
  const int last_row = static_cast<int>(frames[0].depth.height) - 1;
  const int contact_row = std::min(static_cast<int>(contact.y()), last_row);
  for (int v = contact_row - 6; v <= std::min(contact_row + 6, last_row); ++v) {
    for (int u = static_cast<int>(contact.x()) - 6; u <= static_cast<int>(contact.x()) + 6; ++u) {
      std::memset(&frames[0].depth.data[v * frames[0].depth.step + 2 * u], 0, 2);
    }
  }
  publish_frames(frames);
  ASSERT_TRUE(wait_for_outline(3));

  for (const sensor_msgs::msg::PointCloud2 & msg : probe_->obstacle_clouds()) {
    pcl::PointCloud<pcl::PointXYZ> outline;
    pcl::fromROSMsg(msg, outline);
    EXPECT_GT(outline.size(), 20u);
    for (const pcl::PointXYZ & p : outline) {
      for (const testing::ForwardCamera & camera :
           {testing::cycle_camera1(), testing::cycle_camera2()}) {
        EXPECT_GT(std::hypot(p.x - camera.x, p.y - camera.y), 0.25)
            << "outline point " << p.x << ", " << p.y << " at camera " << camera.frame_id;
      }
    }
  }
  EXPECT_TRUE(probe_->trashes().empty());
  EXPECT_EQ(log.count("web worker: no depth reading at a box's bottom centre; that report is "
                      "skipped"),
            1u);
}

TEST_F(FrameCycle, PublishesAnEmptyOutlineWhenNothingIsDetected)
{
  start({"-p", "debug:=true"});
  publish_transforms();
  publish_infos();
  publish_images({});
  ASSERT_TRUE(wait_for_outline());
  const sensor_msgs::msg::PointCloud2 msg = probe_->obstacle_clouds().front();
  EXPECT_EQ(msg.header.frame_id, "base_footprint");
  EXPECT_EQ(msg.width, 0u);
  EXPECT_TRUE(msg.data.empty());
  // With debug, both cameras' detection clouds come every cycle, empty or not.
  ASSERT_TRUE(veltrax_harness::spin_until(*executor_, [&] {
    return !probe_->debug_clouds(1).empty() && !probe_->debug_clouds(2).empty();
  }));
  EXPECT_EQ(probe_->debug_clouds(1).front().header.frame_id, "base_footprint");
  EXPECT_EQ(probe_->debug_clouds(2).front().width, 0u);
}

TEST_F(FrameCycle, PublishesOverlaysWithDrawResultAndDebug)
{
  start({"-p", "debug:=true", "-p", "draw_result:=true"});
  publish_transforms();
  publish_infos();
  publish_images({kObstacle, kPaper});
  ASSERT_TRUE(veltrax_harness::spin_until(
      *executor_, [&] { return !probe_->overlays(1).empty() && !probe_->overlays(2).empty(); }));
  const sensor_msgs::msg::Image overlay = probe_->overlays(1).front();
  EXPECT_EQ(overlay.encoding, "bgr8");
  EXPECT_EQ(overlay.header.frame_id, "");
  EXPECT_EQ(overlay.header.stamp.sec, 0);
  EXPECT_EQ(overlay.width, 640u);
  EXPECT_EQ(overlay.height, 480u);
  // A red box (B, G, R = 0, 0, 255) is drawn around the obstacle; the paper stays undrawn.
  const Eigen::Vector2d obstacle_corner =
      testing::cycle_camera1().project({kObstacle.x_min, kObstacle.y_max, kObstacle.height});
  const Eigen::Vector2d paper_corner =
      testing::cycle_camera1().project({kPaper.x_min, kPaper.y_max, 0.0});
  auto red_near = [&](const Eigen::Vector2d & pixel) {
    for (int dv = -4; dv <= 4; ++dv) {
      for (int du = -4; du <= 4; ++du) {
        const int u = static_cast<int>(pixel.x()) + du;
        const int v = static_cast<int>(pixel.y()) + dv;
        if (u < 0 || v < 0 || u >= 640 || v >= 480) continue;
        const uint8_t * bgr = &overlay.data[v * overlay.step + u * 3];
        if (bgr[0] == 0 && bgr[1] == 0 && bgr[2] == 255) return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(red_near(obstacle_corner));
  EXPECT_FALSE(red_near(paper_corner));
}

TEST_F(FrameCycle, RetriesMissingTransformsUntilTheyArrive)
{
  LogCapture log;
  start();
  publish_infos();
  publish_images({kObstacle});
  ASSERT_TRUE(veltrax_harness::spin_until(
      *executor_, [&] { return log.count("Transform camera_1 error of sensor data: ") >= 1; }));
  veltrax_harness::spin_for(*executor_, 300ms);
  EXPECT_EQ(log.count("Transform camera_1 error of sensor data: "), 1u);
  EXPECT_EQ(log.count(", quitting callback"), 1u);
  EXPECT_TRUE(probe_->obstacle_clouds().empty());

  publish_transforms(false);
  ASSERT_TRUE(veltrax_harness::spin_until(
      *executor_, [&] { return log.count("Transform2 camera_2 error of sensor data: ") >= 1; }));
  EXPECT_TRUE(probe_->obstacle_clouds().empty());

  publish_transforms(true);
  publish_images({kObstacle});
  ASSERT_TRUE(wait_for_outline());
}

TEST_F(FrameCycle, WaitsForCameraInfoWithoutFloodingTheLog)
{
  LogCapture log;
  start();
  publish_transforms();
  publish_images({kObstacle});
  veltrax_harness::spin_for(*executor_, 800ms);
  EXPECT_EQ(log.count("waiting for camera info"), 1u);
  EXPECT_TRUE(probe_->obstacle_clouds().empty());

  publish_infos();
  publish_images({kObstacle});
  EXPECT_TRUE(wait_for_outline());
}

TEST_F(FrameCycle, StopsCleanlyOnCtrlCAtAnyPointOfACycle)
{
  // SIGINT at moments spread over the first cycles: before the first tick, during detection,
  // while the workers build clouds, during clustering. Spinning must end and the node must come
  // apart with its workers joined, whatever they were doing.
  for (const int delay_ms : {0, 30, 60, 95, 110, 130, 160, 200, 260, 330}) {
    SCOPED_TRACE(delay_ms);
    start();
    publish_transforms();
    publish_infos();
    publish_images({kObstacle, kBottle, kPerson});
    std::thread spinner([this] { executor_->spin(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    std::raise(SIGINT);
    spinner.join();
    EXPECT_FALSE(rclcpp::ok());
    TearDown();
  }
}

}  // namespace
}  // namespace veltrax_cv_model
