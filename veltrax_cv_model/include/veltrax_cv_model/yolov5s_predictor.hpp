// The perception node: YOLOv5s on the NPU for two RGB-D cameras, litter reports and obstacle
// footprint outlines. The algorithms live in the ROS-free modules beside this header; this class
// binds them to parameters, topics, the NPU runtime and the worker threads.
#pragma once

#include <Eigen/Core>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <opencv2/core.hpp>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "geometry_msgs/msg/twist.hpp"
#include "image_transport/image_transport.hpp"
#include "rclcpp/rclcpp.hpp"
#include "rknn_api.h"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "std_msgs/msg/header.hpp"
#include "tf2_ros/buffer.h"
#include "tf2_ros/transform_listener.h"
#include "veltrax_cv_model/anchor_table.hpp"
#include "veltrax_cv_model/detection_cloud_builder.hpp"
#include "veltrax_cv_model/fault_log.hpp"
#include "veltrax_cv_model/ground_removal.hpp"
#include "veltrax_cv_model/obstacle_outliner.hpp"
#include "veltrax_cv_model/parameter_table.hpp"
#include "veltrax_cv_model/report_builder.hpp"
#include "veltrax_cv_model/types.hpp"
#include "veltrax_cv_model/yolo_decode.hpp"
#include "veltrax_protocol/msg/trashes.hpp"

namespace veltrax_cv_model
{

/// All detections of one camera image of one frame cycle.
struct DetectionFrame
{
  std_msgs::msg::Header header;         ///< system time after inference, frame id "frame"
  std::vector<DetectedObject> objects;  ///< descending score
  sensor_msgs::msg::Image image;        ///< the colour message the detections were made on
};

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudList = std::vector<Cloud>;
using ImageConstPtr = sensor_msgs::msg::Image::ConstSharedPtr;

class Yolov5sPredictor : public rclcpp::Node
{
public:
  /// Input record of a transform worker. Owned by the frame cycle while the worker's idle flag
  /// is true and by the worker while it is false.
  struct TransformTaskInput
  {
    DetectionFrame detections;
    ImageConstPtr color;
    ImageConstPtr depth;
    CloudList clouds;  ///< worker output: one cloud per kept detection, base_footprint, metres
    CameraIntrinsics intrinsics;
    float z_min{0.0f};  ///< crop range along the optical axis, metres
    float z_max{0.0f};
    Eigen::Matrix4f transform{Eigen::Matrix4f::Identity()};  ///< camera optical -> base_footprint
    // When the frame cycle handed the record over, the worker woke up and handed it back.
    std::chrono::steady_clock::time_point handed_over{};
    std::chrono::steady_clock::time_point started{};
    std::chrono::steady_clock::time_point handed_back{};

    EIGEN_MAKE_ALIGNED_OPERATOR_NEW
  };

  /// How long the last frame cycle's hand-offs took: from a hand-over to its worker waking up
  /// (the longer of the two cameras) and from the last hand-back to the cycle going on. Zero
  /// when no worker ran in that cycle.
  struct HandOffLatency
  {
    std::chrono::nanoseconds hand_over{0};
    std::chrono::nanoseconds join{0};
  };

  /// Input record of the web (report) worker; same ownership rule as TransformTaskInput.
  struct WebTaskInput
  {
    ImageConstPtr depth;
    ImageConstPtr color;
    DetectionFrame detections;
    CameraIntrinsics intrinsics;  ///< camera 1 intrinsics as they were at hand-off
  };

  /// Parameter overrides of `options` are declared as they come (the node reads what it knows and
  /// logs the rest); a component container passes its own options here.
  explicit Yolov5sPredictor(const rclcpp::NodeOptions & options = rclcpp::NodeOptions());
  ~Yolov5sPredictor() override;

  Yolov5sPredictor(const Yolov5sPredictor &) = delete;
  Yolov5sPredictor & operator=(const Yolov5sPredictor &) = delete;

  // --- Construction steps (construction thread only) -------------------------------------------
  void getPara();
  void initializeSubscriber();
  void initializePublisher();
  void initializeRKNNModel();
  /// Loads the model file into the NPU runtime; prints to standard output. 0 on success, -1 on
  /// a failed init or version query.
  int createRKNNContext(rknn_context * context, const std::string & model_path);
  void initializeRKNNInputOutput();

  // --- Detection (frame-cycle thread) ----------------------------------------------------------
  void detectImagePair(DetectionFrame * frame1, DetectionFrame * frame2,
                       const ImageConstPtr & color1, const ImageConstPtr & color2);
  void predict(const cv::Mat & rgb1, const cv::Mat & rgb2, DetectionFrame * frame1,
               DetectionFrame * frame2);
  void postProcess(const std::array<const int8_t *, 3> & outputs, DetectionFrame * frame, int slot,
                   float scale_w, float scale_h);
  int decodeBoxes(const int8_t * data, int output_index, std::vector<float> & boxes,
                  std::vector<float> & scores, std::vector<int32_t> & class_ids);
  void quickSortDescending(std::vector<float> & scores, int lo, int hi,
                           std::vector<int32_t> & indices);
  float boxIoU(float ax1, float ay1, float ax2, float ay2, float bx1, float by1, float bx2,
               float by2);
  void drawRes(cv::Mat & image, const DetectionFrame * frame, const std::string & name);

  // --- Depth geometry (transform workers) ------------------------------------------------------
  void rgb_depth_to_cloud(const ImageConstPtr & depth, const ImageConstPtr & color,
                          Cloud::Ptr & cloud, int left, int right, int top, int bottom,
                          const CameraIntrinsics & intrinsics, float leaf_size);
  void build_detection_clouds(const DetectionFrame & detections, const ImageConstPtr & color,
                              const ImageConstPtr & depth, CloudList & clouds,
                              const Eigen::Matrix4f & transform,
                              const CameraIntrinsics & intrinsics, float z_min, float z_max);
  void filter_detection_cloud(DetectedObject detection, const ImageConstPtr & color,
                              const ImageConstPtr & depth, Cloud::Ptr & cloud,
                              std::shared_ptr<GroundRemoval<pcl::PointXYZ>> ground_model,
                              const Eigen::Matrix4f & transform,
                              const CameraIntrinsics & intrinsics, float z_min, float z_max);

  // --- Clusters and footprints (frame-cycle thread) -------------------------------------------
  void cloud_cluster(const Cloud::Ptr & cloud, CloudList & clusters, int method);
  int bbox_cluster(const Cloud::Ptr & cloud, CloudList & clusters, int method,
                   float split_threshold);
  void merge_clusters(const CloudList & clusters, CloudList & merged);
  bool distance(const Cloud & a, const Cloud & b);
  void cluster_convex_hulls(const CloudList & clusters, CloudList & polygons);
  void polygon_to_cloud(const CloudList & polygons, Cloud & outline, float spacing);

  // --- Frame cycle and outputs -----------------------------------------------------------------
  void timer_callback();
  void subscriberCallback(const ImageConstPtr & color1, const ImageConstPtr & color2,
                          const ImageConstPtr & depth1, const ImageConstPtr & depth2);
  void callback_process(const DetectionFrame & frame1, const DetectionFrame & frame2,
                        const ImageConstPtr & color1, const ImageConstPtr & color2,
                        const ImageConstPtr & depth1, const ImageConstPtr & depth2,
                        rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr publisher);
  void publish_trash(const ImageConstPtr & depth, const ImageConstPtr & color,
                     const DetectionFrame & detections, const CameraIntrinsics & intrinsics);

  // --- Worker bodies: loop until the node is destroyed ----------------------------------------
  void TransformTask(std::atomic<bool> * idle, TransformTaskInput * input);
  void WebTask(std::atomic<bool> * idle, WebTaskInput * input);

  // --- Subscription callbacks: pure stores ----------------------------------------------------
  void cmd_vel_callback(const geometry_msgs::msg::Twist::ConstSharedPtr msg);
  void camera1_info_callback(const sensor_msgs::msg::CameraInfo::ConstSharedPtr msg);
  void camera2_info_callback(const sensor_msgs::msg::CameraInfo::ConstSharedPtr msg);
  void camera1_color_callback(const ImageConstPtr & msg);
  void camera1_depth_callback(const ImageConstPtr & msg);
  void camera2_color_callback(const ImageConstPtr & msg);
  void camera2_depth_callback(const ImageConstPtr & msg);

  // --- For programs that drive the frame cycle themselves (tools, benchmarks) ------------------
  /// True when the model is loaded and fits the decoder; false means no detection will run.
  bool npu_ready() const { return npu_ready_; }
  /// Stops the 100 ms timer: from then on a frame cycle runs only when timer_callback is called.
  void cancel_frame_timer() { timer_->cancel(); }
  /// The last frame cycle's hand-off latencies; read it between cycles.
  HandOffLatency last_hand_off_latency() const
  {
    return {std::chrono::nanoseconds(hand_over_latency_ns_.load(std::memory_order_relaxed)),
            std::chrono::nanoseconds(join_latency_ns_.load(std::memory_order_relaxed))};
  }
  /// True once the node's transform buffer can place `frame_id` in the robot frame.
  bool knows_transform_of(const std::string & frame_id) const
  {
    std::string unknown_frame;  // taken here, so that tf2 does not warn on every poll
    return tf_buffer_->canTransform(base_frame_, frame_id, tf2::TimePointZero, &unknown_frame);
  }

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW

private:
  // Only the frame cycle and the construction code write these (see each group's comment for
  // the owning thread).

  // 1. The pipeline: built once by build_pipeline from the parameters, read by every thread.
  std::unique_ptr<DetectionCloudBuilder> cloud_builder_;
  std::unique_ptr<ObstacleOutliner> outliner_;
  std::unique_ptr<ReportBuilder> report_builder_;

  // 2. Clustering.
  int cluster_method{3};

  // 3. Ground removal settings; the values hold when a deployment does not set them.
  GroundRemovalParams ground_removal_params_;

  // 4. Velocity input (stored only).
  geometry_msgs::msg::Twist cmd_vel_;

  // 5. Robot frame.
  std::string base_frame_{"base_footprint"};

  // 6. Subscriptions and publishers.
  rclcpp::Subscription<geometry_msgs::msg::Twist>::SharedPtr cmd_vel_sub_;
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr camera1_info_sub_;
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr camera2_info_sub_;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr image1_pub_;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr image2_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr detect_filtered_results1_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr detect_filtered_results2_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr obstacle_pointcloud_pub_;
  rclcpp::Publisher<veltrax_protocol::msg::Trashes>::SharedPtr trashes_pub_;
  rclcpp::Publisher<veltrax_protocol::msg::Trashes>::SharedPtr person_pub_;

  // 7. Transforms. The listener writes into the buffer from its own thread, so it is released
  //    first (release_resources), and declared after the buffer so that unwinding agrees.
  std::unique_ptr<tf2_ros::Buffer> tf_buffer_;
  std::shared_ptr<tf2_ros::TransformListener> tf_listener_;

  // 8. Camera transforms, looked up once by the frame cycle; the matrices are valid once the
  //    matching ready flag is true and never change afterwards.
  bool camera1_tf_ready_{false};
  bool camera2_tf_ready_{false};
  Eigen::Matrix4f camera1_matrix_{Eigen::Matrix4f::Identity()};
  Eigen::Matrix4f camera2_matrix_{Eigen::Matrix4f::Identity()};

  // 9. NPU context. `rknn_context_created_` guards rknn_destroy; `npu_ready_` is true only when
  //    every attribute the detector reads was filled and the model fits the decoder.
  rknn_context rknn_ctx_{0};
  rknn_input_output_num io_num_{};
  std::vector<rknn_tensor_attr> input_attrs_;
  std::vector<rknn_tensor_attr> output_attrs_;
  bool rknn_context_created_{false};
  bool npu_ready_{false};
  bool npu_skip_reported_{false};
  /// Geometry, anchors and thresholds of the decoder, and each head's quantisation; set once
  /// the model's tensors are known.
  DecoderSettings decoder_settings_;
  std::array<HeadQuantization, kHeadCount> head_quantization_{};

  // 10. Camera intrinsics: zero until the first camera info of that camera (the frame cycle
  //     waits for usable values).
  CameraIntrinsics camera1_intrinsics_;
  CameraIntrinsics camera2_intrinsics_;

  // 11. Model geometry.
  int32_t model_width_{640};
  int32_t model_height_{640};
  int32_t input_batch_{2};
  int32_t model_channel_{3};

  // 12. Parameters and detector settings: written by getPara only.
  int32_t obj_class_num{3};
  float box_conf_threshold{0.4f};
  float nms_threshold{0.3f};
  int32_t model_batch{2};
  bool draw_result{false};
  bool debug{false};
  bool publish_web{false};
  int32_t satisNum{50};
  float satisThreshold{1.0f};
  float KDTreeSearchRadius{0.1f};
  int32_t KDTreeMinClusterSize{30};
  int32_t KDTreeMaxClusterSize{25000};
  float merge_dis{0.8f};
  float center_threshold{0.5f};
  float camera1_min{0.0f};
  float camera2_min{0.2f};
  float camera1_max{3.0f};
  float camera2_max{3.0f};
  int32_t motion_compensation{0};
  bool isVel{false};
  bool isTF{false};
  float grid_step{0.01f};
  int32_t grid_kernelSize{3};
  int32_t grid_th{5};
  float person_dis_th{2.0f};
  float downsample_leaf_size{0.001f};
  std::array<int32_t, 3> strides_{8, 16, 32};
  AnchorTable anchors_{kDefaultAnchors};

  // 13. Timer and image inputs (executor thread only).
  rclcpp::TimerBase::SharedPtr timer_;
  image_transport::Subscriber camera1_color_sub_;
  image_transport::Subscriber camera1_depth_sub_;
  image_transport::Subscriber camera2_color_sub_;
  image_transport::Subscriber camera2_depth_sub_;
  ImageConstPtr camera1_color_msg_;
  ImageConstPtr camera2_color_msg_;
  ImageConstPtr camera1_depth_msg_;
  ImageConstPtr camera2_depth_msg_;

  // Conditions reported once per node from any thread, so that a persistent one cannot flood
  // the log every frame; faults that can clear again go through fault_log_.
  std::atomic<bool> voxel_skip_reported_{false};
  std::atomic<bool> depth_smoothing_reported_{false};
  FaultLog fault_log_;

  // Cleared by the destructor; every worker loop ends at its next check.
  std::atomic<bool> workers_running_{true};
  // Hand-over events, one per worker, so a hand-over wakes only the worker it hands to and the
  // cores go to threads with work. The idle flags stay the record of who owns an input; the
  // mutex only orders a flag change and its notification against a waiter's check.
  std::mutex workers_mutex_;
  std::condition_variable transform1_handed_over_;
  std::condition_variable transform2_handed_over_;
  std::condition_variable web_handed_over_;
  std::condition_variable work_handed_back_;

  // 14. Transform workers. Flag true: the frame cycle owns the input; false: the worker does.
  std::atomic<std::int64_t> hand_over_latency_ns_{0};  // written by the frame cycle only
  std::atomic<std::int64_t> join_latency_ns_{0};
  std::atomic<bool> transform_task1_idle_{true};
  std::atomic<bool> transform_task2_idle_{true};
  TransformTaskInput transform_task1_input_;
  TransformTaskInput transform_task2_input_;
  std::thread transform_task1_thread_;
  std::thread transform_task2_thread_;

  // 15. Web worker. Flag true: the frame cycle owns the input; false: the worker does.
  std::atomic<bool> web_task_idle_{true};
  WebTaskInput web_task_input_;
  std::thread web_task_thread_;

  /// get_parameter for a name of the parameter table (a name missing there is a programming
  /// error: the table is what the README and the shipped file are checked against).
  template <typename T>
  void read_parameter(const char * name, T & value)
  {
    if (find_parameter(name) == nullptr) {
      throw std::logic_error(std::string("parameter '") + name + "' is not in the parameter table");
    }
    get_parameter(name, value);
  }
  /// Builds the detection-cloud builder, obstacle outliner and report builder from the
  /// parameters getPara read.
  void build_pipeline();
  /// Logs what went wrong while building one camera's clouds (fault log), or its recovery.
  void report_cloud_build(const sensor_msgs::msg::Image & depth, int row_length,
                          const CloudBuildReport & report);
  /// The obstacle outliner's DEBUG lines go to the node's logger.
  DebugSink outliner_debug_sink();
  /// Logs `text` at ERROR unless it repeats a fault of `site` that was logged recently.
  void log_fault(const std::string & site, const std::string & text);
  /// Logs once at INFO that the logged faults of `site` are gone.
  void log_recovery(const std::string & site);
  /// Stops the three workers and waits for them; safe to call more than once.
  void stop_workers();
  /// Tears down in the one safe order, from the destructor or from a constructor that throws:
  /// workers joined, NPU context destroyed, transform listener released before its buffer.
  /// Safe to call more than once and on a half-built node.
  void release_resources();
  /// Waits until both transform workers' idle flags are true.
  void wait_for_transform_workers();
  /// Wakes the threads waiting on `event`.
  void notify_workers(std::condition_variable & event);
  /// The hand-over event of the worker whose idle flag is `idle`.
  std::condition_variable & handed_over_event(const std::atomic<bool> & idle);
  /// Frame cycle: gives a worker its filled input (idle flag false) and wakes it.
  void hand_over(std::atomic<bool> & idle);
  /// Worker: gives its input back (idle flag true) and wakes the frame cycle.
  void hand_back(std::atomic<bool> & idle);
  /// Worker: blocks until its input is handed over (true) or the node stops (false).
  bool wait_for_work(const std::atomic<bool> & idle);
  /// Looks up the transform from the depth image's frame into the robot frame (latest, without
  /// waiting) and on success stores its matrix and the ready flag; on failure logs
  /// `error_prefix` + the reason + ", quitting callback" and returns false.
  bool look_up_camera_transform(const sensor_msgs::msg::Image & depth, const char * error_prefix,
                                Eigen::Matrix4f & matrix, bool & ready);
  /// Empties the worker's cloud list, then, when the camera has detections and the worker is
  /// idle, fills its input and hands it over (release store of false).
  /// Stores the hand-off latencies of the cycle that started handing over at `cycle_start` and
  /// saw both workers back at `joined` (last_hand_off_latency).
  void record_hand_off_latency(std::chrono::steady_clock::time_point cycle_start,
                               std::chrono::steady_clock::time_point joined);
  void hand_over_to_transform_worker(const DetectionFrame & frame, const ImageConstPtr & color,
                                     const ImageConstPtr & depth,
                                     const CameraIntrinsics & intrinsics, float z_min, float z_max,
                                     const Eigen::Matrix4f & matrix, std::atomic<bool> & idle,
                                     TransformTaskInput & input);
};

}  // namespace veltrax_cv_model
