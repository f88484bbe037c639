// The node's construction: parameters and their log lines, topic wiring and input caches.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "rcutils/logging.h"
#include "veltrax_cv_model/parameter_table.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"
#include "veltrax_harness/harness.hpp"

namespace veltrax_cv_model
{
namespace
{

using namespace std::chrono_literals;
using veltrax_harness::LogCapture;
using veltrax_harness::Probe;
using veltrax_harness::RosSession;

std::vector<std::string> info_lines_from(const LogCapture & log, const std::string & first,
                                         std::size_t count)
{
  const std::vector<std::string> info = log.messages(RCUTILS_LOG_SEVERITY_INFO);
  const auto start = std::find(info.begin(), info.end(), first);
  if (start == info.end()) return {};
  return std::vector<std::string>(start,
                                  start + std::min<std::ptrdiff_t>(count, info.end() - start));
}

// The start-up value lines by parameter name: "name = value" and the ground-removal lines
// "ground_cluster-ground_removal-name= value".
std::map<std::string, std::string> logged_values(const LogCapture & log)
{
  const std::map<std::string, std::string> aliases = {{"draw_results", "draw_result"},
                                                      {"debug is", "debug"}};
  const std::string ground_prefix = "ground_cluster-ground_removal-";
  std::map<std::string, std::string> values;
  for (const std::string & line : log.messages(RCUTILS_LOG_SEVERITY_INFO)) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string name = line.substr(0, equals);
    name.erase(name.find_last_not_of(' ') + 1);
    if (name.rfind(ground_prefix, 0) == 0) {
      name = "/ground_removal/" + name.substr(ground_prefix.size());
    } else if (aliases.count(name) != 0) {
      name = aliases.at(name);
    }
    std::string value = line.substr(equals + 1);
    value.erase(std::remove_if(value.begin(), value.end(), ::isspace), value.end());
    if (find_parameter(name) != nullptr) values[name] = value;
  }
  return values;
}

double number_of(const ParameterInfo & info, const std::string & text)
{
  if (info.type == ParameterType::kBool) return text == "true" || text == "1" ? 1.0 : 0.0;
  return std::stod(text);
}

TEST(NodeFrame, StartsWithTheTableDefaultsAndLogsThemInOrder)
{
  RosSession ros;
  LogCapture log;
  const auto node = std::make_shared<Yolov5sPredictor>();

  // The start-up lines as operators' scripts read them.
  const std::vector<std::string> expected = {
      "box_conf_threshold = 0.40",
      "nms_threshold = 0.30",
      "model_batch = 2",
      "draw_results = 0",
      "publish_web = 0",
      "debug is = 0",
      "satisNum = 50",
      "satisThreshold = 1.000000",
      "KDTreeSearchRadius = 0.100000",
      "KDTreeMinClusterSize = 30",
      "KDTreeMaxClusterSize = 25000",
      "merge_dis = 0.80",
      "center_threshold = 0.50",
      "camera1_min = 0.00",
      "camera2_min = 0.20",
      "camera1_max = 3.00",
      "camera2_max = 3.00",
      "motion_compensation = 0",
      "isVel = 0",
      "isTF = 0",
      "grid_step = 0.010000",
      "grid_kernelSize = 3",
      "grid_th = 5",
      "person_dis_th = 2",
      "downsample_leaf_size = 0.001000",
      "ground_cluster-ground_removal-rMin= 0.200000\n",
      "ground_cluster-ground_removal-rMax= 5.000000\n",
      "ground_cluster-ground_removal-tHmin= -0.150000\n",
      "ground_cluster-ground_removal-tHmax= 0.150000\n",
      "ground_cluster-ground_removal-tHDiff= 0.025000\n",
      "ground_cluster-ground_removal-tSDiff= 0.300000\n",
      "ground_cluster-ground_removal-hSensor= 0.500000 \n",
      "ground_cluster-ground_removal-gauss_sigma= 0.200000 \n",
      "ground_cluster-ground_removal-gauss_samples= 5 \n",
      "ground_cluster-ground_removal-thres= 0.050000 \n",
      "anchors = 10, 13, 16, 30, 33, 23, 30, 61, 62, 45, 59, 119, 116, 90, 156, 198, 373, 326, ",
  };
  EXPECT_EQ(info_lines_from(log, expected.front(), expected.size()), expected);

  // Every logged value is the table's default.
  const std::map<std::string, std::string> values = logged_values(log);
  EXPECT_EQ(values.size(), expected.size());
  for (const auto & [name, value] : values) {
    SCOPED_TRACE(name);
    const ParameterInfo & info = *find_parameter(name);
    if (info.type == ParameterType::kString) {
      std::string table_value(info.default_value);
      EXPECT_EQ(value, table_value);
    } else {
      EXPECT_DOUBLE_EQ(number_of(info, value), number_of(info, std::string(info.default_value)));
    }
  }
}

TEST(NodeFrame, ReadsEveryTableParameterItLogs)
{
  // Each parameter moved off its default by a step every log format shows.
  std::vector<std::string> args;
  std::map<std::string, double> supplied;
  for (const ParameterInfo & info : kParameterTable) {
    const std::string name(info.name);
    if (info.type == ParameterType::kString || info.default_value.empty()) continue;
    const double base = number_of(info, std::string(info.default_value));
    std::string text;
    if (info.type == ParameterType::kBool) {
      supplied[name] = 1.0 - base;
      text = base == 0.0 ? "true" : "false";
    } else if (info.type == ParameterType::kInteger) {
      supplied[name] = base + 1.0;
      text = std::to_string(static_cast<long>(base) + 1);
    } else {
      // person_dis_th is logged as an integer.
      supplied[name] = base + (name == "person_dis_th" ? 1.0 : 0.25);
      text = std::to_string(supplied[name]);
    }
    args.insert(args.end(), {"-p", name + ":=" + text});
  }
  args.insert(args.end(), {"-p", "anchors:=1,2,3,"});
  RosSession ros(args);
  LogCapture log;
  const auto node = std::make_shared<Yolov5sPredictor>();

  // Every supplied parameter the node logs is logged with its supplied value: one missing from
  // the log, or logged at its default, fails here. These two have no start-up line.
  for (const char * silent : {"obj_class_num", "cluster_method"}) {
    supplied.erase(silent);
  }
  const std::map<std::string, std::string> values = logged_values(log);
  for (const auto & [name, value] : supplied) {
    SCOPED_TRACE(name);
    const auto logged = values.find(name);
    ASSERT_NE(logged, values.end()) << "not logged";
    EXPECT_DOUBLE_EQ(number_of(*find_parameter(name), logged->second), value);
  }
  // The rest of the list keeps the built-in anchors.
  ASSERT_EQ(values.count("anchors"), 1u);
  EXPECT_EQ(values.at("anchors"), "1,2,3,30,33,23,30,61,62,45,59,119,116,90,156,198,373,326,");
  EXPECT_EQ(values.size(), supplied.size() + 1);
}

// The shipped parameter file and the README's parameter table hold exactly the table's names,
// types, defaults and meanings.
TEST(NodeFrame, ShippedFileAndReadmeAgreeWithTheParameterTable)
{
  const YAML::Node file = YAML::LoadFile(std::string(VELTRAX_CONFIG_DIR) + "/params.yaml");
  const YAML::Node parameters = file["Yolov5sPredictor"]["ros__parameters"];
  ASSERT_TRUE(parameters.IsMap());
  for (const auto & entry : parameters) {
    const std::string name = entry.first.as<std::string>();
    SCOPED_TRACE(name);
    const ParameterInfo * info = find_parameter(name);
    ASSERT_NE(info, nullptr) << "not a parameter of the node";
    const std::string text = entry.second.Scalar();
    bool as_bool = false;
    long as_long = 0;
    double as_double = 0.0;
    const bool is_bool = YAML::convert<bool>::decode(entry.second, as_bool);
    const bool is_integer = !is_bool && YAML::convert<long>::decode(entry.second, as_long);
    const bool is_double =
        !is_bool && !is_integer && YAML::convert<double>::decode(entry.second, as_double);
    const ParameterType type = is_bool      ? ParameterType::kBool
                               : is_integer ? ParameterType::kInteger
                               : is_double  ? ParameterType::kDouble
                                            : ParameterType::kString;
    EXPECT_EQ(to_string(type), to_string(info->type));
  }

  // README rows: | `name` | type | default | unit | meaning |
  std::ifstream readme(std::string(VELTRAX_README));
  ASSERT_TRUE(readme.good());
  std::set<std::string> rows;
  std::string line;
  while (std::getline(readme, line)) {
    if (line.rfind("| `", 0) != 0) continue;
    std::vector<std::string> cells;
    std::size_t start = 1;
    for (std::size_t bar = line.find('|', start); bar != std::string::npos;
         bar = line.find('|', start)) {
      std::string cell = line.substr(start, bar - start);
      cell.erase(0, cell.find_first_not_of(' '));
      cell.erase(cell.find_last_not_of(' ') + 1);
      cells.push_back(cell);
      start = bar + 1;
    }
    if (cells.size() != 5 || cells[0].size() < 2) continue;
    const std::string name = cells[0].substr(1, cells[0].size() - 2);
    const ParameterInfo * info = find_parameter(name);
    if (info == nullptr) continue;
    SCOPED_TRACE(name);
    rows.insert(name);
    EXPECT_EQ(cells[1], to_string(info->type));
    EXPECT_EQ(cells[2],
              info->default_value.empty() ? "—" : "`" + std::string(info->default_value) + "`");
    EXPECT_EQ(cells[3], info->unit);
    EXPECT_EQ(cells[4], info->meaning);
  }
  EXPECT_EQ(rows.size(), kParameterTable.size());
}

// The process's threads by id: a thread of an earlier case may still be ending while a case
// runs, so a new thread is told by its id, not by the count.
std::set<std::string> thread_ids()
{
  std::set<std::string> ids;
  for (const auto & entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ids.insert(entry.path().filename().string());
  }
  return ids;
}

TEST(NodeFrame, RefusesToStartOnAWrongTypeOrAnUnusableAnchorList)
{
  struct Case
  {
    std::string rule;
    std::string expected_in_message;
  };
  const Case cases[] = {
      {"box_conf_threshold:=1", "box_conf_threshold"},
      {"debug:=1", "debug"},
      {"/ground_removal/gauss_samples:=5.0", "/ground_removal/gauss_samples"},
      {"anchors:=10,x,", "stof"},
      {"obj_class_num:=2147483647", "obj_class_num"},
      {"obj_class_num:=0", "obj_class_num"},
      {"anchors:=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,", "anchors"},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.rule);
    RosSession ros({"-p", c.rule});
    // Transforms keep arriving while the half-built node unwinds: its listener must be gone
    // before the buffer it writes into (the sanitizer builds catch the other order), and no
    // thread it started may outlive it.
    const auto tf_source = rclcpp::Node::make_shared("tf_source");
    const auto tf_pub = tf_source->create_publisher<tf2_msgs::msg::TFMessage>("/tf", 10);
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
      tf2_msgs::msg::TFMessage message;
      message.transforms.resize(1);
      message.transforms[0].header.frame_id = "base_footprint";
      message.transforms[0].child_frame_id = "camera";
      message.transforms[0].transform.rotation.w = 1.0;
      while (flooding.load()) {
        message.transforms[0].header.stamp = tf_source->now();
        tf_pub->publish(message);
        std::this_thread::yield();
      }
    });
    const std::set<std::string> threads_before = thread_ids();
    try {
      const auto node = std::make_shared<Yolov5sPredictor>();
      ADD_FAILURE() << "the node started";
    } catch (const std::exception & e) {
      EXPECT_NE(std::string(e.what()).find(c.expected_in_message), std::string::npos) << e.what();
    }
    for (const std::string & id : thread_ids()) {
      EXPECT_EQ(threads_before.count(id), 1u) << "thread " << id << " outlived the node";
    }
    flooding.store(false);
    flood.join();
  }
}

// The node's /perception/ publishers once the graph shows `expected` (the local graph cache is
// filled by discovery, which takes its time under load), or as they are after 10 s.
std::set<std::string> output_topics(rclcpp::Node & node, const std::set<std::string> & expected)
{
  const auto graph = node.get_node_graph_interface();
  const rclcpp::Event::SharedPtr changed = graph->get_graph_event();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    std::set<std::string> topics;
    for (const auto & [topic, types] :
         graph->get_publisher_names_and_types_by_node(node.get_name(), node.get_namespace())) {
      if (topic.rfind("/perception/", 0) == 0) topics.insert(topic);
    }
    if (topics == expected || std::chrono::steady_clock::now() > deadline) return topics;
    graph->wait_for_graph_change(changed, 100ms);
  }
}

TEST(NodeFrame, AdvertisesDebugTopicsOnlyWithDebug)
{
  const std::set<std::string> always = {"/perception/yolov5/obstacle_pointcloud",
                                        "/perception/yolov5/person", "/perception/yolov5/trashes"};
  {
    RosSession ros;
    const auto node = std::make_shared<Yolov5sPredictor>();
    EXPECT_EQ(output_topics(*node, always), always);
  }
  {
    RosSession ros({"-p", "debug:=true"});
    const auto node = std::make_shared<Yolov5sPredictor>();
    std::set<std::string> with_debug = always;
    with_debug.insert({"/perception/yolov5/image1", "/perception/yolov5/image2",
                       "/perception/yolov5/detect_filtered_results1",
                       "/perception/yolov5/detect_filtered_results2"});
    EXPECT_EQ(output_topics(*node, with_debug), with_debug);
  }
}

TEST(NodeFrame, TicksOnItsTimerAndReportsMissingInputsOnce)
{
  // At debug level every tick that finds all four images logs their latencies.
  RosSession ros({"--log-level", "debug"});
  LogCapture log;
  const auto node = std::make_shared<Yolov5sPredictor>();
  Probe probe;
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.add_node(probe.node);
  ASSERT_TRUE(veltrax_harness::spin_until(executor,
                                          [&] { return log.count("No input camera data") >= 1; }));
  veltrax_harness::spin_for(executor, 300ms);
  EXPECT_EQ(log.count("No input camera data"), 1u);

  for (const auto & publisher : {probe.color1, probe.depth1, probe.color2, probe.depth2}) {
    publisher->publish(veltrax_harness::image(4, 4, "rgb8", "unknown_frame", node->now()));
  }
  EXPECT_TRUE(veltrax_harness::spin_until(
      executor, [&] { return log.count("camera1_color_pub_to_sub_cost_time") >= 3; }));
}

}  // namespace
}  // namespace veltrax_cv_model
