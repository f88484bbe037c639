// One camera's detection clouds: which detections become clouds and whether they keep their
// floor points, the smallest cloud kept and frames refused whole (the voxel-overflow flag: the
// fused-pass test).
#include "veltrax_cv_model/detection_cloud_builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/rgbd_frames.hpp"
#include "veltrax_cv_model/planar_proximity.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// The defaults of the node's ground_removal parameters.
const GroundRemovalParams kGround{0.2, 5.0, -0.15, 0.15, 0.025, 0.3, 0.5, 0.05, 0.2, 5};
enum Class { kPaper = 0, kMask = 1, kObstacle = 3, kBottle = 4, kBlood = 5, kPerson = 6 };

DetectedObject box(int class_id, int left, int top, int right, int bottom)
{
  return DetectedObject{class_id, left, top, right, bottom, 0.9f};
}

// The bleach bottle and the milk carton standing on the carpet of the recorded frame.
DetectedObject bleach(int class_id) { return box(class_id, 398, 66, 500, 262); }
DetectedObject carton(int class_id) { return box(class_id, 230, 55, 328, 235); }

// The recorded frame's clouds as camera 1 builds them (crop 0 .. 3 m), over stale ones.
std::vector<Cloud> build_recorded(const DetectionCloudBuilder & builder,
                                  const std::vector<DetectedObject> & detections,
                                  CloudBuildReport * report = nullptr,
                                  const RegionObserver & observe = {})
{
  static const test::RecordedScene milk = test::load_recorded_scene("milk_cartoon");
  const CameraView view{test::kinect_intrinsics(), 0.0f, 3.0f, milk.camera_to_base};
  std::vector<Cloud> clouds(2);
  const CloudBuildReport r =
      builder.build(milk.depth.view(), 640, detections, view, clouds, observe);
  if (report != nullptr) *report = r;
  return clouds;
}

bool same_points(const Cloud & a, const Cloud & b)
{
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto & p, auto & q) {
           return p.getVector3fMap() == q.getVector3fMap();
         });
}

Cloud above(const Cloud & cloud, float z_m)
{
  Cloud high;
  std::copy_if(cloud.begin(), cloud.end(), std::back_inserter(high.points),
               [&](auto & p) { return p.z >= z_m; });
  return high;
}

TEST(DetectionCloudBuilder, ClassDecidesTheCloudAndWhetherItKeepsItsFloorPoints)
{
  const DetectionCloudBuilder builder({0.01f, kGround});
  auto single = [&](const DetectedObject & detection) {
    const std::vector<Cloud> clouds = build_recorded(builder, {detection});
    return clouds.size() == 1 ? clouds[0] : Cloud();
  };
  const Cloud bottle = single(bleach(kBottle));
  const Cloud obstacle = single(bleach(kObstacle));
  const Cloud person = single(carton(kPerson));
  EXPECT_TRUE(same_points(single(bleach(kBlood)), bottle));
  EXPECT_TRUE(same_points(single(bleach(kPerson)), obstacle));

  // Litter keeps the few points of its base that stand clear of the carpet inside the floor band,
  // not the carpet around it (the bleach bottle is about 0.27 m tall); obstacles and persons lose
  // every point near the floor and nothing higher up.
  EXPECT_GT(bottle.size() - above(bottle, 0.015f).size(), 0u);
  EXPECT_LT(bottle.size() - above(bottle, 0.015f).size(), 50u);
  EXPECT_EQ(obstacle.size(), above(obstacle, 0.015f).size());
  EXPECT_EQ(person.size(), above(person, 0.015f).size());
  // Higher up the same voxels: the obstacle's box only loses the flying pixels at its edges,
  // which move a few voxels' means.
  EXPECT_EQ(above(obstacle, 0.06f).size(), above(bottle, 0.06f).size());
  EXPECT_GT(above(obstacle, 0.22f).size(), 0u);
  EXPECT_GT(person.size(), 300u);

  // In one frame: unoutlined and unknown classes and the all-zero box leave no gap, order is
  // kept, and only the scene and the boxes that are built are back-projected.
  std::vector<int> observed_lefts;
  const std::vector<Cloud> mixed =
      build_recorded(builder,
                     {bleach(kPaper), bleach(kBottle), bleach(kMask), box(kObstacle, 0, 0, 0, 0),
                      bleach(kObstacle), bleach(8), carton(kPerson)},
                     nullptr, [&](const PixelRect & r) { observed_lefts.push_back(r.left); });
  ASSERT_EQ(mixed.size(), 3u);
  EXPECT_TRUE(same_points(mixed[0], bottle));
  EXPECT_TRUE(same_points(mixed[1], obstacle));
  EXPECT_TRUE(same_points(mixed[2], person));
  EXPECT_EQ(observed_lefts, (std::vector<int>{0, 398, 398, 230}));
  EXPECT_TRUE(build_recorded(builder, {box(kObstacle, 0, 0, 0, 0), bleach(kPaper)}).empty());
}

// Regression: a standing bottle's box also sees the floor behind it, up to 2 m farther, which
// streaked its outline when litter kept every floor point of its box.
TEST(DetectionCloudBuilder, LitterKeepsOnlyTheFloorAtItsContactUnlessItIsFlat)
{
  // A level camera 0.5 m above a bare floor; a board 0.2 m wide and 0.2 m tall stands 1.2 m ahead
  // on a foot 4 cm deep and 1.5 cm high, inside the floor band.
  const float height_m = 0.5f, board_m = 1.2f, foot_m = board_m - 0.04f, foot_height_m = 0.015f;
  const CameraIntrinsics intrinsics{200.0f, 200.0f, 159.5f, 119.5f};
  test::DepthFrame depth(320, 240, 0);
  for (int v = 120; v < 240; ++v) {
    const float slope = (static_cast<float>(v) - intrinsics.cy) / intrinsics.fy;
    const float floor_m = height_m / slope;
    const float foot_top_m = (height_m - foot_height_m) / slope;
    for (int u = 0; u < 320; ++u) {
      float range_m = floor_m;
      if (u >= 143 && u <= 176 && v >= 170 && floor_m > foot_m) {
        range_m = foot_top_m <= foot_m ? foot_m : std::min(foot_top_m, board_m);
      }
      depth.set(u, v, static_cast<std::uint16_t>(std::lround(1000.0f * range_m)));
    }
  }
  // One speck on the blood, 5 cm up: too few points above the floor to stand for an object.
  depth.set(60, 220, static_cast<std::uint16_t>(900.0f * intrinsics.fy * height_m / 100.5f));
  Eigen::Matrix4f camera_to_base;
  camera_to_base << 0, 0, 1, 0, -1, 0, 0, 0, 0, -1, 0, height_m, 0, 0, 0, 1;
  const CameraView view{intrinsics, 0.2f, 5.0f, camera_to_base};
  const DetectionCloudBuilder builder({0.005f, kGround});
  const DetectedObject standing = box(kBottle, 135, 150, 185, 215);
  const DetectedObject flat = box(kBlood, 20, 200, 100, 235);
  std::vector<Cloud> clouds;
  builder.build(depth.view(), 320, {standing, box(kObstacle, 135, 150, 185, 215), flat}, view,
                clouds);
  ASSERT_EQ(clouds.size(), 3u);
  Cloud whole_box;
  CloudBuildReport report;
  builder.filter_detection_cloud(depth.view(), 320, standing, view, nullptr, BoxFloor::kAtContact,
                                 whole_box, report);
  ASSERT_GT(std::count_if(whole_box.begin(), whole_box.end(), [](auto & p) { return p.x > 2.0f; }),
            100);

  // The board as an obstacle sees it, plus its foot, which stands clear of the floor yet inside
  // the floor band; not the bare floor around its base.
  const Cloud & bottle = clouds[0];
  EXPECT_TRUE(same_points(above(bottle, 0.03f), above(clouds[1], 0.03f)));
  EXPECT_GT(above(bottle, 0.03f).size(), 300u);
  const float reach_m = kFloorContactRadiusM + 0.01f;
  EXPECT_EQ(std::count_if(bottle.begin(), bottle.end(),
                          [&](auto & p) {
                            return std::abs(p.x - board_m) > reach_m ||
                                   std::abs(p.y) > 0.1f + reach_m;
                          }),
            0);
  EXPECT_GT(
      std::count_if(bottle.begin(), bottle.end(),
                    [&](auto & p) { return p.z > 0.005f && p.z < 0.02f && p.x > foot_m - 0.01f; }),
      20);
  EXPECT_EQ(std::count_if(bottle.begin(), bottle.end(), [](auto & p) { return p.z < 0.005f; }), 0);

  // Blood on the bare floor: nothing stands above it, so all of its floor is its footprint.
  Cloud spot;
  builder.filter_detection_cloud(depth.view(), 320, flat, view, nullptr, BoxFloor::kAtContact, spot,
                                 report);
  EXPECT_GT(spot.size(), 1000u);
  EXPECT_TRUE(same_points(clouds[2], spot));
}

// A box with nothing standing in it outlines what is flat in it: a sheet lower than the floor
// band by its own height layer, bare floor (a spill the detector saw) by all of its floor. With
// something standing in it, the layer is the object only while it outnumbers what stands: a
// neighbour's edge beside the sheet, not a board standing on the sheet as on a rug.
TEST(DetectionCloudBuilder, FlatBoxKeepsTheRaisedLayerOrElseItsWholeFloor)
{
  const float height_m = 0.5f, board_height_m = 0.3f;
  const CameraIntrinsics intrinsics{200.0f, 200.0f, 159.5f, 119.5f};
  Eigen::Matrix4f camera_to_base;
  camera_to_base << 0, 0, 1, 0, -1, 0, 0, 0, 0, -1, 0, height_m, 0, 0, 0, 1;
  const CameraView view{intrinsics, 0.2f, 5.0f, camera_to_base};
  const DetectionCloudBuilder builder({0.005f, kGround});
  const DetectedObject sheet_box = box(kObstacle, 20, 170, 300, 238);
  enum class Stand { kNothing, kEdgeBeside, kBoardOnIt };
  struct Board
  {
    int first_column, last_column;
    float range_m;
  };
  const struct
  {
    float sheet_m;
    Stand stand;
  } cases[] = {{0.0f, Stand::kNothing},     {0.01f, Stand::kNothing},    {0.02f, Stand::kNothing},
               {0.01f, Stand::kEdgeBeside}, {0.02f, Stand::kEdgeBeside}, {0.01f, Stand::kBoardOnIt},
               {0.02f, Stand::kBoardOnIt}};
  for (const auto & c : cases) {
    SCOPED_TRACE(::testing::Message() << c.sheet_m << " m, stand " << static_cast<int>(c.stand));
    const Board board = c.stand == Stand::kEdgeBeside  ? Board{225, 235, 1.2f}
                        : c.stand == Stand::kBoardOnIt ? Board{100, 219, 0.95f}
                                                       : Board{-1, -1, 0.0f};
    // A level camera over a bare floor; the sheet covers columns 100-219, rows 190-229 (about
    // 1 m ahead), inside its box with floor all round; a board 0.3 m tall faces the camera.
    test::DepthFrame depth(320, 240, 0);
    for (int v = 120; v < 240; ++v) {
      const float slope = (static_cast<float>(v) - intrinsics.cy) / intrinsics.fy;
      for (int u = 0; u < 320; ++u) {
        const bool sheet = u >= 100 && u < 220 && v >= 190 && v < 230;
        float range_m = (height_m - (sheet ? c.sheet_m : 0.0f)) / slope;
        const float board_hit_m = height_m - board.range_m * slope;
        if (u >= board.first_column && u <= board.last_column && range_m > board.range_m &&
            board_hit_m <= board_height_m) {
          range_m = board.range_m;
        }
        depth.set(u, v, static_cast<std::uint16_t>(std::lround(1000.0f * range_m)));
      }
    }
    std::vector<Cloud> clouds;
    builder.build(depth.view(), 320, {sheet_box}, view, clouds);
    ASSERT_EQ(clouds.size(), 1u);
    const Cloud & cloud = clouds[0];
    if (c.sheet_m == 0.0f) {
      Cloud whole_box;
      CloudBuildReport report;
      builder.filter_detection_cloud(depth.view(), 320, sheet_box, view, nullptr, BoxFloor::kRemove,
                                     whole_box, report);
      EXPECT_TRUE(same_points(cloud, whole_box));
      continue;
    }
    const auto on_sheet = std::count_if(cloud.begin(), cloud.end(), [&](auto & p) {
      return p.z >= 0.5f * c.sheet_m && p.z < c.sheet_m + 0.005f;
    });
    EXPECT_EQ(above(cloud, 0.5f * c.sheet_m).size(), cloud.size()) << "floor beside it kept";
    if (c.stand == Stand::kBoardOnIt) {
      EXPECT_EQ(on_sheet, 0) << "the floor the board stands on kept";
      EXPECT_GT(cloud.size(), 300u);
    } else {
      EXPECT_GT(on_sheet, 500) << "the sheet lost";
    }
  }
}

TEST(DetectionCloudBuilder, KeepsADetectionCloudOnlyWithMoreThanFivePoints)
{
  const DetectionCloudBuilder builder({0.001f, kGround});
  const CameraView view{{50.0f, 50.0f, 19.5f, 14.5f}, 0.2f, 3.0f, Eigen::Matrix4f::Identity()};
  for (const int valid_pixels : {5, 6}) {
    test::DepthFrame depth(40, 30, 0);
    for (int i = 0; i < valid_pixels; ++i) depth.set(10 + 3 * i, 15, 1000);
    std::vector<Cloud> clouds;
    builder.build(depth.view(), 40, {box(kBottle, 8, 10, 32, 20)}, view, clouds);
    ASSERT_EQ(clouds.size(), valid_pixels == 6 ? 1u : 0u) << valid_pixels;
  }
}

TEST(DetectionCloudBuilder, ReportsTheFirstRefusedRegionAndBuildsNothingFromARefusedFrame)
{
  struct Case
  {
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
      {"16UC1", 64, 0, 0, 52.5f, 60, S::kOk, 2},
      {"8UC1", 64, 0, 0, 52.5f, 60, S::kNotSixteenBit, 0},
      {"16UC1", 65, 0, 0, 52.5f, 60, S::kWidthMismatch, 0},      // wider colour rows
      {"16UC1", 64, 2, 0, 52.5f, 60, S::kRowPadding, 0},         // padded rows
      {"16UC1", 64, 0, 2, 52.5f, 60, S::kBufferTooShort, 0},     // buffer cut short
      {"16UC1", 64, 0, 0, 0.0f, 60, S::kUnusableIntrinsics, 0},  // zero focal length
      {"16UC1", 64, 0, 0, 52.5f, 70, S::kRectOutsideImage, 1},   // the other box is built
  };
  const DetectionCloudBuilder builder({0.001f, kGround});
  const test::DepthFrame depth(64, 48, 1000);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case & c = cases[i];
    SCOPED_TRACE(i);
    DepthImageView view = depth.view();
    view.encoding = c.encoding;
    view.row_step_bytes += c.extra_row_step;
    view.size_bytes -= c.missing_bytes;
    const CameraView camera{{c.fx, 52.5f, 31.5f, 23.5f}, 0.2f, 3.0f, Eigen::Matrix4f::Identity()};
    std::vector<Cloud> clouds(3);
    const std::vector<DetectedObject> boxes{box(kBottle, 2, 2, 30, 40),
                                            box(kBottle, 34, 2, c.second_box_right, 40)};
    EXPECT_EQ(builder.build(view, c.row_length, boxes, camera, clouds).refused.status, c.refused);
    EXPECT_EQ(clouds.size(), c.clouds);
  }
  // A later refusal does not replace the first one.
  CloudBuildReport report;
  Cloud cloud;
  DepthImageView eight_bit = depth.view();
  eight_bit.encoding = "8UC1";
  builder.region_cloud(depth.view(), 64, {0, 70, 0, 10}, {52.5f, 52.5f, 31.5f, 23.5f}, cloud,
                       report);
  builder.region_cloud(eight_bit, 64, {0, 10, 0, 10}, {52.5f, 52.5f, 31.5f, 23.5f}, cloud, report);
  EXPECT_EQ(report.refused.status, S::kRectOutsideImage);
}

// The floor contact's grid answers as the k-d tree's float comparison, dx^2 + dy^2 < r^2: on
// dense and sparse sets, with queries right at the radius, far outside, and a spread wide enough
// to coarsen the grid.
TEST(PlanarProximity, FindsExactlyThePointsStrictlyWithinTheRadius)
{
  struct Case
  {
    const char * name;
    int points;
    float spread_m;
  };
  for (const Case & c :
       {Case{"dense", 4000, 0.3f}, Case{"medium", 300, 0.75f}, Case{"sparse", 60, 2.0f},
        Case{"wide", 200, 5000.0f}, Case{"empty", 0, 1.0f}}) {
    SCOPED_TRACE(c.name);
    std::uint32_t state = 12345;
    const auto uniform = [&state](float low, float high) {
      state = state * 1664525u + 1013904223u;
      return low + (high - low) * static_cast<float>(state >> 8) / 16777216.0f;
    };
    Cloud cloud;
    for (int i = 0; i < c.points; ++i) {
      cloud.push_back(
          pcl::PointXYZ(uniform(-c.spread_m, c.spread_m), uniform(-c.spread_m, c.spread_m), 0.0f));
    }
    // Never found, never break the grid.
    cloud.push_back(pcl::PointXYZ(NAN, 0.0f, 0.0f));
    cloud.push_back(pcl::PointXYZ(0.01f, NAN, 0.0f));
    const PlanarProximity grid(cloud.points.data(), cloud.size(), kFloorContactRadiusM);
    const float r2 = static_cast<float>(double{kFloorContactRadiusM} * kFloorContactRadiusM);
    std::vector<pcl::PointXYZ> queries;
    for (int i = 0; i < 3000; ++i) {
      const float reach = 1.2f * c.spread_m;
      queries.emplace_back(uniform(-reach, reach), uniform(-reach, reach), 0.0f);
    }
    for (int i = 0; i < std::min(c.points, 100); ++i) {
      // Just inside, at and just outside the radius of an indexed point, and a little inside and
      // beyond it in every direction, where cells lie partly within reach.
      for (const float d : {0.0499999f, 0.05f, 0.0500001f}) {
        queries.emplace_back(cloud[i].x + d, cloud[i].y, 0.0f);
      }
      for (int k = 0; k < 64; ++k) {
        const float angle = 0.09817f * static_cast<float>(k) + 0.1f * static_cast<float>(i);
        for (const float d : {0.0485f, 0.0495f, 0.0505f, 0.0515f, 0.0525f}) {
          queries.emplace_back(cloud[i].x + d * std::cos(angle), cloud[i].y + d * std::sin(angle),
                               0.0f);
        }
      }
    }
    queries.emplace_back(1e30f, 0.0f, 0.0f);
    int found = 0;
    for (const pcl::PointXYZ & q : queries) {
      bool expected = false;
      for (const pcl::PointXYZ & p : cloud) {
        const float dx = p.x - q.x, dy = p.y - q.y;
        expected = expected || dx * dx + dy * dy < r2;
      }
      ASSERT_EQ(grid.any_within(q.x, q.y), expected) << q.x << ", " << q.y;
      found += expected;
    }
    if (c.points > 0) {
      EXPECT_GT(found, 0);
    }
  }
}

}  // namespace
}  // namespace veltrax_cv_model
