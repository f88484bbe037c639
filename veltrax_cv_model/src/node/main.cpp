// Process entry of the perception node.
#include <exception>
#include <memory>

#include "rclcpp/rclcpp.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

int main(int argc, char ** argv)
{
  rclcpp::init(argc, argv);
  std::shared_ptr<veltrax_cv_model::Yolov5sPredictor> node;
  try {
    node = std::make_shared<veltrax_cv_model::Yolov5sPredictor>();
  } catch (const std::exception & e) {
    // Ctrl-C during construction shuts the context down under the node being built: a stop,
    // not a failure.
    if (!rclcpp::ok()) {
      rclcpp::shutdown();
      return 0;
    }
    // A wrong parameter type or an unusable anchor list: nothing can run with it.
    RCLCPP_FATAL(rclcpp::get_logger("Yolov5sPredictor"), "cannot start: %s", e.what());
    rclcpp::shutdown();
    return 1;
  }
  try {
    rclcpp::spin(node);
  } catch (const std::exception & e) {
    // A signal between construction and the executor's start leaves a shut-down context, on
    // which no executor can be made: a stop as well.
    if (rclcpp::ok()) {
      RCLCPP_FATAL(rclcpp::get_logger("Yolov5sPredictor"), "stopped: %s", e.what());
      node.reset();
      rclcpp::shutdown();
      return 1;
    }
  }
  rclcpp::shutdown();
  node.reset();
  return 0;
}
