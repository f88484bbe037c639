// Camera 1's report entries: which detections make one and in what order, the bottom-centre
// pixel, the depth read there, the person distance rule, the crop and the frames refused whole.
#include "veltrax_cv_model/report_builder.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "support/rgbd_frames.hpp"

namespace veltrax_cv_model
{
namespace
{

using test::DepthFrame;

constexpr int kWidth = 100;
constexpr int kHeight = 80;
// With z = 1 m: x = (u - 10) / 100, y = (v - 10) / 100 in the optical frame.
const CameraIntrinsics kIntrinsics{100.0f, 100.0f, 10.0f, 10.0f};

// Optical (x right, y down, z forward) -> base_footprint (x forward, y left, z up), camera at
// (0.1, 0.2, 0.3): x_m = z + 0.1, y_m = 0.2 - x.
Eigen::Matrix4f camera_to_base()
{
  Eigen::Matrix4f m;
  m << 0, 0, 1, 0.1f, -1, 0, 0, 0.2f, 0, -1, 0, 0.3f, 0, 0, 0, 1;
  return m;
}

DetectedObject box(int class_id, int left, int top, int right, int bottom)
{
  return DetectedObject{class_id, left, top, right, bottom, 0.9f};
}

enum Class { kBottle = 4, kBlood = 5, kPerson = 6 };

TEST(ReportBuilder, EntryPerReportedDetectionInOrderWithContactCropAndOutcome)
{
  struct Row
  {
    const char * name;
    DetectedObject detection;
    ReportOutcome outcome;
    int u, v;
    float x_m, y_m;  // kReported only
    std::array<int, 4> crop;
  };
  using O = ReportOutcome;
  // Setting 0.5 m^2 against x^2 + y^2: a root rule (distance <= 0.5 m) would drop the first
  // person (0.60 m away, 0.36 m^2), and the exact boundary 0.5 m^2 is still reported.
  const Row rows[] = {
      {"person 0.60 m away, u the integer midpoint",
       box(kPerson, 49, 20, 52, 55),
       O::kReported,
       50,
       55,
       1.1f,
       -0.2f,
       {49, 20, 3, 35}},
      {"person exactly at the setting",
       box(kPerson, 58, 30, 62, 60),
       O::kReported,
       60,
       60,
       1.1f,
       -0.3f,
       {58, 30, 4, 30}},
      {"person just beyond, by y alone",
       box(kPerson, 60, 30, 61, 61),
       O::kPersonTooFar,
       60,
       61,
       0,
       0,
       {}},
      {"no reading", box(kBottle, 20, 10, 30, 40), O::kNoDepth, 25, 40, 0, 0, {}},
      {"reading at 5 m", box(kBottle, 30, 10, 40, 40), O::kNoDepth, 35, 40, 0, 0, {}},
      {"reading just inside 5 m",
       box(kBlood, 40, 10, 50, 40),
       O::kReported,
       45,
       40,
       5.099f,
       -1.54965f,
       {40, 10, 10, 30}},
      {"bottom edge is the last row, left edge clipped",
       box(kBottle, -6, 70, 30, 80),
       O::kReported,
       12,
       79,
       1.1f,
       0.18f,
       {0, 70, 30, 10}},
      {"right and bottom clipped",
       box(kBlood, 90, 75, 106, 90),
       O::kReported,
       98,
       79,
       1.1f,
       -0.68f,
       {90, 75, 10, 5}},
      {"bottom centre beyond the last column",
       box(kBottle, 100, 10, 100, 40),
       O::kOutsideImage,
       100,
       40,
       0,
       0,
       {}},
  };
  DepthFrame depth(kWidth, kHeight, 1000);
  depth.set(25, 40, 0);
  depth.set(35, 40, 5000);
  depth.set(45, 40, 4999);
  // Every row follows a detection of a class that is not reported or not known.
  const int unreported[] = {0, 2, 3, 7, 8, -1};
  std::vector<DetectedObject> detections;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    detections.push_back(box(unreported[i % std::size(unreported)], 50, 50, 60, 60));
    detections.push_back(rows[i].detection);
  }

  const ReportFrame frame = ReportBuilder(0.5f).build(depth.view(), kWidth, kHeight, detections,
                                                      kIntrinsics, camera_to_base());
  ASSERT_EQ(frame.status, ReportFrameStatus::kOk);
  ASSERT_EQ(frame.entries.size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row & row = rows[i];
    const ReportEntry & entry = frame.entries[i];
    SCOPED_TRACE(row.name);
    EXPECT_EQ(entry.detection.left, row.detection.left);
    EXPECT_EQ(entry.person, row.detection.class_id == kPerson);
    EXPECT_EQ(entry.outcome, row.outcome);
    EXPECT_EQ(entry.u, row.u);
    EXPECT_EQ(entry.v, row.v);
    if (row.outcome == O::kReported) {
      EXPECT_NEAR(entry.x_m, row.x_m, 1e-5f);
      EXPECT_NEAR(entry.y_m, row.y_m, 1e-5f);
      EXPECT_EQ((std::array<int, 4>{entry.crop_left, entry.crop_top, entry.crop_width,
                                    entry.crop_height}),
                row.crop);
    }
  }
}

TEST(ReportBuilder, RefusesAFrameWhoseDepthImageOrIntrinsicsCannotBeUsed)
{
  struct Case
  {
    const char * name;
    const char * encoding;
    int depth_width, depth_height;
    CameraIntrinsics intrinsics;
    ReportFrameStatus status;
  };
  using S = ReportFrameStatus;
  const float nan = std::nanf("");
  const Case cases[] = {
      {"16UC1", "16UC1", kWidth, kHeight, kIntrinsics, S::kOk},
      {"mono16", "mono16", kWidth, kHeight, kIntrinsics, S::kOk},
      {"8-bit depth", "8UC1", kWidth, kHeight, kIntrinsics, S::kDepthMismatch},
      {"float depth", "32FC1", kWidth, kHeight, kIntrinsics, S::kDepthMismatch},
      {"narrower than the colour image", "16UC1", kWidth - 1, kHeight, kIntrinsics,
       S::kDepthMismatch},
      {"wider than the colour image", "16UC1", kWidth + 1, kHeight, kIntrinsics, S::kDepthMismatch},
      {"no rows", "16UC1", kWidth, 0, kIntrinsics, S::kDepthMismatch},
      {"zero fx", "16UC1", kWidth, kHeight, {0.0f, 100.0f, 10.0f, 10.0f}, S::kUnusableIntrinsics},
      {"NaN fy", "16UC1", kWidth, kHeight, {100.0f, nan, 10.0f, 10.0f}, S::kUnusableIntrinsics},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    DepthFrame depth(c.depth_width, c.depth_height, 1000);
    depth.encoding = c.encoding;
    const ReportFrame frame =
        ReportBuilder(0.5f).build(depth.view(), kWidth, kHeight, {box(kBottle, 20, 10, 30, 40)},
                                  c.intrinsics, camera_to_base());
    EXPECT_EQ(frame.status, c.status);
    EXPECT_EQ(frame.entries.size(), c.status == S::kOk ? 1u : 0u);
  }
}

}  // namespace
}  // namespace veltrax_cv_model
