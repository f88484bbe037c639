// The fused pass against the PCL chain it replaced: the detection clouds of the demo scene and of
// both recorded frames at three leaves, and voxel thinning against pcl::VoxelGrid.
#include "veltrax_cv_model/fused_region_cloud.hpp"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <pcl/common/common.h>
#include <pcl/console/print.h>
#include <pcl/filters/voxel_grid.h>

#include "scene/scene.hpp"
#include "support/reference_clouds.hpp"
#include "support/rgbd_frames.hpp"
#include "veltrax_cv_model/class_table.hpp"
#include "veltrax_cv_model/depth_filters.hpp"
#include "veltrax_cv_model/pipeline_settings.hpp"

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// Same size, and every point within 1e-5 m of the point at its index.
void expect_same_cloud(const Cloud & fast, const Cloud & reference)
{
  ASSERT_EQ(fast.size(), reference.size());
  for (std::size_t i = 0; i < fast.size(); ++i) {
    ASSERT_LE((fast[i].getVector3fMap() - reference[i].getVector3fMap()).cwiseAbs().maxCoeff(),
              1e-5f)
        << "point " << i;
  }
}

struct Frame
{
  std::string name;
  test::DepthFrame depth;
  CameraView view;
  std::vector<DetectedObject> boxes;
};

// Both cameras of the demo scene's frame 10 with the visible boxes of its outlined objects, and
// both recorded frames with boxes of every outlined class (obstacle, bottle, blood, person).
std::vector<Frame> frames()
{
  std::vector<Frame> out;
  const veltrax_scene::Scene scene = veltrax_scene::make_demo_scene();
  const veltrax_scene::Frame rendered = veltrax_scene::render_frame(scene, 10);
  for (int c = 0; c < 2; ++c) {
    const auto & camera = scene.cameras[c];
    const cv::Mat & depth_mm = rendered.views[c].depth_mm;
    Frame f{camera.name, test::DepthFrame(depth_mm.cols, depth_mm.rows), {}, {}};
    f.depth.bytes.assign(depth_mm.datastart, depth_mm.dataend);
    f.view = {{float(camera.fx), float(camera.fy), float(camera.cx), float(camera.cy)},
              0.2f,
              3.0f,
              camera.camera_to_base().matrix().cast<float>()};
    const auto boxes = veltrax_scene::visible_boxes(rendered.views[c], scene.objects.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].pixels > 0 && class_info(scene.objects[i].class_id)->outlined) {
        f.boxes.push_back({scene.objects[i].class_id, boxes[i].left, boxes[i].top, boxes[i].right,
                           boxes[i].bottom, 0.9f});
      }
    }
    out.push_back(std::move(f));
  }
  const std::array<std::array<int, 4>, 4> recorded_boxes[] = {
      {{{401, 75, 499, 256}, {230, 57, 330, 225}, {80, 50, 510, 305}, {0, 300, 640, 480}}},
      {{{21, 66, 156, 475}, {143, 100, 245, 473}, {278, 106, 373, 442}, {456, 50, 606, 476}}}};
  for (int r = 0; r < 2; ++r) {
    test::RecordedScene recorded =
        test::load_recorded_scene(r == 0 ? "milk_cartoon" : "five_people");
    Frame f{recorded.name,
            std::move(recorded.depth),
            // The near end cuts through the carpet in front of the carton frame's bottles.
            {test::kinect_intrinsics(), 0.6f, 3.0f, recorded.camera_to_base},
            {}};
    for (const int class_id : {3, 4, 5, 6}) {
      const auto & [left, top, right, bottom] = recorded_boxes[r][class_id - 3];
      f.boxes.push_back({class_id, left, top, right, bottom, 0.9f});
    }
    out.push_back(std::move(f));
  }
  return out;
}

TEST(FusedRegionCloud, GivesThePclChainsCloudsAndThinsLikeVoxelGrid)
{
  for (const Frame & f : frames()) {
    for (const float leaf_m : {0.001f, 0.005f, 0.01f}) {
      SCOPED_TRACE(testing::Message() << f.name << ", leaf " << leaf_m);
      const DetectionCloudBuilder builder({leaf_m, settings_from_parameters({}).clouds.ground});
      const auto reference = test::reference_clouds(f.depth.view(), f.depth.width, f.boxes, f.view,
                                                    builder.settings());
      std::vector<Cloud> built;
      const CloudBuildReport built_report =
          builder.build(f.depth.view(), f.depth.width, f.boxes, f.view, built);
      // Only box clouds are ever used unthinned: the floor model's grid is coarse.
      bool skipped = false;
      std::size_t largest_unthinned = 0;
      for (const BackProjectionResult & box : reference.box_results) {
        skipped = skipped || box.voxel_grid_skipped;
        largest_unthinned =
            std::max(largest_unthinned, box.voxel_grid_skipped ? box.working_points : 0u);
      }
      EXPECT_EQ(built_report.voxel_grid_skipped, skipped);
      EXPECT_EQ(built_report.largest_unthinned_points, largest_unthinned);
      GroundRemoval<pcl::PointXYZ> floor(builder.settings().ground);
      CloudBuildReport report;
      ASSERT_TRUE(builder.fit_floor_model(f.depth.view(), f.depth.width, f.view, floor, report));

      // Every box's cloud before its floor split is the reference's; the floor models, fitted on
      // a coarser grid than the reference's, label the scene and the boxes alike.
      std::size_t points = 0, differing = 0;
      const float margin = static_cast<float>(builder.settings().ground.tHDiff);
      for (std::size_t i = 0; i <= reference.boxes.size(); ++i) {
        const Cloud & labelled = i == 0 ? reference.scene : reference.boxes[i - 1];
        if (i > 0) {
          Cloud box;
          builder.filter_detection_cloud(
              depth_view_of(reference.box_readings[i - 1], f.depth.view()), f.depth.width,
              f.boxes[i - 1], f.view, nullptr, BoxFloor::kRemove, box, report);
          expect_same_cloud(box, labelled);
        }
        for (const pcl::PointXYZ & p : labelled) {
          ++points;
          differing += (p.z - floor.ground_height_at(p.x, p.y) <= margin) !=
                       (p.z - reference.floor_model.ground_height_at(p.x, p.y) <= margin);
        }
      }
      EXPECT_LE(differing, points / 200) << differing << " of " << points;
      // A litter box holds mostly floor, so its share of the differing labels is larger.
      ASSERT_EQ(built.size(), reference.clouds.size());
      for (std::size_t i = 0; i < built.size(); ++i) {
        EXPECT_NEAR(built[i].size(), reference.clouds[i].size(), reference.clouds[i].size() / 50);
      }
    }
  }

  // Random clouds across zero, a few points per voxel (8000 voxels: more than the thinning's
  // cache holds, so a voxel's sum is written out and taken up again), and the grid sizes where
  // VoxelGrid gives up: cbrt(INT32_MAX) = 1290.16 cells a side fit, 1291 do not. One scratch
  // serves clouds of different sizes, as a worker's does.
  pcl::console::setVerbosityLevel(pcl::console::L_ERROR);
  std::mt19937 random(7);
  std::uniform_int_distribution<int> cloud_size(5000, 25000);
  VoxelScratch scratch;
  for (const auto & [extent_m, leaf_m] : {std::pair{0.4f, 0.01f},
                                          {0.4f, 0.003f},
                                          {0.4f, 0.02f},
                                          {2.0f, 0.05f},
                                          {1.2894f, 0.001f},
                                          {1.2906f, 0.001f},
                                          {5.0f, 0.001f}}) {
    SCOPED_TRACE(testing::Message() << "extent " << extent_m << ", leaf " << leaf_m);
    std::uniform_real_distribution<float> coordinate(-extent_m / 2, extent_m / 2);
    auto cloud = std::make_shared<Cloud>();
    for (int i = cloud_size(random); i > 0; --i) {
      cloud->push_back({coordinate(random), coordinate(random), coordinate(random)});
    }
    // The corners fix the grid; a repeated point makes VoxelGrid's output smaller iff it thinned.
    cloud->push_back({-extent_m / 2, -extent_m / 2, -extent_m / 2});
    cloud->push_back({extent_m / 2, extent_m / 2, extent_m / 2});
    cloud->push_back(cloud->front());
    pcl::VoxelGrid<pcl::PointXYZ> grid;
    grid.setInputCloud(cloud);
    grid.setLeafSize(leaf_m, leaf_m, leaf_m);
    Cloud expected, thinned;
    grid.filter(expected);
    Eigen::Vector4f low, high;
    pcl::getMinMax3D(*cloud, low, high);
    const bool thins = thin_in_voxel_order(cloud->points.data(), cloud->size(), low.head<3>(),
                                           high.head<3>(), leaf_m, scratch, thinned.points);
    EXPECT_EQ(thins, expected.size() < cloud->size());
    if (thins) expect_same_cloud(thinned, expected);
  }
  pcl::console::setVerbosityLevel(pcl::console::L_INFO);
}

}  // namespace
}  // namespace veltrax_cv_model
