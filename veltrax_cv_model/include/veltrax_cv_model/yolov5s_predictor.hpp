// The perception node: YOLOv5s on the NPU for two RGB-D cameras, litter reports and obstacle
// footprint outlines. The algorithms live in the ROS-free modules beside this header; this class
// binds them to parameters, topics, the NPU runtime and the worker threads.
#pragma once

#include <Eigen/Core>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <opencv2/core.hpp>

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
#include "veltrax_cv_model/detection_cloud_builder.hpp"
#include "veltrax_cv_model/fault_log.hpp"
#include "veltrax_cv_model/hand_off_worker.hpp"
#include "veltrax_cv_model/obstacle_outliner.hpp"
#include "veltrax_cv_model/pipeline_settings.hpp"
#include "veltrax_cv_model/report_builder.hpp"
#include "veltrax_cv_model/types.hpp"
#include "veltrax_cv_model/yolo_decode.hpp"
#include "veltrax_protocol/msg/trashes.hpp"

namespace veltrax_cv_model
{

/// All detections of one camera image of one frame cycle.
struct DetectionFrame
{
  std_msgs::msg::Header header;                   ///< system time after inference, frame id "frame"
  std::vector<DetectedObject> objects;            ///< descending score
  sensor_msgs::msg::Image::ConstSharedPtr image;  ///< the colour message (shared, never changed)
};

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudList = std::vector<Cloud>;
using ImageConstPtr = sensor_msgs::msg::Image::ConstSharedPtr;

/// How long the last frame cycle's hand-offs took: from a hand-over to its worker waking up (the
/// longer of the two cameras) and from the last hand-back to the cycle going on. Zero when no
/// worker ran in that cycle.
struct HandOffLatency
{
  std::chrono::nanoseconds hand_over{0};
  std::chrono::nanoseconds join{0};
};

class Yolov5sPredictor : public rclcpp::Node
{
public:
  /// Parameter overrides of `options` are declared as they come (the node reads what it knows and
  /// logs the rest); a component container passes its own options here. Throws
  /// std::invalid_argument naming the parameter when one is unusable.
  explicit Yolov5sPredictor(const rclcpp::NodeOptions & options = rclcpp::NodeOptions());
  /// Stops and joins the workers before anything they read goes.
  ~Yolov5sPredictor() override;

  // The frame cycle, callable by programs that drive it themselves (replay tools, the soak run,
  // benchmarks); the executor calls it every 100 ms otherwise.
  void timer_callback();
  /// Stops the 100 ms timer: from then on a frame cycle runs only when timer_callback is called.
  void cancel_frame_timer() { timer_->cancel(); }
  /// One NPU batch of both colour images; the detector's tests and benchmark call it alone.
  void detectImagePair(DetectionFrame * frame1, DetectionFrame * frame2,
                       const ImageConstPtr & color1, const ImageConstPtr & color2);
  /// True when the model is loaded and fits the decoder; false means no detection will run (a
  /// driving program stops instead of measuring nothing).
  bool npu_ready() const { return npu_ready_; }
  /// The last frame cycle's hand-off latencies (frame-cycle benchmark); read between cycles.
  HandOffLatency last_hand_off_latency() const;
  /// True once the node's transform buffer can place `frame_id` in the robot frame (a driving
  /// program waits for it before its first cycle).
  bool knows_transform_of(const std::string & frame_id) const;

private:
  /// Input record of a transform worker (HandOffWorker: owned by the frame cycle while idle).
  struct TransformTaskInput
  {
    DetectionFrame detections;  ///< with the colour image the boxes were found on
    ImageConstPtr depth;
    CloudList clouds;  ///< worker output: one cloud per kept detection, base_footprint, metres
    CameraIntrinsics intrinsics;
    float z_min{0.0f};  ///< crop range along the optical axis, metres
    float z_max{0.0f};
    Eigen::Matrix4f transform{Eigen::Matrix4f::Identity()};  ///< camera optical -> base_footprint
  };

  /// Input record of the web (report) worker; same ownership rule.
  struct WebTaskInput
  {
    DetectionFrame detections;
    ImageConstPtr depth;
    CameraIntrinsics intrinsics;  ///< camera 1 intrinsics as they were at hand-off
  };

  // Construction steps (construction thread only).
  void getPara();
  void initializeSubscriber();
  void initializePublisher();
  void initializeRKNNModel();
  /// Loads the model file into the NPU runtime; prints to standard output. 0 on success, -1 on
  /// a failed init or version query.
  int createRKNNContext(rknn_context * context, const std::string & model_path);
  void initializeRKNNInputOutput();

  // Detection (frame-cycle thread).
  void predict(const cv::Mat & rgb1, const cv::Mat & rgb2, DetectionFrame * frame1,
               DetectionFrame * frame2);
  void postProcess(const std::array<const int8_t *, 3> & outputs, DetectionFrame * frame, int slot,
                   float scale_w, float scale_h);
  void drawRes(cv::Mat & image, const DetectionFrame * frame, const std::string & name);

  // Frame cycle and outputs.
  void subscriberCallback(const ImageConstPtr & color1, const ImageConstPtr & color2,
                          const ImageConstPtr & depth1, const ImageConstPtr & depth2);
  void callback_process(
      const DetectionFrame & frame1, const DetectionFrame & frame2, const ImageConstPtr & depth1,
      const ImageConstPtr & depth2,
      const rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr & publisher);
  void publish_trash(const ImageConstPtr & depth, const DetectionFrame & detections,
                     const CameraIntrinsics & intrinsics);

  // Worker bodies (their own threads, each on the record it was handed).
  void TransformTask(TransformTaskInput & input);
  void WebTask(WebTaskInput & input);
  void build_detection_clouds(const DetectionFrame & detections, const ImageConstPtr & depth,
                              CloudList & clouds, const Eigen::Matrix4f & transform,
                              const CameraIntrinsics & intrinsics, float z_min, float z_max);

  // Subscription callbacks: pure stores (executor thread).
  void cmd_vel_callback(const geometry_msgs::msg::Twist::ConstSharedPtr & msg);
  void camera1_info_callback(const sensor_msgs::msg::CameraInfo::ConstSharedPtr & msg);
  void camera2_info_callback(const sensor_msgs::msg::CameraInfo::ConstSharedPtr & msg);
  void camera1_color_callback(const ImageConstPtr & msg);
  void camera1_depth_callback(const ImageConstPtr & msg);
  void camera2_color_callback(const ImageConstPtr & msg);
  void camera2_depth_callback(const ImageConstPtr & msg);

  /// Looks up the transform from the depth image's frame into the robot frame (latest, without
  /// waiting) and on success stores its matrix and the ready flag; on failure logs
  /// `error_prefix` + the reason + ", quitting callback" and returns false.
  bool look_up_camera_transform(const sensor_msgs::msg::Image & depth, const char * error_prefix,
                                Eigen::Matrix4f & matrix, bool & ready);
  /// Empties the worker's cloud list, then, when the camera has detections and the worker is
  /// idle, fills its input and hands it over.
  void hand_over_to_transform_worker(const DetectionFrame & frame, const ImageConstPtr & depth,
                                     const CameraIntrinsics & intrinsics, float z_min, float z_max,
                                     const Eigen::Matrix4f & matrix,
                                     HandOffWorker<TransformTaskInput> & worker);
  /// Logs what went wrong while building one camera's clouds (fault log), or its recovery.
  void report_cloud_build(const sensor_msgs::msg::Image & depth, int row_length,
                          const CloudBuildReport & report);
  /// Logs `text` at ERROR unless it repeats a fault of `site` that was logged recently.
  void log_fault(const std::string & site, const std::string & text);
  /// Logs once at INFO that the logged faults of `site` are gone.
  void log_recovery(const std::string & site);
  /// Joins the workers, then destroys the NPU context; from the destructor or a constructor that
  /// throws. Safe on a half-built node and more than once.
  void release_resources();

  // Written at construction only, then read by every thread.
  PipelineSettings settings_;
  std::string base_frame_{"base_footprint"};
  std::unique_ptr<DetectionCloudBuilder> cloud_builder_;
  std::unique_ptr<ObstacleOutliner> outliner_;
  std::unique_ptr<ReportBuilder> report_builder_;

  // NPU context and model geometry. `rknn_context_created_` guards rknn_destroy; `npu_ready_` is
  // true only when every attribute the detector reads was filled and the model fits the decoder.
  rknn_context rknn_ctx_{0};
  rknn_input_output_num io_num_{};
  std::vector<rknn_tensor_attr> input_attrs_;
  std::vector<rknn_tensor_attr> output_attrs_;
  bool rknn_context_created_{false};
  bool npu_ready_{false};
  bool npu_skip_reported_{false};
  int32_t model_width_{0};
  int32_t model_height_{0};
  int32_t model_channel_{0};
  int32_t input_batch_{0};
  std::array<HeadQuantization, kHeadCount> head_quantization_{};

  // Topics.
  rclcpp::Subscription<geometry_msgs::msg::Twist>::SharedPtr cmd_vel_sub_;
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr camera1_info_sub_;
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr camera2_info_sub_;
  image_transport::Subscriber camera1_color_sub_;
  image_transport::Subscriber camera1_depth_sub_;
  image_transport::Subscriber camera2_color_sub_;
  image_transport::Subscriber camera2_depth_sub_;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr image1_pub_;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr image2_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr detect_filtered_results1_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr detect_filtered_results2_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr obstacle_pointcloud_pub_;
  rclcpp::Publisher<veltrax_protocol::msg::Trashes>::SharedPtr trashes_pub_;
  rclcpp::Publisher<veltrax_protocol::msg::Trashes>::SharedPtr person_pub_;
  rclcpp::TimerBase::SharedPtr timer_;

  // Transforms: the listener's subscriptions write into the buffer, so it goes first.
  std::unique_ptr<tf2_ros::Buffer> tf_buffer_;
  std::unique_ptr<tf2_ros::TransformListener> tf_listener_;

  // Executor thread only: the stores of the subscription callbacks and the frame cycle's state.
  geometry_msgs::msg::Twist cmd_vel_;  // stored only
  ImageConstPtr camera1_color_msg_;
  ImageConstPtr camera1_depth_msg_;
  ImageConstPtr camera2_color_msg_;
  ImageConstPtr camera2_depth_msg_;
  CameraIntrinsics camera1_intrinsics_;  // zero until the first camera info
  CameraIntrinsics camera2_intrinsics_;
  // The mounts are looked up once; a matrix is valid once its flag is true and never changes.
  bool camera1_tf_ready_{false};
  bool camera2_tf_ready_{false};
  Eigen::Matrix4f camera1_matrix_{Eigen::Matrix4f::Identity()};
  Eigen::Matrix4f camera2_matrix_{Eigen::Matrix4f::Identity()};
  std::atomic<std::int64_t> hand_over_latency_ns_{0};
  std::atomic<std::int64_t> join_latency_ns_{0};

  // Conditions reported once per node from any thread, so that a persistent one cannot flood
  // the log every frame; faults that can clear again go through fault_log_.
  std::atomic<bool> voxel_skip_reported_{false};
  std::atomic<bool> depth_smoothing_reported_{false};
  FaultLog fault_log_;

  // Last: started when every member they read exists; stopped first when the node goes.
  std::unique_ptr<HandOffWorker<TransformTaskInput>> transform_task1_;
  std::unique_ptr<HandOffWorker<TransformTaskInput>> transform_task2_;
  std::unique_ptr<HandOffWorker<WebTaskInput>> web_task_;
};

}  // namespace veltrax_cv_model
