// Host stand-in for cv_bridge/cv_bridge.h (ROS 2 Humble, vision_opencv 3.2.1). Humble has only
// the .h name; there is deliberately no cv_bridge/cv_bridge.hpp here.
// Mirrors: Exception, CvImage (header, encoding, image, toImageMsg), toCvCopy, toCvShare,
// cvtColor and getCvType, with the same validation texts, byte swapping of big-endian data,
// encoding conversions and 8 <-> 16 bit scaling.
// Differs from Humble:
//  - no CompressedImage overloads (toCvCopy / toCompressedImageMsg): the host has no
//    sensor_msgs/msg/compressed_image.hpp and no image codecs;
//  - failures that Humble lets escape as cv::Exception (a step that is not a multiple of the
//    element size, a conversion OpenCV refuses) or as std::runtime_error from image_encodings
//    (an encoding such as "32F" that getCvType accepts but numChannels does not) are thrown as
//    cv_bridge::Exception (still a std::runtime_error), so a malformed camera message can never
//    make the bridge read past the message buffer;
//  - size checks are done in 64-bit arithmetic, where Humble multiplies 32-bit fields and can
//    wrap around;
//  - "xxC<n>" encodings with more channels than OpenCV supports are "Unrecognized".
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <opencv2/core/core.hpp>
#include <opencv2/imgproc/imgproc.hpp>

#include "sensor_msgs/image_encodings.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "std_msgs/msg/header.hpp"

namespace cv_bridge
{
class Exception : public std::runtime_error
{
public:
  explicit Exception(const std::string & description) : std::runtime_error(description) {}
};

class CvImage;

typedef std::shared_ptr<CvImage> CvImagePtr;
typedef std::shared_ptr<CvImage const> CvImageConstPtr;

typedef enum { BMP, DIB, JPG, JPEG, JPE, JP2, PNG, PBM, PGM, PPM, SR, RAS, TIFF, TIF } Format;

/// An OpenCV image with its ROS header and encoding. `image` may share memory with a message
/// (toCvShare) or own it (toCvCopy, cvtColor).
class CvImage
{
public:
  std_msgs::msg::Header header;
  std::string encoding;
  cv::Mat image;

  CvImage() {}

  CvImage(const std_msgs::msg::Header & header_in, const std::string & encoding_in,
          const cv::Mat & image_in = cv::Mat())
      : header(header_in), encoding(encoding_in), image(image_in)
  {
  }

  /// A new message: height = rows, width = cols, step = cols * elemSize, host byte order,
  /// pixels copied row by row (so non-continuous images such as ROIs are fine).
  sensor_msgs::msg::Image::SharedPtr toImageMsg() const;

  /// Same as above, into an existing message (every field is overwritten).
  void toImageMsg(sensor_msgs::msg::Image & ros_image) const;

  typedef std::shared_ptr<CvImage> Ptr;
  typedef std::shared_ptr<CvImage const> ConstPtr;

protected:
  std::shared_ptr<void const> tracked_object_;

  /// @cond DOXYGEN_IGNORE
  friend CvImageConstPtr toCvShare(const sensor_msgs::msg::Image & source,
                                   const std::shared_ptr<void const> & tracked_object,
                                   const std::string & encoding);
  /// @endcond
};

/// Deep copy of the message, converted to `encoding` (empty: keep the message's encoding).
/// Throws cv_bridge::Exception for malformed messages and unsupported conversions.
CvImagePtr toCvCopy(const sensor_msgs::msg::Image::ConstSharedPtr & source,
                    const std::string & encoding = std::string());

CvImagePtr toCvCopy(const sensor_msgs::msg::Image & source,
                    const std::string & encoding = std::string());

/// Shares the message's pixels when no conversion or byte swap is needed (the result keeps the
/// message alive); otherwise behaves like toCvCopy.
CvImageConstPtr toCvShare(const sensor_msgs::msg::Image::ConstSharedPtr & source,
                          const std::string & encoding = std::string());

CvImageConstPtr toCvShare(const sensor_msgs::msg::Image & source,
                          const std::shared_ptr<void const> & tracked_object,
                          const std::string & encoding = std::string());

/// Converts an existing CvImage into a new one with `encoding`.
CvImagePtr cvtColor(const CvImageConstPtr & source, const std::string & encoding);

/// OpenCV type (CV_8UC3, ...) of an image encoding; throws for unknown encodings.
int getCvType(const std::string & encoding);
}  // namespace cv_bridge
