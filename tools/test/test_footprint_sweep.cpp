// The sweep's sensor model, scene draws and scoring: readings in disparity steps, shadows and
// mixed pixels where a structured-light sensor makes them, scenes within their ranges and the
// same on every run, and saved frames that footprint_quality scores alike.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "footprint/footprint_quality.hpp"
#include "scene/scene_geometry.hpp"
#include "sweep/sensor_model.hpp"
#include "sweep/sweep.hpp"

namespace veltrax_sweep
{
namespace
{

constexpr double kPi = 3.14159265358979323846;
const veltrax_cv_model::CameraIntrinsics kIntrinsics{525.0f, 525.0f, 319.5f, 239.5f};

// A wall at `far_mm` with a box at `near_mm` in columns [300, 340), exact.
struct Step
{
  cv::Mat depth{480, 640, CV_16U, cv::Scalar(0)};
  cv::Mat surface{480, 640, CV_16S, cv::Scalar(0)};
  Step(int near_mm, int far_mm)
  {
    depth.setTo(far_mm);
    depth.colRange(300, 340).setTo(near_mm);
    surface.colRange(300, 340).setTo(1);
  }
};

TEST(SensorModel, ReadsInDisparityStepsWithShadowsAndMixedPixelsWhereTheSensorMakesThem)
{
  StructuredLightSensor exact;
  exact.disparity_noise_px = 0.0;
  exact.dropout_share = 0.0;
  exact.mixed_pixel_share = 0.0;
  const cv::Mat no_dark(480, 640, CV_8U, cv::Scalar(0));
  const double fb = kIntrinsics.fx * exact.baseline_m;
  for (const int z_mm : {800, 1500, 2900}) {
    SCOPED_TRACE(z_mm);
    const Step flat(z_mm, z_mm);
    const cv::Mat read = structured_light_depth(
        flat.depth, cv::Mat(480, 640, CV_16S, cv::Scalar(0)), no_dark, kIntrinsics, exact, 7);
    const double step_mm = 1000.0 * disparity_step_depth_m(exact, kIntrinsics.fx, z_mm / 1000.0);
    const double reading = read.at<std::uint16_t>(240, 100);
    EXPECT_LE(std::abs(reading - z_mm), 0.5 * step_mm + 1.0);
    const double steps = fb * 1000.0 / reading / exact.disparity_step_px;
    EXPECT_NEAR(steps, std::round(steps), steps * 0.6 / reading) << "not a whole count of steps";
    EXPECT_EQ(cv::countNonZero(read != reading), 0) << "a plane facing the camera reads alike";
  }

  // The projector sits to the right: the wall left of the box is in its shadow over
  // fb (1/near - 1/far) pixels; mixed readings lie between the two surfaces, on the far side.
  StructuredLightSensor mixing = exact;
  mixing.mixed_pixel_share = 1.0;
  const Step step(1000, 2000);
  const cv::Mat read =
      structured_light_depth(step.depth, step.surface, no_dark, kIntrinsics, mixing, 7);
  const int shadow = static_cast<int>(std::round(fb * (1.0 / 1.0 - 1.0 / 2.0)));
  const cv::Mat row = read.row(240);
  EXPECT_EQ(cv::countNonZero(row.colRange(300 - shadow + 1, 300)), 0);
  EXPECT_GT(row.at<std::uint16_t>(300 - shadow - 2), 1900);
  const double mixed = row.at<std::uint16_t>(340);
  EXPECT_GT(mixed, 1050.0);
  EXPECT_LT(mixed, 1950.0);
  EXPECT_GT(row.at<std::uint16_t>(342), 1900) << "only the pixel beside the edge mixes";
  EXPECT_NEAR(row.at<std::uint16_t>(320), 1000, 4);

  // Nothing is made where the scene gives nothing; a dark surface loses about its share.
  cv::Mat sky = step.depth.clone();
  sky.rowRange(0, 100).setTo(0);
  cv::Mat dark(480, 640, CV_8U, cv::Scalar(0));
  dark.rowRange(300, 480).setTo(255);
  const cv::Mat noisy =
      structured_light_depth(sky, step.surface, dark, kIntrinsics, StructuredLightSensor{}, 3);
  EXPECT_EQ(cv::countNonZero(noisy.rowRange(0, 100)), 0);
  const double lost =
      1.0 - cv::countNonZero(noisy.rowRange(300, 480).colRange(0, 250)) / (180.0 * 250.0);
  EXPECT_NEAR(lost, StructuredLightSensor{}.dark_dropout_share, 0.02);
}

TEST(SweepScene, DrawsWithinItsRangesAndTheSameOnEveryRun)
{
  constexpr double kErrorDeg = 2.0;
  int objects = 0;
  for (int index = 0; index < 60; ++index) {
    SCOPED_TRACE(index);
    const SweepScene sweep = generate_scene(5, index, kErrorDeg);
    EXPECT_EQ(veltrax_scene::to_yaml(sweep.scene),
              veltrax_scene::to_yaml(generate_scene(5, index, kErrorDeg).scene));
    const veltrax_scene::CameraMount & mount = sweep.scene.cameras[0].mount;
    EXPECT_GE(mount.z_m, 0.3);
    EXPECT_LE(mount.z_m, 1.5);
    EXPECT_GE(mount.pitch_rad, 0.0);
    EXPECT_LE(mount.pitch_rad, 60.0 * kPi / 180.0);
    EXPECT_LE(std::abs(mount.roll_rad), 5.0 * kPi / 180.0);
    EXPECT_LE(std::abs(sweep.mount_error.pitch_deg), kErrorDeg);
    EXPECT_LE(std::abs(sweep.mount_error.roll_deg), kErrorDeg);
    EXPECT_LE(std::abs(sweep.mount_error.height_m), kMountHeightErrorM);
    EXPECT_NEAR(sweep.given_mount.pitch_rad - mount.pitch_rad,
                sweep.mount_error.pitch_deg * kPi / 180.0, 1e-12);
    EXPECT_LE(sweep.objects.size(), 6u);
    for (const SweepObject & object : sweep.objects) {
      for (std::size_t p : object.parts) {
        const veltrax_scene::SceneObject & part = sweep.scene.objects[p];
        const double distance = std::hypot(part.x_m, part.y_m);
        EXPECT_GE(distance, 0.3) << object.name;
        EXPECT_LE(distance, 3.0 + 0.6) << object.name << ": a table's leg may stand beyond";
      }
    }
    objects += static_cast<int>(sweep.objects.size());
  }
  EXPECT_GT(objects, 60 * 2) << "most scenes hold several objects";
  EXPECT_NE(veltrax_scene::to_yaml(generate_scene(5, 0, kErrorDeg).scene),
            veltrax_scene::to_yaml(generate_scene(6, 0, kErrorDeg).scene));
}

// A saved frame is what footprint_quality scores: loading it back and scoring it gives the
// sweep's numbers (up to the 0.1 mm and 1e-6 the files keep).
TEST(Sweep, ScoresEveryBoxedObjectAsFootprintQualityScoresItsSavedFrame)
{
  const veltrax_footprint::PipelineParams params =
      veltrax_footprint::load_pipeline_params(SHIPPED_PARAMS_FILE);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("footprint_sweep_" + std::to_string(::getpid()));
  SweepResult result;
  int boxed = 0;
  for (int index = 0; index < 3; ++index) {
    const SweepScene sweep = generate_scene(1, index, kDefaultMountErrorDeg);
    run_scene(sweep, params, result, dir);
    const SceneImages images = render_scene(sweep, StructuredLightSensor{});
    boxed += 2 * static_cast<int>(sweep_frame(sweep, images, Condition::kExactMount, params)
                                      .frame.description.truth.size());
  }
  ASSERT_EQ(static_cast<int>(result.objects.size()), boxed);
  const nlohmann::json json = sweep_json(result);
  ASSERT_EQ(json["objects"].size(), result.objects.size());
  int missed = 0;
  for (const ObjectResult & o : result.objects) {
    missed += o.footprints == 0 ? 1 : 0;
    if (o.condition != "mount_error") {
      continue;
    }
    const std::string name = "scene_" + std::to_string(o.scene) + "_mount_error";
    const veltrax_footprint::QualityReport again = veltrax_footprint::evaluate_frame(
        veltrax_footprint::load_frame_dir(dir / name), {}, params, 1);
    bool found = false;
    for (const veltrax_footprint::ObjectScore & score : again.objects) {
      if (score.name == o.name) {
        found = true;
        EXPECT_NEAR(score.iou, o.iou, 0.02) << name << " " << o.name;
        EXPECT_EQ(score.footprints, o.footprints) << name << " " << o.name;
      }
    }
    EXPECT_TRUE(found) << name << " " << o.name;
  }
  EXPECT_EQ(json["missed"], missed);
  EXPECT_EQ(json["outline_points"], result.outline_points);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace veltrax_sweep
