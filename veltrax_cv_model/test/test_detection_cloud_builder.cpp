// One camera's detection clouds: which detections become clouds and whether they keep their
// floor points, the smallest cloud kept, frames refused whole, and the voxel-overflow flag.
#include "veltrax_cv_model/detection_cloud_builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "support/rgbd_frames.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using test::DepthFrame;

// The defaults of the node's ground_removal parameters.
const GroundRemovalParams kGround{0.2, 5.0, -0.15, 0.15, 0.025, 0.3, 0.5, 0.05, 0.2, 5};
enum Class { kPaper = 0, kMask = 1, kObstacle = 3, kBottle = 4, kBlood = 5, kPerson = 6 };

DetectedObject box(int class_id, int left, int top, int right, int bottom)
{
  return DetectedObject{class_id, left, top, right, bottom, 0.9f};
}

// Pixel boxes of the bleach bottle and the milk carton standing on the carpet of the recorded
// milk_cartoon frame.
DetectedObject bleach(int class_id) { return box(class_id, 398, 66, 500, 262); }
DetectedObject carton(int class_id) { return box(class_id, 230, 55, 328, 235); }

// The recorded frame as camera 1 sees it (crop 0 .. 3 m).
struct RecordedView
{
  test::RecordedScene milk = test::load_recorded_scene("milk_cartoon");
  CameraView view{test::kinect_intrinsics(), 0.0f, 3.0f, milk.camera_to_base};

  std::vector<Cloud> build(const DetectionCloudBuilder & builder,
                           const std::vector<DetectedObject> & detections,
                           CloudBuildReport * report = nullptr,
                           const RegionObserver & observe = {}) const
  {
    std::vector<Cloud> clouds(2);  // stale clouds of an earlier frame
    const CloudBuildReport r =
        builder.build(milk.depth.view(), milk.depth.width, detections, view, clouds, observe);
    if (report != nullptr) *report = r;
    return clouds;
  }
};

bool same_points(const Cloud & a, const Cloud & b)
{
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const auto & p, const auto & q) {
           return p.getVector3fMap() == q.getVector3fMap();
         });
}

// True when every point of `part` appears in `whole`, in the same order.
bool is_subsequence(const Cloud & part, const Cloud & whole)
{
  auto it = whole.begin();
  for (const auto & p : part) {
    it = std::find_if(it, whole.end(),
                      [&](const auto & q) { return q.getVector3fMap() == p.getVector3fMap(); });
    if (it == whole.end()) return false;
    ++it;
  }
  return true;
}

std::size_t count_below(const Cloud & cloud, float z_m)
{
  return std::count_if(cloud.begin(), cloud.end(), [&](const auto & p) { return p.z < z_m; });
}

TEST(DetectionCloudBuilder, ClassDecidesTheCloudAndWhetherItKeepsItsFloorPoints)
{
  const RecordedView recorded;
  const DetectionCloudBuilder builder({0.01f, kGround});
  auto single = [&](const DetectedObject & detection) {
    const std::vector<Cloud> clouds = recorded.build(builder, {detection});
    return clouds.size() == 1 ? clouds[0] : Cloud();
  };
  const Cloud bottle = single(bleach(kBottle));
  const Cloud obstacle = single(bleach(kObstacle));
  const Cloud person = single(carton(kPerson));
  EXPECT_TRUE(same_points(single(bleach(kBlood)), bottle));
  EXPECT_TRUE(same_points(single(bleach(kPerson)), obstacle));

  // Litter keeps the carpet around the bleach bottle (about 0.27 m tall); obstacles and persons
  // lose every point near the floor and nothing higher up.
  EXPECT_GT(count_below(bottle, 0.015f), 50u);
  for (const Cloud * standing : {&obstacle, &person}) {
    EXPECT_EQ(count_below(*standing, 0.015f), 0u);
    EXPECT_GT(standing->size(), 300u);
  }
  EXPECT_TRUE(is_subsequence(obstacle, bottle));
  EXPECT_EQ(bottle.size() - count_below(bottle, 0.06f),
            obstacle.size() - count_below(obstacle, 0.06f));
  EXPECT_GT(std::max_element(obstacle.begin(), obstacle.end(),
                             [](auto & p, auto & q) { return p.z < q.z; })
                ->z,
            0.22f);

  // In one frame: unoutlined and unknown classes and the all-zero box leave no gap, order is
  // kept, and only the scene and the boxes that are built are back-projected.
  std::vector<int> observed_lefts;
  const std::vector<Cloud> mixed =
      recorded.build(builder,
                     {bleach(kPaper), bleach(kBottle), bleach(kMask), box(kObstacle, 0, 0, 0, 0),
                      bleach(kObstacle), bleach(8), carton(kPerson)},
                     nullptr, [&](const PixelRect & r) { observed_lefts.push_back(r.left); });
  ASSERT_EQ(mixed.size(), 3u);
  EXPECT_TRUE(same_points(mixed[0], bottle));
  EXPECT_TRUE(same_points(mixed[1], obstacle));
  EXPECT_TRUE(same_points(mixed[2], person));
  EXPECT_EQ(observed_lefts, (std::vector<int>{0, 398, 398, 230}));
  EXPECT_TRUE(recorded.build(builder, {box(kObstacle, 0, 0, 0, 0), bleach(kPaper)}).empty());
}

TEST(DetectionCloudBuilder, KeepsADetectionCloudOnlyWithMoreThanFivePoints)
{
  const DetectionCloudBuilder builder({0.001f, kGround});
  const CameraView view{{50.0f, 50.0f, 19.5f, 14.5f}, 0.2f, 3.0f, Eigen::Matrix4f::Identity()};
  for (const int valid_pixels : {5, 6}) {
    SCOPED_TRACE(valid_pixels);
    DepthFrame depth(40, 30, 0);
    for (int i = 0; i < valid_pixels; ++i) depth.set(10 + 3 * i, 15, 1000);
    std::vector<Cloud> clouds;
    builder.build(depth.view(), 40, {box(kBottle, 8, 10, 32, 20)}, view, clouds);
    ASSERT_EQ(clouds.size(), valid_pixels == 6 ? 1u : 0u);
    if (clouds.empty()) continue;
    std::vector<float> xs;
    for (const auto & p : clouds[0]) {
      EXPECT_FLOAT_EQ(p.z, 1.0f);
      EXPECT_FLOAT_EQ(p.y, 0.01f);
      xs.push_back(p.x);
    }
    std::sort(xs.begin(), xs.end());
    ASSERT_EQ(xs.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(xs[i], (10 + 3 * i - 19.5f) / 50.0f, 1e-6f);
  }
}

TEST(DetectionCloudBuilder, ReportsTheFirstRefusedRegionAndBuildsNothingFromARefusedFrame)
{
  struct Case
  {
    const char * name;
    const char * encoding;
    int row_length;
    std::size_t extra_row_step, missing_bytes;
    float fx;
    int second_box_right;
    BackProjectionStatus refused;
    std::size_t clouds;
  };
  using S = BackProjectionStatus;
  const Case cases[] = {
      {"well formed", "16UC1", 64, 0, 0, 52.5f, 60, S::kOk, 2},
      {"8-bit depth", "8UC1", 64, 0, 0, 52.5f, 60, S::kNotSixteenBit, 0},
      {"float depth", "32FC1", 64, 0, 0, 52.5f, 60, S::kNotSixteenBit, 0},
      {"wider colour rows", "16UC1", 65, 0, 0, 52.5f, 60, S::kWidthMismatch, 0},
      {"padded rows", "16UC1", 64, 2, 0, 52.5f, 60, S::kRowPadding, 0},
      {"short buffer", "16UC1", 64, 0, 2, 52.5f, 60, S::kBufferTooShort, 0},
      {"zero focal length", "16UC1", 64, 0, 0, 0.0f, 60, S::kUnusableIntrinsics, 0},
      {"one box beyond the image", "16UC1", 64, 0, 0, 52.5f, 70, S::kRectOutsideImage, 1},
  };
  const DetectionCloudBuilder builder({0.001f, kGround});
  const DepthFrame depth(64, 48, 1000);
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    DepthImageView view = depth.view();
    view.encoding = c.encoding;
    view.row_step_bytes += c.extra_row_step;
    view.size_bytes -= c.missing_bytes;
    const CameraView camera{{c.fx, 52.5f, 31.5f, 23.5f}, 0.2f, 3.0f, Eigen::Matrix4f::Identity()};
    std::vector<Cloud> clouds(3);
    const CloudBuildReport report = builder.build(
        view, c.row_length,
        {box(kBottle, 2, 2, 30, 40), box(kBottle, 34, 2, c.second_box_right, 40)}, camera, clouds);
    EXPECT_EQ(report.refused.status, c.refused);
    EXPECT_EQ(clouds.size(), c.clouds);
  }
}

TEST(DetectionCloudBuilder, FlagsAVoxelGridTooFineForTheFrameAndUsesItUnthinned)
{
  const RecordedView recorded;
  for (const float leaf_m : {0.001f, 0.01f}) {
    SCOPED_TRACE(leaf_m);
    const bool too_fine = leaf_m < 0.005f;
    ::testing::internal::CaptureStderr();
    CloudBuildReport report;
    const std::vector<Cloud> clouds =
        recorded.build(DetectionCloudBuilder({leaf_m, kGround}), {bleach(kObstacle)}, &report);
    const std::string library_output = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(report.refused.status, BackProjectionStatus::kOk);
    EXPECT_EQ(report.voxel_grid_skipped, too_fine);
    // Every valid pixel of the whole frame.
    EXPECT_EQ(report.largest_unthinned_points, too_fine ? 241407u : 0u);
    EXPECT_EQ(library_output.find("Integer indices would overflow"), std::string::npos);
    EXPECT_EQ(clouds.size(), 1u);
  }
}

}  // namespace
}  // namespace veltrax_cv_model
