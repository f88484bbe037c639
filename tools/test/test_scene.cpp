#include <gtest/gtest.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>
#include <host_rknn/host_rknn.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>

#include "scene/scene.hpp"

namespace vs = veltrax_scene;

namespace
{

constexpr double kDeg = 3.14159265358979323846 / 180.0;
constexpr int kKeyTolerance = 4;  // the host model file's default colour_key.tolerance

vs::Scene demo(int frames = 30, double depth_noise_mm = 1.0)
{
  vs::DemoOptions options;
  options.frames = frames;
  options.seed = 7;
  options.depth_noise_mm = depth_noise_mm;
  return vs::make_demo_scene(options);
}

// Class whose key colour the pixel matches within the tolerance, as the colour-key backend
// reads it; -1 for none.
int key_class(const uint8_t * rgb)
{
  const auto & keys = host_rknn::key_colours();
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (std::abs(rgb[0] - keys[k].r) <= kKeyTolerance &&
        std::abs(rgb[1] - keys[k].g) <= kKeyTolerance &&
        std::abs(rgb[2] - keys[k].b) <= kKeyTolerance) {
      return static_cast<int>(k);
    }
  }
  return -1;
}

struct SurfaceCheck
{
  double distance{0.0};     // from the point to the object's surface
  bool faces_camera{true};  // the nearest face's outward normal points at the camera
};

// A point in the object's own frame against the object's surface, seen from `eye` (same frame).
SurfaceCheck check_surface(const vs::SceneObject & object, const Eigen::Vector3d & p,
                           const Eigen::Vector3d & eye)
{
  const double half_h = 0.5 * object.height_m;
  const double radial = std::hypot(p.x(), p.y());
  Eigen::Vector3d q;
  if (object.shape == vs::Shape::kBox) {
    q = Eigen::Vector3d(std::abs(p.x()) - 0.5 * object.length_m,
                        std::abs(p.y()) - 0.5 * object.width_m, std::abs(p.z() - half_h) - half_h);
  } else {
    q = Eigen::Vector3d(radial - 0.5 * object.length_m, -1e9, std::abs(p.z() - half_h) - half_h);
  }
  Eigen::Index face = 0;
  const double inside = std::min(q.maxCoeff(&face), 0.0);
  Eigen::Vector3d normal = Eigen::Vector3d::Zero();
  if (object.shape == vs::Shape::kCylinder && face == 0) {
    normal = Eigen::Vector3d(p.x(), p.y(), 0.0) / radial;
  } else {
    const double centre = face == 2 ? half_h : 0.0;
    normal[face] = p[face] >= centre ? 1.0 : -1.0;
  }
  return {std::abs(q.cwiseMax(0.0).norm() + inside), normal.dot(p - eye) < 0.0};
}

// Distance by which a point lies outside a counter-clockwise convex polygon (0 inside).
double outside_polygon(const std::vector<Eigen::Vector2d> & polygon, const Eigen::Vector2d & p)
{
  double worst = 0.0;
  for (std::size_t i = 0; i < polygon.size(); ++i) {
    const Eigen::Vector2d a = polygon[i];
    const Eigen::Vector2d edge = polygon[(i + 1) % polygon.size()] - a;
    const Eigen::Vector2d to_p = p - a;
    const double cross = edge.x() * to_p.y() - edge.y() * to_p.x();
    worst = std::max(worst, -cross / edge.norm());
  }
  return worst;
}

Eigen::Isometry3d object_to_world(const vs::SceneObject & o)
{
  return Eigen::Translation3d(o.x_m, o.y_m, 0.0) *
         Eigen::AngleAxisd(o.yaw_rad, Eigen::Vector3d::UnitZ());
}

}  // namespace

TEST(SceneCameras, MountsMapOpticalFramesOntoTheRobot)
{
  struct Case
  {
    const char * frame_id;
    Eigen::Vector3d position;
    double yaw_deg;
    double pitch_deg;
  };
  const Case cases[] = {
      {"camera1_depth_optical_frame", {0.25, 0.0, 0.45}, 0.0, 25.0},
      {"camera2_depth_optical_frame", {0.20, 0.10, 0.30}, 30.0, 20.0},
  };
  const vs::Scene scene = demo(1);
  for (std::size_t c = 0; c < 2; ++c) {
    SCOPED_TRACE(cases[c].frame_id);
    const vs::CameraModel & camera = scene.cameras[c];
    EXPECT_EQ(camera.frame_id, cases[c].frame_id);
    EXPECT_EQ(camera.width, 640);
    EXPECT_EQ(camera.height, 480);
    const Eigen::Isometry3d to_base = camera.camera_to_base();
    EXPECT_LT((to_base * Eigen::Vector3d::Zero() - cases[c].position).norm(), 1e-12);

    // Optical x points right of the view and stays level (no roll); y points down-forward.
    const double yaw = cases[c].yaw_deg * kDeg;
    const Eigen::Vector3d x_axis = to_base.linear() * Eigen::Vector3d::UnitX();
    EXPECT_LT((x_axis - Eigen::Vector3d(std::sin(yaw), -std::cos(yaw), 0.0)).norm(), 1e-12);
    EXPECT_LT((to_base.linear() * Eigen::Vector3d::UnitY()).z(), 0.0);

    // The optical axis meets the floor h / tan(pitch) ahead of the camera, along its yaw.
    const Eigen::Vector3d axis = to_base.linear() * Eigen::Vector3d::UnitZ();
    const double reach = cases[c].position.z() / std::tan(cases[c].pitch_deg * kDeg);
    const Eigen::Vector3d floor_hit =
        cases[c].position + axis * (-cases[c].position.z() / axis.z());
    EXPECT_NEAR(floor_hit.x(), cases[c].position.x() + reach * std::cos(yaw), 1e-9);
    EXPECT_NEAR(floor_hit.y(), cases[c].position.y() + reach * std::sin(yaw), 1e-9);
  }
}

// The node back-projects depth in single precision with x = (u - cx) z / fx; every measured
// pixel must land on the floor or on the visible surface of its object, inside the object's
// ground-truth footprint, for exact and for noisy depth.
TEST(SceneRender, DepthBackProjectsOntoTheRenderedSurface)
{
  struct Case
  {
    double noise_mm;
    double max_error_m;  // exact depth: millimetre rounding only
    double p99_error_m;
  };
  for (const Case & test : {Case{0.0, 0.002, 0.001}, Case{1.0, 0.010, 0.004}}) {
    const vs::Scene scene = demo(30, test.noise_mm);
    for (int frame : {0, 29}) {
      const std::vector<vs::ObjectTruth> truth = vs::ground_truth(scene, frame);
      const Eigen::Isometry3d base_to_world =
          scene.robot_poses[static_cast<std::size_t>(frame)].base_to_world();
      for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE("noise " + std::to_string(test.noise_mm) + " frame " + std::to_string(frame) +
                     " camera " + std::to_string(c + 1));
        const vs::CameraModel & cam = scene.cameras[static_cast<std::size_t>(c)];
        const vs::View view = vs::render_view(scene, frame, c);
        const Eigen::Isometry3d to_base = cam.camera_to_base();
        std::vector<double> errors;
        std::size_t object_pixels_without_depth = 0;
        std::size_t object_pixels = 0;
        std::size_t hidden_face_pixels = 0;
        for (int v = 0; v < view.depth_mm.rows; ++v) {
          for (int u = 0; u < view.depth_mm.cols; ++u) {
            const int index = view.object_index.at<int16_t>(v, u);
            const uint16_t d = view.depth_mm.at<uint16_t>(v, u);
            if (d == 0) {
              object_pixels_without_depth += index >= 0 ? 1 : 0;
              continue;
            }
            const float z = static_cast<float>(d / 1000.0);
            const float x = (static_cast<float>(u) - static_cast<float>(cam.cx)) * z /
                            static_cast<float>(cam.fx);
            const float y = (static_cast<float>(v) - static_cast<float>(cam.cy)) * z /
                            static_cast<float>(cam.fy);
            const Eigen::Vector3d base = to_base * Eigen::Vector3d(x, y, z);
            if (index == vs::kFloorPixel) {
              errors.push_back(std::abs(base.z()));
              continue;
            }
            ASSERT_GE(index, 0) << "depth where the ray hits nothing at " << u << "," << v;
            const vs::SceneObject & object = scene.objects[static_cast<std::size_t>(index)];
            const vs::ObjectTruth & t = truth[static_cast<std::size_t>(index)];
            const Eigen::Isometry3d base_to_object =
                object_to_world(object).inverse() * base_to_world;
            const SurfaceCheck surface = check_surface(object, base_to_object * base,
                                                       base_to_object * to_base.translation());
            ++object_pixels;
            hidden_face_pixels += surface.faces_camera ? 0 : 1;
            errors.push_back(
                std::max({surface.distance, outside_polygon(t.footprint, base.head<2>()),
                          base.z() - t.height_m, -base.z()}));
          }
        }
        EXPECT_EQ(object_pixels_without_depth, 0u);
        // Depth is of the nearest surface, never of a face turned away (a few pixels on edges
        // between two faces may be assigned to the wrong one by rounding).
        EXPECT_LE(hidden_face_pixels, object_pixels / 200);
        ASSERT_GT(errors.size(), 100000u);
        std::sort(errors.begin(), errors.end());
        EXPECT_LT(errors.back(), test.max_error_m);
        EXPECT_LT(errors[errors.size() * 99 / 100], test.p99_error_m);
      }
    }
  }
}

// What the detector sees: every object pixel in its class key colour and nothing else near any
// key colour, and after the node's resize to the model input one key region per visible object
// (edge blending must neither invent regions nor join two objects of one class).
TEST(SceneRender, KeyColoursMarkEachVisibleObjectOnce)
{
  const vs::Scene scene = demo();
  const auto & keys = host_rknn::key_colours();
  std::map<std::string, int> frames_seen;
  for (int frame = 0; frame < scene.frame_count(); frame += 4) {
    for (int c = 0; c < 2; ++c) {
      SCOPED_TRACE("frame " + std::to_string(frame) + " camera " + std::to_string(c + 1));
      const vs::View view = vs::render_view(scene, frame, c);
      int stray_pixels = 0;
      int wrong_object_pixels = 0;
      for (int v = 0; v < view.color_rgb.rows; ++v) {
        for (int u = 0; u < view.color_rgb.cols; ++u) {
          const uint8_t * px = view.color_rgb.ptr<uint8_t>(v) + 3 * u;
          const int index = view.object_index.at<int16_t>(v, u);
          if (index < 0) {
            stray_pixels += key_class(px) >= 0 ? 1 : 0;
            continue;
          }
          const auto & key = keys[static_cast<std::size_t>(
              scene.objects[static_cast<std::size_t>(index)].class_id)];
          wrong_object_pixels += (px[0] != key.r || px[1] != key.g || px[2] != key.b) ? 1 : 0;
        }
      }
      EXPECT_EQ(stray_pixels, 0);
      EXPECT_EQ(wrong_object_pixels, 0);

      std::map<int, int> expected_regions;
      const std::vector<vs::PixelBox> boxes = vs::visible_boxes(view, scene.objects.size());
      for (std::size_t i = 0; i < boxes.size(); ++i) {
        if (boxes[i].pixels > 0) {
          ++expected_regions[scene.objects[i].class_id];
          ++frames_seen[scene.objects[i].name];
        }
      }
      cv::Mat resized;
      cv::resize(view.color_rgb, resized, cv::Size(640, 640), 0, 0, cv::INTER_LINEAR);
      for (int k = 0; k < vs::kClassCount; ++k) {
        cv::Mat mask(resized.size(), CV_8UC1);
        for (int v = 0; v < resized.rows; ++v) {
          for (int u = 0; u < resized.cols; ++u) {
            mask.at<uint8_t>(v, u) = key_class(resized.ptr<uint8_t>(v) + 3 * u) == k ? 255 : 0;
          }
        }
        cv::Mat labels;
        cv::Mat stats;
        cv::Mat centroids;
        const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8);
        int regions = 0;
        for (int r = 1; r < n; ++r) {
          regions += stats.at<int>(r, cv::CC_STAT_AREA) >= 16 ? 1 : 0;
        }
        EXPECT_EQ(regions, expected_regions[k]) << vs::class_label(k);
      }
    }
  }
  // Every object stays in view for the whole drive, so the node has something of each class
  // in every frame (8 sampled frames).
  for (const vs::SceneObject & object : scene.objects) {
    EXPECT_GE(frames_seen[object.name], 8) << object.name;
  }
  EXPECT_EQ(frames_seen.size(), scene.objects.size());
}

// A key region's box must be the projection of the object's 3-D shape (the runner derives
// expected detection boxes from it), and no object may hide part of another.
TEST(SceneRender, KeyRegionIsTheProjectionOfTheObject)
{
  const vs::Scene scene = demo();
  for (int frame : {0, 29}) {
    for (int c = 0; c < 2; ++c) {
      const std::vector<vs::PixelBox> full =
          vs::visible_boxes(vs::render_view(scene, frame, c), scene.objects.size());
      for (std::size_t i = 0; i < scene.objects.size(); ++i) {
        SCOPED_TRACE(scene.objects[i].name + " frame " + std::to_string(frame) + " camera " +
                     std::to_string(c + 1));
        vs::Scene alone = scene;
        alone.objects = {scene.objects[i]};
        const vs::PixelBox solo = vs::visible_boxes(vs::render_view(alone, frame, c), 1)[0];
        EXPECT_EQ(full[i].pixels, solo.pixels) << "occluded";
        const std::optional<cv::Rect2d> projected = vs::projected_box(scene, frame, c, i);
        ASSERT_TRUE(projected.has_value());
        // Pixels whose centres fall inside the projection, clipped to the image.
        const int left = std::max(0, static_cast<int>(std::ceil(projected->x)));
        const int top = std::max(0, static_cast<int>(std::ceil(projected->y)));
        const int right = std::min(640, static_cast<int>(std::floor(projected->br().x)) + 1);
        const int bottom = std::min(480, static_cast<int>(std::floor(projected->br().y)) + 1);
        if (left >= right || top >= bottom) {
          EXPECT_EQ(solo.pixels, 0);
          continue;
        }
        ASSERT_GT(solo.pixels, 0);
        const bool clipped = left == 0 || top == 0 || right == 640 || bottom == 480;
        if (clipped) {
          // A silhouette cut by the border may be narrower than its clipped bounding box.
          EXPECT_GE(solo.left, left - 1);
          EXPECT_GE(solo.top, top - 1);
          EXPECT_LE(solo.right, right + 1);
          EXPECT_LE(solo.bottom, bottom + 1);
        } else {
          EXPECT_NEAR(solo.left, left, 1);
          EXPECT_NEAR(solo.top, top, 1);
          EXPECT_NEAR(solo.right, right, 1);
          EXPECT_NEAR(solo.bottom, bottom, 1);
        }
      }
    }
  }
}

TEST(SceneYaml, SavedDirectoryLoadsAndRendersTheSame)
{
  const vs::Scene scene = demo(2);
  const std::string dir =
      ::testing::TempDir() + "veltrax_scene_round_trip_" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  vs::save_scene(scene, dir);
  const vs::Scene loaded = vs::load_scene(dir);

  EXPECT_EQ(vs::to_yaml(loaded), vs::to_yaml(scene));
  ASSERT_EQ(loaded.frame_count(), 2);
  ASSERT_EQ(loaded.objects.size(), scene.objects.size());
  EXPECT_EQ(loaded.cameras[1].mount.pitch_rad, scene.cameras[1].mount.pitch_rad);
  EXPECT_EQ(loaded.robot_poses[1].x_m, scene.robot_poses[1].x_m);

  const vs::Frame original = vs::render_frame(scene, 1);
  const vs::Frame again = vs::render_frame(loaded, 1);
  const YAML::Node root = YAML::LoadFile(dir + "/scene.yaml");
  for (int c = 0; c < 2; ++c) {
    SCOPED_TRACE("camera " + std::to_string(c + 1));
    const vs::View & view = original.views[static_cast<std::size_t>(c)];
    EXPECT_EQ(
        cv::norm(view.color_rgb, again.views[static_cast<std::size_t>(c)].color_rgb, cv::NORM_INF),
        0.0);
    // PNGs on disk: colour in the file's BGR convention, depth as 16-bit millimetres.
    cv::Mat color = cv::imread(vs::frame_image_path(dir, 1, c, "color"), cv::IMREAD_COLOR);
    ASSERT_FALSE(color.empty());
    cv::cvtColor(color, color, cv::COLOR_BGR2RGB);
    EXPECT_EQ(cv::norm(color, view.color_rgb, cv::NORM_INF), 0.0);
    const cv::Mat depth =
        cv::imread(vs::frame_image_path(dir, 1, c, "depth"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(depth.type(), CV_16UC1);
    EXPECT_EQ(cv::norm(depth, view.depth_mm, cv::NORM_INF), 0.0);

    // What the runner publishes on /tf_static must be the same transform as the matrix.
    const YAML::Node tf = root["cameras"][c]["camera_to_base"];
    EXPECT_EQ(tf["child_frame"].as<std::string>(),
              scene.cameras[static_cast<std::size_t>(c)].frame_id);
    const auto t = tf["translation"].as<std::vector<double>>();
    const auto q = tf["rotation_xyzw"].as<std::vector<double>>();
    Eigen::Isometry3d from_tf =
        Eigen::Translation3d(t[0], t[1], t[2]) * Eigen::Quaterniond(q[3], q[0], q[1], q[2]);
    Eigen::Matrix4d rows;
    for (int r = 0; r < 4; ++r) {
      const auto row = tf["matrix"][r].as<std::vector<double>>();
      rows.row(r) = Eigen::Vector4d(row[0], row[1], row[2], row[3]).transpose();
    }
    const Eigen::Matrix4d expected =
        scene.cameras[static_cast<std::size_t>(c)].camera_to_base().matrix();
    EXPECT_LT((from_tf.matrix() - expected).cwiseAbs().maxCoeff(), 1e-12);
    EXPECT_LT((rows - expected).cwiseAbs().maxCoeff(), 1e-15);

    // Each object's recorded pixel box is the one of the rendered view.
    const std::vector<vs::PixelBox> boxes = vs::visible_boxes(view, scene.objects.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      const YAML::Node seen =
          root["frames"][1]["truth"][i]["visible"][scene.cameras[static_cast<std::size_t>(c)].name];
      EXPECT_EQ(seen["pixels"].as<int>(), boxes[i].pixels);
      EXPECT_EQ(seen["box_ltrb"].as<std::vector<int>>(),
                (std::vector<int>{boxes[i].left, boxes[i].top, boxes[i].right, boxes[i].bottom}));
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(SceneYaml, BrokenFilesAreRefusedNamingTheKey)
{
  const std::string good = vs::to_yaml(demo(1));
  struct Case
  {
    const char * what;
    std::string from;
    std::string to;
    const char * key;
  };
  const Case cases[] = {
      {"unknown format", "veltrax_scene 1", "veltrax_scene 9", "format"},
      {"no focal length", "    fx: 525\n", "", "fx"},
      {"unknown shape", "shape: cylinder", "shape: cone", "shape"},
      {"class out of range", "class_id: 5", "class_id: 12", "class_id"},
      {"text for a number", "x_m: 1.1,", "x_m: far,", "x_m"},
  };
  for (const Case & test : cases) {
    SCOPED_TRACE(test.what);
    std::string text = good;
    const std::size_t at = text.find(test.from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, test.from.size(), test.to);
    try {
      vs::parse_scene(text);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error & e) {
      EXPECT_NE(std::string(e.what()).find(test.key), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(vs::load_scene(::testing::TempDir() + "no_such_scene_dir"), std::runtime_error);
}
