// Construction, parameters, topic wiring and teardown of the node.
#include "veltrax_cv_model/yolov5s_predictor.hpp"

#include <chrono>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

#include <pcl_conversions/pcl_conversions.h>
#include <pcl_ros/transforms.hpp>

#include "tf2/exceptions.h"
#include "veltrax_cv_model/anchor_table.hpp"
#include "veltrax_cv_model/parameter_table.hpp"

namespace veltrax_cv_model
{
namespace
{

constexpr auto kFramePeriod = std::chrono::milliseconds(100);
constexpr double kStaleAfterSeconds = 10.0;
// Fault site of the tick's gate and of the whole cycle (FaultLog).
const char * const kFrameCycleSite = "frame cycle";

const char * const kCmdVelTopic = "/cmd_vel";
const char * const kCamera1InfoTopic = "/berxel_camera1/berxel_camera1/depth/camera_info";
const char * const kCamera2InfoTopic = "/berxel_camera2/berxel_camera2/depth/camera_info";
const char * const kCamera1ColorTopic = "/berxel_camera1/berxel_camera1/color/color_raw";
const char * const kCamera1DepthTopic = "/berxel_camera1/berxel_camera1/depth/depth_raw";
const char * const kCamera2ColorTopic = "/berxel_camera2/berxel_camera2/color/color_raw";
const char * const kCamera2DepthTopic = "/berxel_camera2/berxel_camera2/depth/depth_raw";

// Newest frame only: a slow cycle drops camera frames instead of queueing them.
rmw_qos_profile_t image_qos_profile()
{
  rmw_qos_profile_t qos = rmw_qos_profile_default;
  qos.history = RMW_QOS_POLICY_HISTORY_KEEP_LAST;
  qos.depth = 1;
  qos.reliability = RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT;
  qos.durability = RMW_QOS_POLICY_DURABILITY_VOLATILE;
  qos.deadline = RMW_QOS_DEADLINE_DEFAULT;
  qos.lifespan = RMW_QOS_LIFESPAN_DEFAULT;
  qos.liveliness = RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT;
  qos.liveliness_lease_duration = RMW_QOS_LIVELINESS_LEASE_DURATION_DEFAULT;
  qos.avoid_ros_namespace_conventions = false;
  return qos;
}

CameraIntrinsics intrinsics_from(const sensor_msgs::msg::CameraInfo & info)
{
  CameraIntrinsics intrinsics;
  intrinsics.fx = static_cast<float>(info.k[0]);
  intrinsics.fy = static_cast<float>(info.k[4]);
  intrinsics.cx = static_cast<float>(info.k[2]);
  intrinsics.cy = static_cast<float>(info.k[5]);
  return intrinsics;
}

double stamp_seconds(const builtin_interfaces::msg::Time & stamp)
{
  return stamp.sec + stamp.nanosec * 1e-9;
}

// Seconds to a message stamp: whole seconds rounded down, the rest rounded to the nearest
// nanosecond. A rest that rounds up to a whole second is carried, so nanosec stays below 1e9.
builtin_interfaces::msg::Time stamp_from_seconds(double t)
{
  builtin_interfaces::msg::Time stamp;
  double whole = std::floor(t);
  long long nanoseconds = std::llround((t - whole) * 1e9);
  if (nanoseconds >= 1000000000LL) {
    whole += 1.0;
    nanoseconds -= 1000000000LL;
  }
  stamp.sec = static_cast<int32_t>(whole);
  stamp.nanosec = static_cast<uint32_t>(nanoseconds);
  return stamp;
}

Cloud concatenated(const CloudList & clouds)
{
  Cloud all;
  for (const Cloud & cloud : clouds) {
    all += cloud;
  }
  return all;
}

}  // namespace

Yolov5sPredictor::Yolov5sPredictor(const rclcpp::NodeOptions & options)
    : rclcpp::Node(
          "Yolov5sPredictor",
          rclcpp::NodeOptions(options).automatically_declare_parameters_from_overrides(true))
{
  // A constructor that throws never reaches the destructor, so it tears down here what the
  // destructor would: a wrong parameter must not leave the listener writing into a freed buffer.
  try {
    tf_buffer_ = std::make_unique<tf2_ros::Buffer>(this->get_clock());
    // The transform subscriptions are this node's own, served by whatever executor spins it: a
    // listener thread of its own would hang in its destructor when the node is torn down before
    // that thread has started spinning (a wrong parameter, Ctrl-C at start-up).
    // Intra-process delivery (a component container) takes volatile subscriptions only, and
    // /tf_static is transient local: that one always goes through the middleware.
    rclcpp::SubscriptionOptions static_options;
    static_options.use_intra_process_comm = rclcpp::IntraProcessSetting::Disable;
    tf_listener_ = std::make_unique<tf2_ros::TransformListener>(
        *tf_buffer_, this, false, tf2_ros::DynamicListenerQoS(), tf2_ros::StaticListenerQoS(),
        rclcpp::SubscriptionOptions(), static_options);

    getPara();
    cloud_builder_ = std::make_unique<DetectionCloudBuilder>(settings_.clouds);
    outliner_ = std::make_unique<ObstacleOutliner>(
        settings_.clusters,
        [this](const std::string & text) { RCLCPP_DEBUG(get_logger(), "%s", text.c_str()); });
    report_builder_ = std::make_unique<ReportBuilder>(settings_.person_dis_th_m2);
    initializeRKNNModel();
    initializeRKNNInputOutput();
    initializeSubscriber();
    initializePublisher();

    // The workers start last, when every member they read is in place. Their bodies log and skip
    // a frame that throws; the sink is for anything that escapes them.
    const auto escaped = [this](const char * site) {
      return [this, site](const std::string & text) {
        log_fault(site, format_text("%s skipped a frame: %s", site, text.c_str()));
      };
    };
    transform_task1_ = std::make_unique<HandOffWorker<TransformTaskInput>>(
        [this](TransformTaskInput & input) { TransformTask(input); }, escaped("transform worker"));
    transform_task2_ = std::make_unique<HandOffWorker<TransformTaskInput>>(
        [this](TransformTaskInput & input) { TransformTask(input); }, escaped("transform worker"));
    web_task_ = std::make_unique<HandOffWorker<WebTaskInput>>(
        [this](WebTaskInput & input) { WebTask(input); }, escaped("web worker"));
  } catch (...) {
    release_resources();
    throw;
  }
}

Yolov5sPredictor::~Yolov5sPredictor() { release_resources(); }

void Yolov5sPredictor::release_resources()
{
  // The workers read members of this object: they must be gone before any member is.
  web_task_.reset();
  transform_task2_.reset();
  transform_task1_.reset();
  if (rknn_context_created_) {
    rknn_destroy(rknn_ctx_);
    rknn_context_created_ = false;
  }
  input_attrs_.clear();
  output_attrs_.clear();
  // The listener's subscriptions write into the buffer: release them while it still exists.
  tf_listener_.reset();
  tf_buffer_.reset();
}

HandOffLatency Yolov5sPredictor::last_hand_off_latency() const
{
  return {std::chrono::nanoseconds(hand_over_latency_ns_.load(std::memory_order_relaxed)),
          std::chrono::nanoseconds(join_latency_ns_.load(std::memory_order_relaxed))};
}

bool Yolov5sPredictor::knows_transform_of(const std::string & frame_id) const
{
  std::string unknown_frame;  // taken here, so that tf2 does not warn on every poll
  return tf_buffer_->canTransform(base_frame_, frame_id, tf2::TimePointZero, &unknown_frame);
}

void Yolov5sPredictor::getPara()
{
  // Every parameter the table holds and the node was given, in the table's type; whatever is
  // missing takes the table's default in settings_from_parameters.
  ParameterValues values;
  for (const ParameterInfo & info : kParameterTable) {
    rclcpp::Parameter parameter;
    if (!get_parameter(std::string(info.name), parameter)) {
      continue;
    }
    const std::string name(info.name);
    switch (parameter.get_type()) {
      case rclcpp::ParameterType::PARAMETER_BOOL:
        values[name] = parameter.as_bool();
        break;
      case rclcpp::ParameterType::PARAMETER_INTEGER:
        values[name] = static_cast<std::int64_t>(parameter.as_int());
        break;
      case rclcpp::ParameterType::PARAMETER_DOUBLE:
        values[name] = parameter.as_double();
        break;
      case rclcpp::ParameterType::PARAMETER_STRING:
        values[name] = parameter.as_string();
        break;
      default:
        throw std::invalid_argument("parameter '" + name + "' must be of type " +
                                    std::string(to_string(info.type)) + ", got " +
                                    parameter.get_type_name());
    }
  }
  settings_ = settings_from_parameters(values);

  // Read and logged only: no setting uses them.
  bool publish_web = false;
  int satisNum = 0;
  double satisThreshold = 0.0;
  int motion_compensation = 0;
  bool isVel = false;
  bool isTF = false;
  get_parameter_or("publish_web", publish_web, default_number("publish_web") != 0.0);
  get_parameter_or("satisNum", satisNum, static_cast<int>(default_number("satisNum")));
  get_parameter_or("satisThreshold", satisThreshold, default_number("satisThreshold"));
  get_parameter_or("motion_compensation", motion_compensation,
                   static_cast<int>(default_number("motion_compensation")));
  get_parameter_or("isVel", isVel, default_number("isVel") != 0.0);
  get_parameter_or("isTF", isTF, default_number("isTF") != 0.0);

  const DecoderSettings & decoder = settings_.decoder;
  const ClusterSettings & clusters = settings_.clusters;
  const GroundRemovalParams & ground = settings_.clouds.ground;
  const rclcpp::Logger logger = get_logger();
  RCLCPP_INFO(logger, "box_conf_threshold = %.2f", decoder.box_conf_threshold);
  RCLCPP_INFO(logger, "nms_threshold = %.2f", decoder.nms_threshold);
  RCLCPP_INFO(logger, "model_batch = %d", settings_.model_batch);
  RCLCPP_INFO(logger, "draw_results = %d", static_cast<int>(settings_.draw_result));
  RCLCPP_INFO(logger, "publish_web = %d", static_cast<int>(publish_web));
  RCLCPP_INFO(logger, "debug is = %d", static_cast<int>(settings_.debug));
  RCLCPP_INFO(logger, "satisNum = %d", satisNum);
  RCLCPP_INFO(logger, "satisThreshold = %f", satisThreshold);
  RCLCPP_INFO(logger, "KDTreeSearchRadius = %f", clusters.kd_search_radius_m);
  RCLCPP_INFO(logger, "KDTreeMinClusterSize = %d", clusters.kd_min_cluster_size);
  RCLCPP_INFO(logger, "KDTreeMaxClusterSize = %d", clusters.kd_max_cluster_size);
  RCLCPP_INFO(logger, "merge_dis = %.2f", clusters.merge_dis_m);
  RCLCPP_INFO(logger, "center_threshold = %.2f", clusters.center_threshold_m);
  RCLCPP_INFO(logger, "camera1_min = %.2f", settings_.crop_min_m[0]);
  RCLCPP_INFO(logger, "camera2_min = %.2f", settings_.crop_min_m[1]);
  RCLCPP_INFO(logger, "camera1_max = %.2f", settings_.crop_max_m[0]);
  RCLCPP_INFO(logger, "camera2_max = %.2f", settings_.crop_max_m[1]);
  RCLCPP_INFO(logger, "motion_compensation = %d", motion_compensation);
  RCLCPP_INFO(logger, "isVel = %d", static_cast<int>(isVel));
  RCLCPP_INFO(logger, "isTF = %d", static_cast<int>(isTF));
  RCLCPP_INFO(logger, "grid_step = %f", clusters.grid_step_m);
  RCLCPP_INFO(logger, "grid_kernelSize = %d", clusters.grid_kernel_size);
  RCLCPP_INFO(logger, "grid_th = %d", clusters.grid_th);
  RCLCPP_INFO(logger, "person_dis_th = %d", static_cast<int>(settings_.person_dis_th_m2));
  RCLCPP_INFO(logger, "downsample_leaf_size = %f", settings_.clouds.leaf_size_m);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-rMin= %f\n", ground.rMin);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-rMax= %f\n", ground.rMax);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-tHmin= %f\n", ground.tHmin);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-tHmax= %f\n", ground.tHmax);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-tHDiff= %f\n", ground.tHDiff);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-tSDiff= %f\n", ground.tSDiff);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-hSensor= %f \n", ground.hSensor);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-gauss_sigma= %f \n", ground.gauss_sigma);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-gauss_samples= %d \n", ground.gauss_samples);
  RCLCPP_INFO(logger, "ground_cluster-ground_removal-thres= %f \n", ground.thres);
  RCLCPP_INFO(logger, "anchors = %s", format_anchor_text(decoder.anchors).c_str());
}

void Yolov5sPredictor::initializeSubscriber()
{
  RCLCPP_INFO(get_logger(), "initialize Subscriber");
  using std::placeholders::_1;
  cmd_vel_sub_ = create_subscription<geometry_msgs::msg::Twist>(
      kCmdVelTopic, rclcpp::QoS(10), std::bind(&Yolov5sPredictor::cmd_vel_callback, this, _1));
  // Best effort takes camera info from a driver publishing it either way, reliable or with
  // sensor-data QoS; a reliable subscription would never hear the latter.
  camera1_info_sub_ = create_subscription<sensor_msgs::msg::CameraInfo>(
      kCamera1InfoTopic, rclcpp::QoS(10).best_effort(),
      std::bind(&Yolov5sPredictor::camera1_info_callback, this, _1));
  camera2_info_sub_ = create_subscription<sensor_msgs::msg::CameraInfo>(
      kCamera2InfoTopic, rclcpp::QoS(10).best_effort(),
      std::bind(&Yolov5sPredictor::camera2_info_callback, this, _1));

  const rmw_qos_profile_t image_qos = image_qos_profile();
  camera1_color_sub_ = image_transport::create_subscription(
      this, kCamera1ColorTopic, std::bind(&Yolov5sPredictor::camera1_color_callback, this, _1),
      "raw", image_qos);
  camera1_depth_sub_ = image_transport::create_subscription(
      this, kCamera1DepthTopic, std::bind(&Yolov5sPredictor::camera1_depth_callback, this, _1),
      "raw", image_qos);
  camera2_color_sub_ = image_transport::create_subscription(
      this, kCamera2ColorTopic, std::bind(&Yolov5sPredictor::camera2_color_callback, this, _1),
      "raw", image_qos);
  camera2_depth_sub_ = image_transport::create_subscription(
      this, kCamera2DepthTopic, std::bind(&Yolov5sPredictor::camera2_depth_callback, this, _1),
      "raw", image_qos);

  timer_ = create_wall_timer(kFramePeriod, std::bind(&Yolov5sPredictor::timer_callback, this));
}

void Yolov5sPredictor::initializePublisher()
{
  RCLCPP_INFO(get_logger(), "initialize Publisher");
  const rclcpp::QoS qos(1);
  if (settings_.debug) {
    image1_pub_ = create_publisher<sensor_msgs::msg::Image>("/perception/yolov5/image1", qos);
    image2_pub_ = create_publisher<sensor_msgs::msg::Image>("/perception/yolov5/image2", qos);
    detect_filtered_results1_pub_ = create_publisher<sensor_msgs::msg::PointCloud2>(
        "/perception/yolov5/detect_filtered_results1", qos);
    detect_filtered_results2_pub_ = create_publisher<sensor_msgs::msg::PointCloud2>(
        "/perception/yolov5/detect_filtered_results2", qos);
  }
  obstacle_pointcloud_pub_ = create_publisher<sensor_msgs::msg::PointCloud2>(
      "/perception/yolov5/obstacle_pointcloud", qos);
  person_pub_ = create_publisher<veltrax_protocol::msg::Trashes>("/perception/yolov5/person", qos);
  trashes_pub_ =
      create_publisher<veltrax_protocol::msg::Trashes>("/perception/yolov5/trashes", qos);
}

void Yolov5sPredictor::cmd_vel_callback(const geometry_msgs::msg::Twist::ConstSharedPtr & msg)
{
  cmd_vel_ = *msg;
}

void Yolov5sPredictor::camera1_info_callback(
    const sensor_msgs::msg::CameraInfo::ConstSharedPtr & msg)
{
  camera1_intrinsics_ = intrinsics_from(*msg);
}

void Yolov5sPredictor::camera2_info_callback(
    const sensor_msgs::msg::CameraInfo::ConstSharedPtr & msg)
{
  camera2_intrinsics_ = intrinsics_from(*msg);
}

void Yolov5sPredictor::camera1_color_callback(const ImageConstPtr & msg)
{
  camera1_color_msg_ = msg;
}

void Yolov5sPredictor::camera1_depth_callback(const ImageConstPtr & msg)
{
  camera1_depth_msg_ = msg;
}

void Yolov5sPredictor::camera2_color_callback(const ImageConstPtr & msg)
{
  camera2_color_msg_ = msg;
}

void Yolov5sPredictor::camera2_depth_callback(const ImageConstPtr & msg)
{
  camera2_depth_msg_ = msg;
}

void Yolov5sPredictor::timer_callback()
{
  if (!camera1_color_msg_ || !camera1_depth_msg_ || !camera2_color_msg_ || !camera2_depth_msg_) {
    log_fault(kFrameCycleSite, "No input camera data\n");
    return;
  }
  const double now = get_clock()->now().seconds();
  const double camera1_color_latency = now - stamp_seconds(camera1_color_msg_->header.stamp);
  const double camera1_depth_latency = now - stamp_seconds(camera1_depth_msg_->header.stamp);
  const double camera2_color_latency = now - stamp_seconds(camera2_color_msg_->header.stamp);
  const double camera2_depth_latency = now - stamp_seconds(camera2_depth_msg_->header.stamp);
  RCLCPP_DEBUG(get_logger(), "camera1_color_pub_to_sub_cost_time  =  %f(s)\n",
               camera1_color_latency);
  RCLCPP_DEBUG(get_logger(), "camera1_depth_pub_to_sub_cost_time  =  %f(s)\n",
               camera1_depth_latency);
  RCLCPP_DEBUG(get_logger(), "camera2_color_pub_to_sub_cost_time  =  %f(s)\n",
               camera2_color_latency);
  RCLCPP_DEBUG(get_logger(), "camera2_depth_pub_to_sub_cost_time  =  %f(s)\n",
               camera2_depth_latency);
  if (camera1_color_latency > kStaleAfterSeconds || camera1_depth_latency > kStaleAfterSeconds) {
    log_fault(kFrameCycleSite, "camera1_pub_info_time except!\n");
    return;
  }
  if (camera2_color_latency > kStaleAfterSeconds || camera2_depth_latency > kStaleAfterSeconds) {
    log_fault(kFrameCycleSite, "camera2_pub_info_time except!\n");
    return;
  }
  // The outline carries the newest input stamp: one from a camera whose clock runs far ahead
  // would place it where the costmap cannot use it.
  if (camera1_color_latency < -kStaleAfterSeconds || camera1_depth_latency < -kStaleAfterSeconds) {
    log_fault(kFrameCycleSite, "camera1 images stamped more than 10 s ahead of the node clock");
    return;
  }
  if (camera2_color_latency < -kStaleAfterSeconds || camera2_depth_latency < -kStaleAfterSeconds) {
    log_fault(kFrameCycleSite, "camera2 images stamped more than 10 s ahead of the node clock");
    return;
  }

  if (!camera1_tf_ready_ &&
      !look_up_camera_transform(*camera1_depth_msg_, "Transform camera_1 error of sensor data: ",
                                camera1_matrix_, camera1_tf_ready_)) {
    return;
  }
  if (!camera2_tf_ready_ &&
      !look_up_camera_transform(*camera2_depth_msg_, "Transform2 camera_2 error of sensor data: ",
                                camera2_matrix_, camera2_tf_ready_)) {
    return;
  }

  // Back-projection divides by the focal lengths: without camera info there is nothing to do.
  if (!camera1_intrinsics_.usable() || !camera2_intrinsics_.usable()) {
    const char * const text = "waiting for camera info with non-zero focal lengths on both cameras";
    if (fault_log_.report(kFrameCycleSite, text)) {
      RCLCPP_WARN(get_logger(), "%s", text);
    }
    return;
  }

  try {
    subscriberCallback(camera1_color_msg_, camera2_color_msg_, camera1_depth_msg_,
                       camera2_depth_msg_);
  } catch (const std::exception & e) {
    log_fault(kFrameCycleSite, format_text("frame cycle skipped: %s", e.what()));
    // The next cycle hands work to the transform workers again: they must be idle by then.
    transform_task1_->wait_until_idle();
    transform_task2_->wait_until_idle();
    return;
  }
  log_recovery(kFrameCycleSite);
}

void Yolov5sPredictor::log_fault(const std::string & site, const std::string & text)
{
  if (fault_log_.report(site, text)) {
    RCLCPP_ERROR(get_logger(), "%s", text.c_str());
  }
}

void Yolov5sPredictor::log_recovery(const std::string & site)
{
  if (fault_log_.clear(site)) {
    RCLCPP_INFO(get_logger(), "%s: recovered", site.c_str());
  }
}

bool Yolov5sPredictor::look_up_camera_transform(const sensor_msgs::msg::Image & depth,
                                                const char * error_prefix, Eigen::Matrix4f & matrix,
                                                bool & ready)
{
  geometry_msgs::msg::TransformStamped transform;
  try {
    transform = tf_buffer_->lookupTransform(base_frame_, depth.header.frame_id, tf2::TimePointZero);
  } catch (const tf2::TransformException & e) {
    log_fault(kFrameCycleSite, error_prefix + std::string(e.what()) + ", quitting callback");
    return false;
  }
  pcl_ros::transformAsMatrix(transform, matrix);
  ready = true;
  return true;
}

void Yolov5sPredictor::subscriberCallback(const ImageConstPtr & color1,
                                          const ImageConstPtr & color2,
                                          const ImageConstPtr & depth1,
                                          const ImageConstPtr & depth2)
{
  DetectionFrame frame1;
  DetectionFrame frame2;
  detectImagePair(&frame1, &frame2, color1, color2);

  if (!frame1.objects.empty() && web_task_->idle()) {
    RCLCPP_DEBUG(get_logger(), "object_all_in_frame1.objects.size() = %d\n",
                 static_cast<int>(frame1.objects.size()));
    // The intrinsics are a snapshot: the camera-info callback may rewrite the node's copy while
    // the worker runs. The images are shared, never copied.
    web_task_->input() = WebTaskInput{frame1, depth1, camera1_intrinsics_};
    web_task_->hand_over();
  }

  callback_process(frame1, frame2, depth1, depth2, obstacle_pointcloud_pub_);
}

void Yolov5sPredictor::hand_over_to_transform_worker(const DetectionFrame & frame,
                                                     const ImageConstPtr & depth,
                                                     const CameraIntrinsics & intrinsics,
                                                     float z_min, float z_max,
                                                     const Eigen::Matrix4f & matrix,
                                                     HandOffWorker<TransformTaskInput> & worker)
{
  if (!worker.idle()) {
    return;
  }
  TransformTaskInput & input = worker.input();
  input.clouds.clear();
  if (frame.objects.empty()) {
    return;
  }
  input.detections = frame;
  input.depth = depth;
  input.intrinsics = intrinsics;
  input.z_min = z_min;
  input.z_max = z_max;
  input.transform = matrix;
  worker.hand_over();
}

void Yolov5sPredictor::callback_process(
    const DetectionFrame & frame1, const DetectionFrame & frame2, const ImageConstPtr & depth1,
    const ImageConstPtr & depth2,
    const rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr & publisher)
{
  double cycle_stamp = stamp_seconds(frame1.image->header.stamp);
  for (const ImageConstPtr * image : {&depth1, &frame2.image, &depth2}) {
    cycle_stamp = std::max(cycle_stamp, stamp_seconds((*image)->header.stamp));
  }

  const auto cycle_start = std::chrono::steady_clock::now();
  hand_over_to_transform_worker(frame1, depth1, camera1_intrinsics_, settings_.crop_min_m[0],
                                settings_.crop_max_m[0], camera1_matrix_, *transform_task1_);
  hand_over_to_transform_worker(frame2, depth2, camera2_intrinsics_, settings_.crop_min_m[1],
                                settings_.crop_max_m[1], camera2_matrix_, *transform_task2_);
  transform_task1_->wait_until_idle();
  transform_task2_->wait_until_idle();
  const auto joined = std::chrono::steady_clock::now();

  // Hand-off latencies of the workers that ran in this cycle.
  std::chrono::nanoseconds hand_over{0};
  std::chrono::steady_clock::time_point last_back{};
  for (const auto * worker : {transform_task1_.get(), transform_task2_.get()}) {
    const HandOffTimes & t = worker->times();
    if (t.handed_over >= cycle_start) {
      hand_over = std::max(hand_over, std::chrono::nanoseconds(t.started - t.handed_over));
      last_back = std::max(last_back, t.handed_back);
    }
  }
  hand_over_latency_ns_.store(hand_over.count(), std::memory_order_relaxed);
  join_latency_ns_.store(last_back == std::chrono::steady_clock::time_point{}
                             ? 0
                             : std::chrono::nanoseconds(joined - last_back).count(),
                         std::memory_order_relaxed);

  CloudList & clouds1 = transform_task1_->input().clouds;
  CloudList & clouds2 = transform_task2_->input().clouds;
  if (settings_.debug) {
    sensor_msgs::msg::PointCloud2 debug_msg;
    pcl::toROSMsg(concatenated(clouds1), debug_msg);
    debug_msg.header.frame_id = base_frame_;
    detect_filtered_results1_pub_->publish(debug_msg);
    pcl::toROSMsg(concatenated(clouds2), debug_msg);
    debug_msg.header.frame_id = base_frame_;
    detect_filtered_results2_pub_->publish(debug_msg);
  }

  CloudList detection_clouds;
  detection_clouds.reserve(clouds1.size() + clouds2.size());
  for (CloudList * clouds : {&clouds1, &clouds2}) {
    std::move(clouds->begin(), clouds->end(), std::back_inserter(detection_clouds));
    clouds->clear();
  }
  Cloud outline;
  if (!outliner_->outline(detection_clouds, outline)) {
    RCLCPP_ERROR(get_logger(), "cluster method except!");
  }

  sensor_msgs::msg::PointCloud2 outline_msg;
  pcl::toROSMsg(outline, outline_msg);
  outline_msg.header.frame_id = base_frame_;
  outline_msg.header.stamp = stamp_from_seconds(cycle_stamp);
  publisher->publish(outline_msg);
}

}  // namespace veltrax_cv_model
