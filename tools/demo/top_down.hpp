// Top-down pictures of the demo run, drawn with OpenCV: x forward points up the picture, y left
// points to the left, a fixed number of pixels per metre, a legend panel on the right.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "demo/scoring.hpp"

namespace veltrax_demo
{

/// A camera's field of view on the floor: apex, viewing direction, opening and reach.
struct FieldOfView
{
  Point2 apex{0.0, 0.0};
  double yaw_rad{0.0};
  double opening_rad{1.0};
  double reach_m{3.0};
  double label_at{0.9};  ///< where along the viewing axis the name sits, share of the reach
};

/// Drawing colours (B, G, R) shared by the pictures and their legends.
namespace colours
{
inline const cv::Scalar kOutline(25, 25, 25);
inline const cv::Scalar kCovered(40, 170, 40);
inline const cv::Scalar kMissed(30, 30, 230);
inline const cv::Scalar kRobot(90, 90, 90);
inline const cv::Scalar kCamera1(230, 170, 90);
inline const cv::Scalar kCamera2(60, 160, 240);
inline const cv::Scalar kTrashReport(170, 40, 0);
inline const cv::Scalar kPersonReport(160, 0, 160);
/// Fill colour of a true footprint of `class_id`: the class's key colour.
cv::Scalar footprint(int class_id);
}  // namespace colours

class TopDownCanvas
{
public:
  /// A picture of the floor rectangle x_min .. x_max by y_min .. y_max (metres) at
  /// `pixels_per_m`, grid lines every 0.5 m, and a legend panel `legend_width_px` wide.
  TopDownCanvas(double x_min_m, double x_max_m, double y_min_m, double y_max_m, double pixels_per_m,
                int legend_width_px);

  cv::Point to_pixel(const Point2 & p) const;

  void field_of_view(const FieldOfView & fov, const cv::Scalar & colour, const std::string & name);
  /// A round robot of `radius_m` at `position` heading `yaw_rad`; `faded` draws it lighter.
  void robot(const Point2 & position, double yaw_rad, double radius_m, bool faded = false);
  void footprint(const Polygon & polygon, int class_id, const std::string & label);
  void points(const std::vector<Point2> & points, const cv::Scalar & colour, int radius_px);
  void cross(const Point2 & p, const cv::Scalar & colour);

  /// Lines at the top of the legend panel.
  void title(const std::vector<std::string> & lines);
  /// One legend entry: a filled square, a dot or a cross of `colour`, then `text`.
  enum class Mark { kSquare, kDot, kCross, kLine };
  void legend(Mark mark, const cv::Scalar & colour, const std::string & text);

  const cv::Mat & image() const { return image_; }

private:
  double x_max_m_;
  double y_max_m_;
  double pixels_per_m_;
  int map_width_px_;
  cv::Mat image_;
  int legend_row_px_{0};
};

}  // namespace veltrax_demo
