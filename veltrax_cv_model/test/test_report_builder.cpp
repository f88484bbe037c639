// Camera 1's report entries: which detections make one and in what order, the bottom-centre
// pixel, the depth read there, the person distance rule, the crop and the frames refused whole.
#include "veltrax_cv_model/report_builder.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "support/rgbd_frames.hpp"

namespace veltrax_cv_model
{
namespace
{

constexpr int kWidth = 100;
constexpr int kHeight = 80;
// With z = 1 m: x = (u - 10) / 100, y = (v - 10) / 100 in the optical frame.
const CameraIntrinsics kIntrinsics{100.0f, 100.0f, 10.0f, 10.0f};
constexpr int kBottle = 4, kBlood = 5, kPerson = 6;

// Optical (x right, y down, z forward) -> base_footprint (x forward, y left, z up), camera at
// (0.1, 0.2, 0.3): x_m = z + 0.1, y_m = 0.2 - x.
Eigen::Matrix4f camera_to_base()
{
  return (Eigen::Matrix4f() << 0, 0, 1, 0.1f, -1, 0, 0, 0.2f, 0, -1, 0, 0.3f, 0, 0, 0, 1)
      .finished();
}

TEST(ReportBuilder, EntryPerReportedDetectionInOrderWithContactCropAndOutcome)
{
  struct Row
  {
    DetectedObject detection;
    ReportOutcome outcome;
    int u, v;
    float x_m, y_m;  // kReported only
    std::array<int, 4> crop;
  };
  constexpr ReportOutcome kOk = ReportOutcome::kReported, kFar = ReportOutcome::kPersonTooFar,
                          kNoDepth = ReportOutcome::kNoDepth, kOut = ReportOutcome::kOutsideImage;
  const Row rows[] = {
      // Setting 0.5 m^2 against x^2 + y^2: 0.60 m away (0.36 m^2; a root rule would drop it,
      // u the integer midpoint), exactly 0.5 m^2, and 0.51 m^2 through y alone.
      {{kPerson, 49, 20, 52, 55, 0.9f}, kOk, 50, 55, 1.1f, -0.2f, {49, 20, 3, 35}},
      {{kPerson, 58, 30, 62, 60, 0.9f}, kOk, 60, 60, 1.1f, -0.3f, {58, 30, 4, 30}},
      {{kPerson, 60, 30, 61, 61, 0.9f}, kFar, 60, 61, 0, 0, {}},
      // Depth 0, 5 m and 4.999 m under the bottom centre.
      {{kBottle, 20, 10, 30, 40, 0.9f}, kNoDepth, 25, 40, 0, 0, {}},
      {{kBottle, 30, 10, 40, 40, 0.9f}, kNoDepth, 35, 40, 0, 0, {}},
      {{kBlood, 40, 10, 50, 40, 0.9f}, kOk, 45, 40, 5.099f, -1.54965f, {40, 10, 10, 30}},
      // Boxes ending on the bottom edge or beyond the image: last row, crop clipped on every side.
      {{kBottle, -6, 70, 30, 80, 0.9f}, kOk, 12, 79, 1.1f, 0.18f, {0, 70, 30, 10}},
      {{kBlood, 90, -5, 106, 90, 0.9f}, kOk, 98, 79, 1.1f, -0.68f, {90, 0, 10, 80}},
      {{kBottle, 100, 10, 100, 40, 0.9f}, kOut, 100, 40, 0, 0, {}},
  };
  test::DepthFrame depth(kWidth, kHeight, 1000);
  depth.set(25, 40, 0);
  depth.set(35, 40, 5000);
  depth.set(45, 40, 4999);
  // Every row follows a detection of a class that is not reported or not known.
  const int unreported[] = {0, 2, 3, 7, 8, -1};
  std::vector<DetectedObject> detections;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    detections.push_back({unreported[i % std::size(unreported)], 50, 50, 60, 60, 0.9f});
    detections.push_back(rows[i].detection);
  }

  const ReportFrame frame = ReportBuilder(0.5f).build(depth.view(), kWidth, kHeight, detections,
                                                      kIntrinsics, camera_to_base());
  ASSERT_EQ(frame.status, ReportFrameStatus::kOk);
  ASSERT_EQ(frame.entries.size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    const Row & row = rows[i];
    const ReportEntry & e = frame.entries[i];
    EXPECT_EQ(e.detection.left, row.detection.left);
    EXPECT_EQ(e.person, row.detection.class_id == kPerson);
    EXPECT_EQ(e.outcome, row.outcome);
    EXPECT_EQ(e.u, row.u);
    EXPECT_EQ(e.v, row.v);
    if (row.outcome == kOk) {
      EXPECT_NEAR(e.x_m, row.x_m, 1e-5f);
      EXPECT_NEAR(e.y_m, row.y_m, 1e-5f);
      EXPECT_EQ((std::array<int, 4>{e.crop_left, e.crop_top, e.crop_width, e.crop_height}),
                row.crop);
    }
  }
}

TEST(ReportBuilder, RefusesAFrameWhoseDepthImageOrIntrinsicsCannotBeUsed)
{
  struct Case
  {
    const char * encoding;
    int depth_width, depth_height;
    CameraIntrinsics intrinsics;
    ReportFrameStatus status;
  };
  using S = ReportFrameStatus;
  const CameraIntrinsics no_fx{0.0f, 100.0f, 10.0f, 10.0f}, nan_fy{100.0f, NAN, 10.0f, 10.0f};
  const Case cases[] = {
      {"16UC1", kWidth, kHeight, kIntrinsics, S::kOk},
      {"mono16", kWidth, kHeight, kIntrinsics, S::kOk},
      {"8UC1", kWidth, kHeight, kIntrinsics, S::kDepthMismatch},
      {"16UC1", kWidth - 1, kHeight, kIntrinsics, S::kDepthMismatch},
      {"16UC1", kWidth + 1, kHeight, kIntrinsics, S::kDepthMismatch},
      {"16UC1", kWidth, 0, kIntrinsics, S::kDepthMismatch},
      {"16UC1", kWidth, kHeight, no_fx, S::kUnusableIntrinsics},
      {"16UC1", kWidth, kHeight, nan_fy, S::kUnusableIntrinsics},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case & c = cases[i];
    test::DepthFrame depth(c.depth_width, c.depth_height, 1000);
    depth.encoding = c.encoding;
    const ReportFrame frame = ReportBuilder(0.5f).build(
        depth.view(), kWidth, kHeight, {DetectedObject{kBottle, 20, 10, 30, 40, 0.9f}},
        c.intrinsics, camera_to_base());
    EXPECT_EQ(frame.status, c.status);
    EXPECT_EQ(frame.entries.size(), c.status == S::kOk ? 1u : 0u);
  }
}

}  // namespace
}  // namespace veltrax_cv_model
