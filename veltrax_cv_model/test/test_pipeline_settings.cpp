// Parameter values to pipeline settings: the table is the one source of names, types, defaults
// and limits.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "veltrax_cv_model/anchor_table.hpp"
#include "veltrax_cv_model/pipeline_settings.hpp"

namespace veltrax_cv_model
{
namespace
{

// The settings structs carry their own defaults for code that builds them by hand (tests, tools):
// they must be the table's, or the node and those programs disagree.
TEST(PipelineSettings, StructDefaultsAreTheParameterTables)
{
  const PipelineSettings table = settings_from_parameters({});
  const DecoderSettings decoder;
  EXPECT_EQ(table.decoder.anchors, decoder.anchors);
  EXPECT_EQ(kDefaultAnchors, decoder.anchors);
  EXPECT_EQ(table.decoder.obj_class_num, decoder.obj_class_num);
  EXPECT_EQ(table.decoder.box_conf_threshold, decoder.box_conf_threshold);
  EXPECT_EQ(table.decoder.nms_threshold, decoder.nms_threshold);

  const ClusterSettings clusters;
  EXPECT_EQ(table.clusters.method, clusters.method);
  EXPECT_EQ(table.clusters.merge_dis_m, clusters.merge_dis_m);
  EXPECT_EQ(table.clusters.center_threshold_m, clusters.center_threshold_m);
  EXPECT_EQ(table.clusters.kd_search_radius_m, clusters.kd_search_radius_m);
  EXPECT_EQ(table.clusters.kd_min_cluster_size, clusters.kd_min_cluster_size);
  EXPECT_EQ(table.clusters.kd_max_cluster_size, clusters.kd_max_cluster_size);
  EXPECT_EQ(table.clusters.grid_step_m, clusters.grid_step_m);
  EXPECT_EQ(table.clusters.grid_kernel_size, clusters.grid_kernel_size);
  EXPECT_EQ(table.clusters.grid_th, clusters.grid_th);

  EXPECT_EQ(table.clouds.leaf_size_m, DetectionCloudSettings{}.leaf_size_m);
}

// Each parameter moved off its default must land in its own field and nowhere else: a binding
// that reads camera1_min into camera2_min, or a value truncated on the way, fails here.
TEST(PipelineSettings, EveryParameterReachesItsField)
{
  struct Case
  {
    const char * name;
    ParameterValue value;
    std::function<double(const PipelineSettings &)> field;
  };
  const Case cases[] = {
      {"box_conf_threshold", 0.55, [](const auto & s) { return s.decoder.box_conf_threshold; }},
      {"nms_threshold", 0.45, [](const auto & s) { return s.decoder.nms_threshold; }},
      {"obj_class_num", std::int64_t{8}, [](const auto & s) { return s.decoder.obj_class_num; }},
      {"model_batch", std::int64_t{1}, [](const auto & s) { return s.model_batch; }},
      {"draw_result", true, [](const auto & s) { return s.draw_result; }},
      {"debug", true, [](const auto & s) { return s.debug; }},
      {"downsample_leaf_size", 0.005, [](const auto & s) { return s.clouds.leaf_size_m; }},
      {"camera1_min", 0.125, [](const auto & s) { return s.crop_min_m[0]; }},
      {"camera2_min", 0.375, [](const auto & s) { return s.crop_min_m[1]; }},
      {"camera1_max", 2.5, [](const auto & s) { return s.crop_max_m[0]; }},
      {"camera2_max", 2.25, [](const auto & s) { return s.crop_max_m[1]; }},
      {"/ground_removal/rMin", 0.3, [](const auto & s) { return s.clouds.ground.rMin; }},
      {"/ground_removal/rMax", 4.0, [](const auto & s) { return s.clouds.ground.rMax; }},
      {"/ground_removal/tHmin", -0.2, [](const auto & s) { return s.clouds.ground.tHmin; }},
      {"/ground_removal/tHmax", 0.2, [](const auto & s) { return s.clouds.ground.tHmax; }},
      {"/ground_removal/tHDiff", 0.03, [](const auto & s) { return s.clouds.ground.tHDiff; }},
      {"/ground_removal/tSDiff", 0.4, [](const auto & s) { return s.clouds.ground.tSDiff; }},
      {"/ground_removal/hSensor", 0.7, [](const auto & s) { return s.clouds.ground.hSensor; }},
      {"/ground_removal/thres", 0.06, [](const auto & s) { return s.clouds.ground.thres; }},
      {"/ground_removal/gauss_sigma", 0.3,
       [](const auto & s) { return s.clouds.ground.gauss_sigma; }},
      {"/ground_removal/gauss_samples", std::int64_t{7},
       [](const auto & s) { return s.clouds.ground.gauss_samples; }},
      {"cluster_method", std::int64_t{1}, [](const auto & s) { return s.clusters.method; }},
      {"merge_dis", 0.9, [](const auto & s) { return s.clusters.merge_dis_m; }},
      {"center_threshold", 0.6, [](const auto & s) { return s.clusters.center_threshold_m; }},
      {"KDTreeSearchRadius", 0.15, [](const auto & s) { return s.clusters.kd_search_radius_m; }},
      {"KDTreeMinClusterSize", std::int64_t{40},
       [](const auto & s) { return s.clusters.kd_min_cluster_size; }},
      {"KDTreeMaxClusterSize", std::int64_t{30000},
       [](const auto & s) { return s.clusters.kd_max_cluster_size; }},
      {"grid_step", 0.02, [](const auto & s) { return s.clusters.grid_step_m; }},
      {"grid_kernelSize", std::int64_t{5},
       [](const auto & s) { return s.clusters.grid_kernel_size; }},
      {"grid_th", std::int64_t{6}, [](const auto & s) { return s.clusters.grid_th; }},
      {"person_dis_th", 3.5, [](const auto & s) { return s.person_dis_th_m2; }},
  };
  const PipelineSettings defaults = settings_from_parameters({});
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    const double wanted = std::visit(
        [](const auto & v) -> double {
          if constexpr (std::is_arithmetic_v<std::decay_t<decltype(v)>>) return v;
          return 0.0;
        },
        c.value);
    ASSERT_NE(c.field(defaults), wanted) << "the case must move the value off its default";
    const PipelineSettings moved = settings_from_parameters({{c.name, c.value}});
    EXPECT_NEAR(c.field(moved), wanted, 1e-6);
    // Every other field keeps its default.
    for (const Case & other : cases) {
      if (&other != &c) {
        EXPECT_EQ(other.field(moved), other.field(defaults)) << other.name;
      }
    }
  }

  const PipelineSettings text = settings_from_parameters(
      {{"anchors", std::string("1,2,")}, {"rknn_model_path", std::string("m.rknn")}});
  EXPECT_EQ(text.decoder.anchors[0], 1);
  EXPECT_EQ(text.decoder.anchors[1], 2);
  EXPECT_EQ(text.decoder.anchors[2], kDefaultAnchors[2]);
  EXPECT_EQ(text.rknn_model_path, "m.rknn");
}

TEST(PipelineSettings, RefusesNamingTheParameter)
{
  struct Case
  {
    ParameterValues values;
    const char * names;  // what the error text must hold
  };
  const Case cases[] = {
      {{{"box_conf_threshold", std::int64_t{1}}}, "'box_conf_threshold' must be of type double"},
      {{{"debug", std::string("yes")}}, "'debug' must be of type bool"},
      {{{"no_such_parameter", 1.0}}, "'no_such_parameter' is not a parameter"},
      {{{"obj_class_num", std::int64_t{0}}}, "'obj_class_num' must lie in 1..1000, got 0"},
      {{{"obj_class_num", std::int64_t{1001}}}, "'obj_class_num' must lie in 1..1000, got 1001"},
      {{{"anchors", std::string("x,")}}, "'anchors' is not a comma-terminated number list"},
      {{{"anchors", std::string("1e40,")}}, "'anchors' holds an unusable value"},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.names);
    try {
      settings_from_parameters(c.values);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument & e) {
      EXPECT_NE(std::string(e.what()).find(c.names), std::string::npos) << e.what();
    }
  }
  // The limits themselves are accepted.
  EXPECT_EQ(settings_from_parameters({{"obj_class_num", std::int64_t{1000}}}).decoder.obj_class_num,
            1000);
}

}  // namespace
}  // namespace veltrax_cv_model
