#include "veltrax_cv_model/ground_removal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace veltrax_cv_model
{
namespace
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using Model = GroundRemoval<pcl::PointXYZ>;

// The defaults proposed for the robot (README table).
const GroundRemovalParams kParams{0.2, 5.0, -0.15, 0.15, 0.025, 0.3, 0.5, 0.05, 0.2, 5};

/// Floor z = offset + slope_x * x + slope_y * y (+ noise), in base_footprint.
struct Floor
{
  double offset{0.0};
  double slope_x{0.0};
  double slope_y{0.0};
  double slope_x_left{0.0};  // extra slope ahead on the left half (y >= 0): a twisted floor
  double height(double x, double y) const
  {
    return offset + slope_x * x + slope_y * y + (y >= 0.0 ? slope_x_left * x : 0.0);
  }
};

/// A synthetic scene in base_footprint: floor samples over a 60 degree wedge in front of the
/// robot and boxes standing on it. `floor_end` / `object_begin` split the point indices.
struct Scene
{
  Cloud cloud;
  std::size_t floor_end{0};
  std::vector<double> height_above_floor;  // per point, true
};

struct Box
{
  double x0, x1, y0, y1, height;
};

Scene make_scene(const Floor & floor, double noise_sigma, unsigned seed,
                 const std::vector<Box> & boxes, double r_near = 0.4, double r_far = 4.0,
                 double spacing = 0.03)
{
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, noise_sigma);
  Scene scene;
  const auto inside_box = [&](double x, double y) {
    for (const Box & b : boxes) {
      if (x >= b.x0 && x <= b.x1 && y >= b.y0 && y <= b.y1) return true;
    }
    return false;
  };
  const auto add = [&](double x, double y, double above) {
    const double n = noise_sigma > 0.0 ? noise(rng) : 0.0;
    scene.cloud.push_back(pcl::PointXYZ(static_cast<float>(x), static_cast<float>(y),
                                        static_cast<float>(floor.height(x, y) + above + n)));
    scene.height_above_floor.push_back(above + n);
  };
  for (double x = r_near; x <= r_far; x += spacing) {
    const double half_width = x * std::tan(30.0 * M_PI / 180.0);
    for (double y = -half_width; y <= half_width; y += spacing) {
      if (!inside_box(x, y)) add(x, y, 0.0);
    }
  }
  scene.floor_end = scene.cloud.size();
  for (const Box & b : boxes) {
    for (double z = 0.0; z <= b.height; z += 0.02) {  // faces seen from the robot
      for (double y = b.y0; y <= b.y1; y += 0.02) add(b.x0, y, z);
      for (double x = b.x0; x <= b.x1; x += 0.02) add(x, b.y0, z);
    }
    for (double x = b.x0; x <= b.x1; x += 0.02) {
      for (double y = b.y0; y <= b.y1; y += 0.02) add(x, y, b.height);
    }
  }
  return scene;
}

struct Split
{
  std::shared_ptr<Cloud> non_ground = std::make_shared<Cloud>();
  std::shared_ptr<Cloud> ground = std::make_shared<Cloud>();
};

Split split(const Model & model, const Cloud & input)
{
  Split s;
  model.groundRemove(input, s.non_ground, s.ground);
  return s;
}

// Per-point ground flags, by matching the split back to the input (both keep input order).
std::vector<bool> ground_flags(const Model & model, const Cloud & input)
{
  const Split s = split(model, input);
  std::vector<bool> flags(input.size(), false);
  std::size_t g = 0;
  for (std::size_t i = 0; i < input.size() && g < s.ground->size(); ++i) {
    if (input[i].getVector3fMap() == (*s.ground)[g].getVector3fMap()) {
      flags[i] = true;
      ++g;
    }
  }
  EXPECT_EQ(g, s.ground->size());
  EXPECT_EQ(s.ground->size() + s.non_ground->size(), input.size());
  return flags;
}

TEST(GroundRemoval, FollowsFlatTiltedAndNoisyFloorsAndKeepsObjects)
{
  struct Case
  {
    const char * name;
    Floor floor;
    double noise;
    unsigned seed;
    double t_s_diff;
    double r_far{4.0};
  };
  const double tilt2 = std::tan(2.0 * M_PI / 180.0);
  const double tilt3 = std::tan(3.0 * M_PI / 180.0);
  const double t_s = kParams.tSDiff;
  const Case cases[] = {
      {"flat", {}, 0.0, 1, t_s},
      {"rising 2 deg ahead", {0.0, tilt2, 0.0}, 0.0, 1, t_s},
      // The slope change is taken against the sector's own line, not against level ground.
      {"rising 2 deg ahead, slope change 0.02", {0.0, tilt2, 0.0}, 0.0, 1, 0.02},
      // No plane fits both halves, so each half's sectors keep a slope of their own.
      {"rising 2 deg ahead on the left only, slope change 0.005",
       {0.0, 0.0, 0.0, tilt2},
       0.0,
       1,
       0.005},
      {"falling 2 deg to the left, 2 cm high", {0.02, 0.0, -tilt2}, 0.0, 1, t_s},
      {"1 cm noise seed 1", {}, 0.01, 1, t_s},
      {"1 cm noise seed 2, tilted", {0.0, tilt2, 0.0}, 0.01, 2, t_s},
      {"1 cm noise seed 3, tilted sideways", {0.01, 0.0, tilt2}, 0.01, 3, t_s},
      // A 3 degree mounting error leaves the candidate band at 2.9 m; levelling follows it.
      {"falling 3 deg ahead to 5 m", {0.0, -tilt3, 0.0}, 0.0, 1, t_s, 5.0},
      {"rising 3 deg ahead to 5 m, 1 cm noise", {0.0, tilt3, 0.0}, 0.01, 4, t_s, 5.0},
  };
  // A carton and a low step-like box, both within the candidate band at their top or not.
  const std::vector<Box> boxes = {{1.5, 1.8, -0.3, 0.0, 0.3}, {2.5, 2.9, 0.3, 0.7, 0.1}};
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    const Scene scene = make_scene(c.floor, c.noise, c.seed, boxes, 0.4, c.r_far);
    GroundRemovalParams params = kParams;
    params.tSDiff = c.t_s_diff;
    Model model(params);
    model.set_input_cloud(scene.cloud);
    EXPECT_GE(model.own_model_sectors(), 10);

    // Modelled ground within 1.5 cm of the true floor wherever the robot sees it.
    for (double x = 0.6; x <= c.r_far - 0.2; x += 0.4) {
      for (double y = -0.3; y <= 0.3; y += 0.3) {
        EXPECT_NEAR(model.ground_height_at(static_cast<float>(x), static_cast<float>(y)),
                    c.floor.height(x, y), 0.015)
            << "at " << x << ", " << y;
      }
    }

    const auto flags = ground_flags(model, scene.cloud);
    std::size_t floor_ground = 0, high_points = 0, high_ground = 0;
    for (std::size_t i = 0; i < flags.size(); ++i) {
      // The split labels every point by the modelled height, whatever shortcut it takes.
      const pcl::PointXYZ & p = scene.cloud.points[i];
      ASSERT_EQ(flags[i],
                p.z - model.ground_height_at(p.x, p.y) <= static_cast<float>(kParams.tHDiff))
          << i;
      if (i < scene.floor_end) {
        floor_ground += flags[i];
      } else if (scene.height_above_floor[i] > kParams.tHDiff + 0.02) {
        ++high_points;
        high_ground += flags[i];
      }
    }
    EXPECT_GE(static_cast<double>(floor_ground) / scene.floor_end, c.noise > 0 ? 0.99 : 1.0);
    EXPECT_GT(high_points, 500u);
    EXPECT_EQ(high_ground, 0u) << "object points above the floor tolerance called ground";
  }
}

// A scene without floor points (nothing seen, or only things above the band) leaves the flat
// prior at z = 0, and classification still works against it.
TEST(GroundRemoval, SceneWithoutGroundFallsBackToFlatPrior)
{
  Cloud wall;
  for (double y = -1.0; y <= 1.0; y += 0.05) {
    for (double z = 0.3; z <= 1.5; z += 0.05) {
      wall.push_back(pcl::PointXYZ(2.0f, static_cast<float>(y), static_cast<float>(z)));
    }
  }
  for (const Cloud & scene : {Cloud(), wall}) {
    SCOPED_TRACE(scene.size());
    Model model(kParams);
    // Replaced next: a twisted floor leaves a profile above the plane on the left half.
    model.set_input_cloud(make_scene({0.05, 0.0, 0.0, 0.05}, 0.0, 1, {}).cloud);
    model.set_input_cloud(scene);
    EXPECT_EQ(model.own_model_sectors(), 0);
    for (float r : {0.0f, 0.5f, 2.0f, 4.9f, 20.0f}) {
      EXPECT_EQ(model.ground_height_at(r, 0.3f * r), 0.0f);
    }
    Cloud probe;
    probe.push_back({1.0f, 0.0f, 0.02f});
    probe.push_back({1.0f, 0.0f, -0.3f});
    probe.push_back({1.0f, 0.0f, static_cast<float>(kParams.tHDiff)});  // at most tHDiff above
    probe.push_back({1.0f, 0.0f, 0.05f});
    probe.push_back({2.0f, 0.5f, 0.8f});
    const auto flags = ground_flags(model, probe);
    EXPECT_EQ(flags, (std::vector<bool>{true, true, true, false, false}));
  }
}

// Few points on a floor 6 cm above base_footprint's (a mounting error bigger than tHDiff): two
// samples in a sector are enough to model it there; one is not.
TEST(GroundRemoval, FewPointsModelTheirSectorOnly)
{
  Cloud scene;
  for (float x : {1.0f, 1.5f, 2.0f}) scene.push_back({x, 0.02f, 0.06f});
  scene.push_back({0.1f, 2.0f, 0.12f});  // a lone sample at 87 degrees
  scene.push_back({0.15f, 0.0f, 0.1f});  // the robot's own bumper, nearer than rMin
  Model model(kParams);
  model.set_input_cloud(scene);
  EXPECT_EQ(model.own_model_sectors(), 1);
  EXPECT_NEAR(model.ground_height_at(1.2f, 0.03f), 0.06f, 1e-3);
  EXPECT_EQ(model.ground_height_at(0.0f, 2.0f), 0.0f) << "lone sample: prior";
  // The model's sector covers 0 to 5 degrees; sectors up to three away borrow it.
  const auto at = [&](double deg) {
    const double a = deg * M_PI / 180.0;
    return model.ground_height_at(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)));
  };
  for (const double deg : {-12.0, 17.0}) EXPECT_NEAR(at(deg), 0.06f, 1e-3) << deg;
  for (const double deg : {-17.0, 22.0}) EXPECT_EQ(at(deg), 0.0f) << deg;

  Cloud probe;
  probe.push_back({1.2f, 0.03f, 0.07f});
  probe.push_back({1.2f, 0.03f, 0.2f});
  probe.push_back({0.1f, 2.0f, 0.07f});
  EXPECT_EQ(ground_flags(model, probe), (std::vector<bool>{true, false, false}));
}

TEST(GroundRemoval, InterpolatesBetweenBinCentresAndHoldsTheEnds)
{
  // A 12 degree ramp is no mounting error: the model stays unlevelled and its profile is the
  // sector's line, 21 mm a bin, until the band ends at 0.15 m.
  const double tilt = std::tan(12.0 * M_PI / 180.0);
  const Scene scene = make_scene({0.0, tilt, 0.0}, 0.0, 1, {}, 0.4, 6.0);
  Model model(kParams);
  model.set_input_cloud(scene.cloud);
  EXPECT_EQ(model.floor_plane().gx, 0.0f);
  // Below rMin (0.2 m) the line, between bin centres interpolated, beyond the band held.
  for (const float x : {0.1f, 0.45f, 0.62f}) {
    EXPECT_NEAR(model.ground_height_at(x, 0.0f), x * tilt, 0.001) << "at " << x;
  }
  EXPECT_EQ(model.ground_height_at(9.0f, 0.0f), model.ground_height_at(4.9f, 0.0f));
}

TEST(GroundRemoval, DropsNonFiniteKeepsOrderAndReplacesOutputs)
{
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  Cloud input;
  input.header.frame_id = "base_footprint";
  input.is_dense = false;
  input.push_back({1.0f, 0.0f, 0.5f});
  input.push_back({kNaN, 0.0f, 0.0f});
  input.push_back({1.0f, 0.1f, 0.0f});
  input.push_back({1.0f, 0.0f, kInf});
  input.push_back({2.0f, 0.0f, 0.4f});
  input.push_back({2.0f, 0.1f, -0.01f});
  Model model(kParams);  // no scene given: flat prior
  auto non_ground = std::make_shared<Cloud>(3, 3, pcl::PointXYZ(9, 9, 9));
  auto ground = std::make_shared<Cloud>();
  model.groundRemove(input, non_ground, ground);
  ASSERT_EQ(non_ground->size(), 2u);
  ASSERT_EQ(ground->size(), 2u);
  EXPECT_EQ((*non_ground)[0].z, 0.5f);
  EXPECT_EQ((*non_ground)[1].z, 0.4f);
  EXPECT_EQ((*ground)[0].y, 0.1f);
  EXPECT_EQ((*ground)[1].z, -0.01f);
  for (const auto & out : {non_ground, ground}) {
    EXPECT_EQ(out->height, 1u);
    EXPECT_EQ(out->width, out->size());
    EXPECT_EQ(out->header.frame_id, "base_footprint");
  }
  model.groundRemove(input, non_ground, nullptr);  // the node's scratch may be absent
  EXPECT_EQ(non_ground->size(), 2u);
}

TEST(GroundRemoval, DegenerateSettingsNeverFault)
{
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const Scene scene = make_scene({}, 0.005, 7, {{1.5, 1.8, -0.3, 0.0, 0.3}});
  const GroundRemovalParams cases[] = {
      {0.2, kNaN, -0.15, 0.15, 0.03, 0.3, 0.5, 0.05, 0.2, 5},
      {0.2, -1.0, -0.15, 0.15, 0.03, 0.3, 0.5, 0.05, 0.2, 5},
      {0.2, 1e12, -0.15, 0.15, 0.03, 0.3, 0.5, 0.05, 0.2, 5},
      {0.2, 5.0, 0.15, -0.15, 0.03, 0.3, 0.5, 0.05, 0.2, 5},
      {0.2, 5.0, -0.15, 0.15, 0.03, 0.3, 0.5, 0.05, kNaN, -4},
      {0.2, 5.0, -0.15, 0.15, 0.03, 0.3, 0.5, 0.05, 0.0, 1000000},
      {kNaN, 5.0, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, 0},
  };
  for (const GroundRemovalParams & p : cases) {
    SCOPED_TRACE(testing::Message() << "rMax " << p.rMax << " sigma " << p.gauss_sigma);
    Model model(p);
    model.set_input_cloud(scene.cloud);
    const Split s = split(model, scene.cloud);
    EXPECT_EQ(s.ground->size() + s.non_ground->size(), scene.cloud.size());
    for (float r : {0.0f, 1.0f, 4.0f, 150.0f}) {
      EXPECT_TRUE(std::isfinite(model.ground_height_at(r, 0.0f)));
    }
  }
}

// The sector as the arc tangent in double defines it: random directions at several ranges,
// every sector bound hit exactly and from either side, the axes, the origin and -0.
TEST(GroundRemoval, SectorIsTheArcTangentsAtEveryBound)
{
  const auto by_arc_tangent = [](float x, float y) {
    const double angle = std::atan2(static_cast<double>(y), static_cast<double>(x));
    const int sector = static_cast<int>((angle + 3.14159265358979323846) /
                                        (2.0 * 3.14159265358979323846) * kGroundSectorCount);
    return std::clamp(sector, 0, kGroundSectorCount - 1);
  };
  std::vector<std::pair<float, float>> directions{{0.0f, 0.0f},   {-0.0f, -0.0f}, {-1.0f, 0.0f},
                                                  {-1.0f, -0.0f}, {1.0f, 0.0f},   {0.0f, 1.0f},
                                                  {0.0f, -1.0f}};
  for (int k = 0; k <= kGroundSectorCount; ++k) {
    const double angle = -3.14159265358979323846 + 2.0 * 3.14159265358979323846 * k / 72.0;
    for (const float r : {0.3f, 2.0f, 70.0f}) {
      const float x = static_cast<float>(r * std::cos(angle));
      const float y = static_cast<float>(r * std::sin(angle));
      for (const float step : {-1.0f, 0.0f, 1.0f}) {
        directions.emplace_back(std::nextafter(x, x + step), y);
        directions.emplace_back(x, std::nextafter(y, y + step));
      }
    }
  }
  std::mt19937 random(7);
  std::uniform_real_distribution<float> coordinate(-6.0f, 6.0f);
  for (int i = 0; i < 200000; ++i) {
    directions.emplace_back(coordinate(random), coordinate(random));
  }
  for (const auto & [x, y] : directions) {
    ASSERT_EQ(ground_sector_of(x, y), by_arc_tangent(x, y)) << x << ", " << y;
  }
}

}  // namespace
}  // namespace veltrax_cv_model
