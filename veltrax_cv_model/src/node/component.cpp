// The node as a component, for a container shared with the camera drivers (intra-process).
#include "rclcpp_components/register_node_macro.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

RCLCPP_COMPONENTS_REGISTER_NODE(veltrax_cv_model::Yolov5sPredictor)
