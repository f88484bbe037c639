#include "bag/ros_messages.hpp"

#include "bag/cdr.hpp"

namespace veltrax_bag
{
namespace
{

// The smallest serialised TransformStamped: header (8 + 4), child frame length (4) and seven
// doubles; bounds the element count of a corrupt transform list.
constexpr std::size_t kMinTransformBytes = 8 + 4 + 4 + 7 * 8;

Header read_header(CdrReader & in)
{
  Header header;
  header.stamp_sec = in.i32();
  header.stamp_nanosec = in.u32();
  header.frame_id = in.string();
  return header;
}

Vector3 read_vector3(CdrReader & in)
{
  Vector3 v;
  v.x = in.f64();
  v.y = in.f64();
  v.z = in.f64();
  return v;
}

template <std::size_t N>
void read_doubles(CdrReader & in, std::array<double, N> & out)
{
  for (double & value : out) {
    value = in.f64();
  }
}

// Decodes one whole message with `read` and checks nothing is left over.
template <typename Read>
auto decode(ByteView message, const std::string & source, Read read)
{
  CdrReader in(message, source);
  auto result = read(in);
  in.expect_end();
  return result;
}

}  // namespace

std::string decode_string(ByteView message, const std::string & source)
{
  return decode(message, source, [](CdrReader & in) { return in.string(); });
}

Image decode_image(ByteView message, const std::string & source)
{
  return decode(message, source, [](CdrReader & in) {
    Image image;
    image.header = read_header(in);
    image.height = in.u32();
    image.width = in.u32();
    image.encoding = in.string();
    image.is_bigendian = in.u8() != 0;
    image.step = in.u32();
    image.data = in.byte_sequence();
    if (static_cast<std::uint64_t>(image.step) * image.height != image.data.size()) {
      in.fail("image of " + std::to_string(image.height) + " rows of " +
              std::to_string(image.step) + " bytes carries " + std::to_string(image.data.size()) +
              " bytes");
    }
    return image;
  });
}

CompressedImage decode_compressed_image(ByteView message, const std::string & source)
{
  return decode(message, source, [](CdrReader & in) {
    CompressedImage image;
    image.header = read_header(in);
    image.format = in.string();
    image.data = in.byte_sequence();
    return image;
  });
}

CameraInfo decode_camera_info(ByteView message, const std::string & source)
{
  return decode(message, source, [](CdrReader & in) {
    CameraInfo info;
    info.header = read_header(in);
    info.height = in.u32();
    info.width = in.u32();
    info.distortion_model = in.string();
    info.d.resize(in.sequence_length(sizeof(double)));
    for (double & coefficient : info.d) {
      coefficient = in.f64();
    }
    read_doubles(in, info.k);
    read_doubles(in, info.r);
    read_doubles(in, info.p);
    info.binning_x = in.u32();
    info.binning_y = in.u32();
    info.roi_x_offset = in.u32();
    info.roi_y_offset = in.u32();
    info.roi_height = in.u32();
    info.roi_width = in.u32();
    info.roi_do_rectify = in.boolean();
    return info;
  });
}

std::vector<TransformStamped> decode_tf_message(ByteView message, const std::string & source)
{
  return decode(message, source, [](CdrReader & in) {
    std::vector<TransformStamped> transforms(in.sequence_length(kMinTransformBytes));
    for (TransformStamped & transform : transforms) {
      transform.header = read_header(in);
      transform.child_frame_id = in.string();
      transform.translation = read_vector3(in);
      read_doubles(in, transform.rotation_xyzw);
    }
    return transforms;
  });
}

Twist decode_twist(ByteView message, const std::string & source)
{
  return decode(message, source, [](CdrReader & in) {
    Twist twist;
    twist.linear = read_vector3(in);
    twist.angular = read_vector3(in);
    return twist;
  });
}

}  // namespace veltrax_bag
