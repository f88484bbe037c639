// The node's input and output topics, as the node subscribes and publishes them; the one table
// the tests, tools and benchmarks name topics from. Index 0 of a pair is camera 1.
#pragma once

namespace veltrax_harness::topics
{

inline constexpr const char * kColor[2] = {"/berxel_camera1/berxel_camera1/color/color_raw",
                                           "/berxel_camera2/berxel_camera2/color/color_raw"};
/// 16UC1, millimetres.
inline constexpr const char * kDepth[2] = {"/berxel_camera1/berxel_camera1/depth/depth_raw",
                                           "/berxel_camera2/berxel_camera2/depth/depth_raw"};
inline constexpr const char * kCameraInfo[2] = {"/berxel_camera1/berxel_camera1/depth/camera_info",
                                                "/berxel_camera2/berxel_camera2/depth/camera_info"};
inline constexpr const char * kCmdVel = "/cmd_vel";
inline constexpr const char * kTf = "/tf";
inline constexpr const char * kTfStatic = "/tf_static";

/// The outline of the obstacles, base_footprint.
inline constexpr const char * kObstacleCloud = "/perception/yolov5/obstacle_pointcloud";
inline constexpr const char * kTrashes = "/perception/yolov5/trashes";
inline constexpr const char * kPersons = "/perception/yolov5/person";
/// Detection overlays (draw_result).
inline constexpr const char * kOverlay[2] = {"/perception/yolov5/image1",
                                             "/perception/yolov5/image2"};
/// Per-camera detection clouds (debug).
inline constexpr const char * kDetectionCloud[2] = {"/perception/yolov5/detect_filtered_results1",
                                                    "/perception/yolov5/detect_filtered_results2"};

}  // namespace veltrax_harness::topics
