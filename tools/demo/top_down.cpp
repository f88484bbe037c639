// Top-down pictures of the demo run.
#include "demo/top_down.hpp"

#include <host_rknn/host_rknn.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace veltrax_demo
{

namespace
{

constexpr double kGridStep_m = 0.5;
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
constexpr double kFontScale = 0.45;
constexpr int kLegendLine_px = 20;
constexpr int kMargin_px = 10;

}  // namespace

cv::Scalar colours::footprint(int class_id)
{
  if (class_id < 0 || class_id >= host_rknn::kKeyColourCount) {
    return cv::Scalar(160, 160, 160);
  }
  const host_rknn::KeyColour c = host_rknn::key_colours()[static_cast<std::size_t>(class_id)];
  return cv::Scalar(c.b, c.g, c.r);
}

TopDownCanvas::TopDownCanvas(double x_min_m, double x_max_m, double y_min_m, double y_max_m,
                             double pixels_per_m, int legend_width_px)
    : x_max_m_(x_max_m),
      y_max_m_(y_max_m),
      pixels_per_m_(pixels_per_m),
      map_width_px_(static_cast<int>(std::lround((y_max_m - y_min_m) * pixels_per_m)))
{
  const int height = static_cast<int>(std::lround((x_max_m - x_min_m) * pixels_per_m));
  image_ = cv::Mat(height, map_width_px_ + legend_width_px, CV_8UC3, cv::Scalar(255, 255, 255));
  const cv::Scalar grid(225, 225, 225);
  const cv::Scalar grid_label(150, 150, 150);
  // Grid lines at whole multiples of the step, counted: a running sum would drift off them.
  for (int i = static_cast<int>(std::ceil(x_min_m / kGridStep_m)); i * kGridStep_m <= x_max_m;
       ++i) {
    const double x = i * kGridStep_m;
    const cv::Point left = to_pixel({x, y_max_m});
    cv::line(image_, left, to_pixel({x, y_min_m}), grid, 1);
    char text[32];
    std::snprintf(text, sizeof(text), "x %.1f", x);
    cv::putText(image_, text, left + cv::Point(3, -3), kFont, 0.35, grid_label, 1, cv::LINE_AA);
  }
  for (int i = static_cast<int>(std::ceil(y_min_m / kGridStep_m)); i * kGridStep_m <= y_max_m;
       ++i) {
    const double y = i * kGridStep_m;
    cv::line(image_, to_pixel({x_max_m, y}), to_pixel({x_min_m, y}), grid, 1);
    char text[32];
    std::snprintf(text, sizeof(text), "y %.1f", y);
    cv::putText(image_, text, to_pixel({x_min_m, y}) + cv::Point(3, -4), kFont, 0.35, grid_label, 1,
                cv::LINE_AA);
  }
  cv::line(image_, cv::Point(map_width_px_, 0), cv::Point(map_width_px_, height),
           cv::Scalar(120, 120, 120), 1);
  legend_row_px_ = kMargin_px + kLegendLine_px;
}

cv::Point TopDownCanvas::to_pixel(const Point2 & p) const
{
  return cv::Point(static_cast<int>(std::lround((y_max_m_ - p.y()) * pixels_per_m_)),
                   static_cast<int>(std::lround((x_max_m_ - p.x()) * pixels_per_m_)));
}

void TopDownCanvas::field_of_view(const FieldOfView & fov, const cv::Scalar & colour,
                                  const std::string & name)
{
  std::vector<cv::Point> wedge{to_pixel(fov.apex)};
  constexpr int kArcSteps = 24;
  for (int i = 0; i <= kArcSteps; ++i) {
    const double a = fov.yaw_rad - 0.5 * fov.opening_rad + fov.opening_rad * i / kArcSteps;
    wedge.push_back(to_pixel(fov.apex + fov.reach_m * Point2(std::cos(a), std::sin(a))));
  }
  cv::Mat layer = image_.clone();
  cv::fillPoly(layer, std::vector<std::vector<cv::Point>>{wedge}, colour, cv::LINE_AA);
  cv::addWeighted(layer, 0.18, image_, 0.82, 0.0, image_);
  cv::polylines(image_, std::vector<std::vector<cv::Point>>{wedge}, true, colour, 1, cv::LINE_AA);
  // The name sits near the far end of the viewing axis, kept inside the map.
  const Point2 label =
      fov.apex + fov.label_at * fov.reach_m * Point2(std::cos(fov.yaw_rad), std::sin(fov.yaw_rad));
  int baseline = 0;
  const cv::Size size = cv::getTextSize(name, kFont, kFontScale, 1, &baseline);
  cv::Point origin = to_pixel(label) - cv::Point(size.width / 2, 0);
  origin.x = std::clamp(origin.x, 4, map_width_px_ - size.width - 4);
  origin.y = std::clamp(origin.y, size.height + 4, image_.rows - 4);
  cv::putText(image_, name, origin, kFont, kFontScale, colour * 0.8, 1, cv::LINE_AA);
}

void TopDownCanvas::robot(const Point2 & position, double yaw_rad, double radius_m, bool faded)
{
  const cv::Scalar colour = faded ? cv::Scalar(200, 200, 200) : colours::kRobot;
  const int radius = static_cast<int>(std::lround(radius_m * pixels_per_m_));
  cv::circle(image_, to_pixel(position), radius, colour, 2, cv::LINE_AA);
  const Point2 nose = position + radius_m * Point2(std::cos(yaw_rad), std::sin(yaw_rad));
  cv::arrowedLine(image_, to_pixel(position), to_pixel(nose), colour, 2, cv::LINE_AA, 0, 0.25);
}

void TopDownCanvas::footprint(const Polygon & polygon, int class_id, const std::string & label)
{
  if (polygon.empty()) {
    return;
  }
  std::vector<cv::Point> corners;
  Point2 centre = Point2::Zero();
  for (const Point2 & p : polygon) {
    corners.push_back(to_pixel(p));
    centre += p;
  }
  centre /= static_cast<double>(polygon.size());
  const cv::Scalar colour = colours::footprint(class_id);
  cv::Mat layer = image_.clone();
  cv::fillPoly(layer, std::vector<std::vector<cv::Point>>{corners}, colour, cv::LINE_AA);
  cv::addWeighted(layer, 0.35, image_, 0.65, 0.0, image_);
  cv::polylines(image_, std::vector<std::vector<cv::Point>>{corners}, true, colour * 0.7, 1,
                cv::LINE_AA);
  if (!label.empty()) {
    cv::putText(image_, label, to_pixel(centre) + cv::Point(-4 * static_cast<int>(label.size()), 4),
                kFont, 0.38, cv::Scalar(60, 60, 60), 1, cv::LINE_AA);
  }
}

void TopDownCanvas::points(const std::vector<Point2> & points, const cv::Scalar & colour,
                           int radius_px)
{
  for (const Point2 & p : points) {
    cv::circle(image_, to_pixel(p), radius_px, colour, cv::FILLED, cv::LINE_AA);
  }
}

void TopDownCanvas::cross(const Point2 & p, const cv::Scalar & colour)
{
  cv::drawMarker(image_, to_pixel(p), colour, cv::MARKER_TILTED_CROSS, 12, 2, cv::LINE_AA);
}

void TopDownCanvas::title(const std::vector<std::string> & lines)
{
  for (const std::string & line : lines) {
    cv::putText(image_, line, cv::Point(map_width_px_ + kMargin_px, legend_row_px_), kFont,
                kFontScale, cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
    legend_row_px_ += kLegendLine_px;
  }
  legend_row_px_ += kLegendLine_px / 2;
}

void TopDownCanvas::legend(Mark mark, const cv::Scalar & colour, const std::string & text)
{
  const cv::Point centre(map_width_px_ + kMargin_px + 8, legend_row_px_ - 5);
  switch (mark) {
    case Mark::kSquare:
      cv::rectangle(image_, centre - cv::Point(7, 7), centre + cv::Point(7, 7), colour, cv::FILLED);
      break;
    case Mark::kDot:
      cv::circle(image_, centre, 3, colour, cv::FILLED, cv::LINE_AA);
      break;
    case Mark::kCross:
      cv::drawMarker(image_, centre, colour, cv::MARKER_TILTED_CROSS, 12, 2, cv::LINE_AA);
      break;
    case Mark::kLine:
      cv::line(image_, centre - cv::Point(8, 0), centre + cv::Point(8, 0), colour, 2, cv::LINE_AA);
      break;
  }
  cv::putText(image_, text, cv::Point(map_width_px_ + kMargin_px + 24, legend_row_px_), kFont,
              kFontScale, cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
  legend_row_px_ += kLegendLine_px;
}

}  // namespace veltrax_demo
