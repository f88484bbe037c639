#include "veltrax_cv_model/back_projection.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/rgbd_frames.hpp"
#include "veltrax_cv_model/detection_cloud.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using test::DepthFrame;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

const CameraIntrinsics kIntrinsics{525.0f, 525.0f, 319.5f, 239.5f};

Cloud junk_cloud()
{
  Cloud cloud(2, 2, pcl::PointXYZ(7.0f, 7.0f, 7.0f));
  cloud.header.frame_id = "stale";
  return cloud;
}

BackProjectionResult project(const DepthFrame & frame, PixelRect rect, Cloud & cloud,
                             const CameraIntrinsics & intrinsics = kIntrinsics, float leaf = 0.001f)
{
  return back_project_depth(frame.view(), frame.width, rect, intrinsics, leaf, cloud);
}

TEST(BackProjection, ReplacesCallerCloudWithUnorganisedResult)
{
  struct Case
  {
    const char * name;
    PixelRect rect;
    std::size_t points;
  };
  // 0.2 m apart at 1 m depth and leaf 1 mm: every pixel keeps its own voxel.
  const Case cases[] = {
      {"empty columns", {3, 3, 0, 4}, 0},
      {"empty rows", {0, 4, 2, 2}, 0},
      {"block", {1, 4, 1, 3}, 6},
  };
  DepthFrame frame(5, 4, 1000);
  const CameraIntrinsics coarse{5.0f, 5.0f, 2.0f, 2.0f};
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    Cloud cloud = junk_cloud();
    const auto result = project(frame, c.rect, cloud, coarse);
    EXPECT_EQ(result.status, BackProjectionStatus::kOk);
    EXPECT_EQ(cloud.size(), c.points);
    EXPECT_EQ(cloud.width, c.points);
    EXPECT_EQ(cloud.height, 1u);
    EXPECT_TRUE(cloud.header.frame_id.empty());
    for (const auto & p : cloud) {
      EXPECT_FLOAT_EQ(p.z, 1.0f);
    }
  }
}

// Regression: pixels without a reading became points at the camera's optical centre, which the
// robot-frame transform put under the camera mount, as an obstacle at the robot itself. No
// reading is 0 or anything from the far limit on (5000 mm, saturated); 1 mm nearer is a reading.
// The back-projection's formula is checked bit for bit in test_portability.cpp.
TEST(BackProjection, PixelsWithoutDepthGiveNoPointAtAnyLeaf)
{
  for (const float leaf : {0.001f, 0.01f}) {
    for (const std::uint16_t missing : {0, 5000, 65535}) {
      SCOPED_TRACE(testing::Message() << "leaf " << leaf << ", missing value " << missing);
      Cloud cloud = junk_cloud();
      DepthFrame none(640, 480, missing);
      const auto empty = project(none, {0, 640, 0, 480}, cloud, kIntrinsics, leaf);
      EXPECT_EQ(empty.status, BackProjectionStatus::kOk);
      EXPECT_EQ(empty.working_points, 0u);
      EXPECT_TRUE(cloud.empty());
      EXPECT_EQ(cloud.height, 1u);

      // Every third pixel of a wall just inside the far limit is a hole.
      DepthFrame holes(640, 480, 4999);
      std::size_t valid = 640 * 480;
      for (int v = 0; v < 480; ++v) {
        for (int u = v % 3; u < 640; u += 3, --valid) holes.set(u, v, missing);
      }
      const auto result = project(holes, {0, 640, 0, 480}, cloud, kIntrinsics, leaf);
      EXPECT_EQ(result.working_points, valid);
      EXPECT_FALSE(cloud.empty());
      for (const pcl::PointXYZ & p : cloud) EXPECT_NEAR(p.z, 4.999f, 1e-5);
    }
  }
}

TEST(BackProjection, RefusesUnsoundInputWithoutReadingIt)
{
  // A sound 6 x 4 image at 1.5 m, changed in one respect per case.
  struct Input
  {
    DepthFrame frame{6, 4, 1500};
    int row_length{6};
    std::size_t row_step{12};
    std::size_t drop_bytes{0};
    PixelRect rect{0, 6, 0, 4};
    CameraIntrinsics k{kIntrinsics};
    float leaf{0.01f};
  };
  using S = BackProjectionStatus;
  const struct
  {
    const char * name;
    void (*change)(Input &);
    S expected;
  } cases[] = {
      {"mono16 accepted", [](Input & in) { in.frame.encoding = "mono16"; }, S::kOk},
      {"8-bit depth", [](Input & in) { in.frame.encoding = "8UC1"; }, S::kNotSixteenBit},
      {"colour wider", [](Input & in) { in.row_length = 7; }, S::kWidthMismatch},
      {"padded rows", [](Input & in) { in.row_step = 16; }, S::kRowPadding},
      {"last pixel missing", [](Input & in) { in.drop_bytes = 1; }, S::kBufferTooShort},
      {"rows below rect missing ok",
       [](Input & in) {
         in.drop_bytes = 12;
         in.rect.bottom = 3;
       },
       S::kOk},
      {"negative left", [](Input & in) { in.rect.left = -1; }, S::kRectOutsideImage},
      {"right past width", [](Input & in) { in.rect.right = 7; }, S::kRectOutsideImage},
      {"bottom past height", [](Input & in) { in.rect.bottom = 5; }, S::kRectOutsideImage},
      {"inverted columns", [](Input & in) { std::swap(in.rect.left, in.rect.right); },
       S::kRectOutsideImage},
      {"inverted rows", [](Input & in) { std::swap(in.rect.top, in.rect.bottom); },
       S::kRectOutsideImage},
      {"zero fx", [](Input & in) { in.k.fx = 0.0f; }, S::kUnusableIntrinsics},
      {"zero fy", [](Input & in) { in.k.fy = 0.0f; }, S::kUnusableIntrinsics},
      {"NaN fy", [](Input & in) { in.k.fy = kNaN; }, S::kUnusableIntrinsics},
      {"inf cx", [](Input & in) { in.k.cx = kInf; }, S::kUnusableIntrinsics},
      {"fx so small x overflows", [](Input & in) { in.k.fx = 1e-38f; }, S::kUnusableIntrinsics},
      {"fy so small y overflows", [](Input & in) { in.k.fy = 1e-38f; }, S::kUnusableIntrinsics},
      {"zero leaf", [](Input & in) { in.leaf = 0.0f; }, S::kInvalidLeafSize},
      {"NaN leaf", [](Input & in) { in.leaf = kNaN; }, S::kInvalidLeafSize},
      {"inf leaf", [](Input & in) { in.leaf = kInf; }, S::kInvalidLeafSize},
      {"denormal leaf", [](Input & in) { in.leaf = 1e-40f; }, S::kInvalidLeafSize},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    Input in;
    c.change(in);
    // An exactly sized copy, so a read past the permitted bytes is an ASan error.
    const std::vector<std::uint8_t> bytes(
        in.frame.bytes.begin(), in.frame.bytes.end() - static_cast<std::ptrdiff_t>(in.drop_bytes));
    DepthImageView view = in.frame.view();
    view.data = bytes.data();
    view.size_bytes = bytes.size();
    view.row_step_bytes = in.row_step;
    Cloud cloud = junk_cloud();
    const auto result = back_project_depth(view, in.row_length, in.rect, in.k, in.leaf, cloud);
    EXPECT_EQ(result.status, c.expected) << to_string(result.status);
    EXPECT_EQ(cloud.empty(), c.expected != S::kOk);
    EXPECT_EQ(cloud.height, 1u);
    EXPECT_EQ(std::string(to_string(result.status)) == "ok", c.expected == S::kOk);
    for (const auto & p : cloud) {
      EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    }
  }
}

TEST(DetectionCloud, CropKeepsBoundariesAndDropsBeyond)
{
  Cloud input;
  const float e = 1e-3f;
  // Kept: on each face of the box x, y in [-10, 10], z in [0.5, 3].
  const std::vector<Eigen::Vector3f> inside = {{0, 0, 0.5f}, {0, 0, 3.0f}, {-10, 0, 1}, {10, 0, 1},
                                               {0, -10, 1},  {0, 10, 1},   {1, 2, 2}};
  const std::vector<Eigen::Vector3f> outside = {
      {0, 0, 0.5f - e}, {0, 0, 3.0f + e}, {-10.01f, 0, 1}, {0, 10.01f, 1}, {0, 0, 0}};
  for (const auto & p : outside) input.push_back({p.x(), p.y(), p.z()});
  for (const auto & p : inside) input.push_back({p.x(), p.y(), p.z()});
  Cloud out = junk_cloud();
  crop_camera_frame(input, 0.5f, 3.0f, out);
  ASSERT_EQ(out.size(), inside.size());
  for (std::size_t i = 0; i < inside.size(); ++i) {
    EXPECT_EQ(out[i].getVector3fMap(), inside[i]) << "input order kept, index " << i;
  }
  EXPECT_EQ(out.height, 1u);

  crop_camera_frame(input, 3.0f, 0.5f, out);
  EXPECT_TRUE(out.empty()) << "inverted range keeps nothing";
}

TEST(DetectionCloud, CropsInTheCameraFrameThenTransformsIntoTheRobotFrame)
{
  // A camera 0.5 m up and 0.1 m ahead of base_footprint, looking forward.
  Eigen::Matrix4f camera_to_base;
  camera_to_base << 0, 0, 1, 0.1f, -1, 0, 0, 0, 0, -1, 0, 0.5f, 0, 0, 0, 1;
  Cloud camera;
  camera.push_back({0.2f, 0.1f, 2.0f});   // kept: base (2.1, -0.2, 0.4), below the crop's z range
  camera.push_back({0.0f, 0.0f, 0.3f});   // nearer than z_min
  camera.push_back({12.0f, 0.0f, 1.0f});  // beyond the lateral limit
  camera.header.frame_id = "camera";
  Cloud base = junk_cloud();
  crop_and_transform(camera, 0.5f, 3.0f, camera_to_base, base);
  ASSERT_EQ(base.size(), 1u);
  EXPECT_TRUE(base[0].getVector3fMap().isApprox(Eigen::Vector3f(2.1f, -0.2f, 0.4f), 1e-6f));
  EXPECT_EQ(base.header.frame_id, "camera");

  base.resize(5);
  EXPECT_FALSE(keeps_detection_cloud(base));
  base.resize(6);
  EXPECT_TRUE(keeps_detection_cloud(base));
}

}  // namespace
}  // namespace veltrax_cv_model
