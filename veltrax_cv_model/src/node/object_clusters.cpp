// Object clusters and footprints of the frame cycle, handed to the obstacle outliner.
#include "veltrax_cv_model/footprint.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{

void Yolov5sPredictor::cloud_cluster(const Cloud::Ptr & cloud, CloudList & clusters, int method)
{
  if (!outliner_->cluster(*cloud, clusters, method)) {
    RCLCPP_ERROR(get_logger(), "cluster method except!");
  }
}

int Yolov5sPredictor::bbox_cluster(const Cloud::Ptr & cloud, CloudList & clusters, int method,
                                   float split_threshold)
{
  ClusterSettings settings = outliner_->settings();
  settings.method = method;
  if (!ObstacleOutliner(settings, outliner_debug_sink()).split(*cloud, clusters, split_threshold)) {
    RCLCPP_ERROR(get_logger(), "cluster method except!");
  }
  return 0;
}

void Yolov5sPredictor::merge_clusters(const CloudList & clusters, CloudList & merged)
{
  outliner_->merge(clusters, merged);
}

bool Yolov5sPredictor::distance(const Cloud & a, const Cloud & b) { return outliner_->close(a, b); }

void Yolov5sPredictor::cluster_convex_hulls(const CloudList & clusters, CloudList & polygons)
{
  convex_hull_polygons(clusters, polygons);
}

void Yolov5sPredictor::polygon_to_cloud(const CloudList & polygons, Cloud & outline, float spacing)
{
  sample_polygon_outlines(polygons, spacing, outline);
}

DebugSink Yolov5sPredictor::outliner_debug_sink()
{
  return [this](const std::string & text) { RCLCPP_DEBUG(get_logger(), "%s", text.c_str()); };
}

}  // namespace veltrax_cv_model
