#include "bag/message_definitions.hpp"

#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{
namespace
{

// The fields (and constants) of each .msg file as installed with Humble, keyed "pkg/Type".
const std::map<std::string, std::string> & msg_texts()
{
  static const std::map<std::string, std::string> texts = {
      {"builtin_interfaces/Time", "int32 sec\nuint32 nanosec\n"},
      {"std_msgs/Header", "builtin_interfaces/Time stamp\nstring frame_id\n"},
      {"sensor_msgs/Image",
       "std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\n"
       "uint8 is_bigendian\nuint32 step\nuint8[] data\n"},
      {"sensor_msgs/CompressedImage", "std_msgs/Header header\nstring format\nuint8[] data\n"},
      {"sensor_msgs/RegionOfInterest",
       "uint32 x_offset\nuint32 y_offset\nuint32 height\nuint32 width\nbool do_rectify\n"},
      {"sensor_msgs/CameraInfo",
       "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\n"
       "float64[] d\nfloat64[9]  k\nfloat64[9]  r\nfloat64[12] p\nuint32 binning_x\n"
       "uint32 binning_y\nRegionOfInterest roi\n"},
      {"sensor_msgs/PointField",
       "uint8 INT8    = 1\nuint8 UINT8   = 2\nuint8 INT16   = 3\nuint8 UINT16  = 4\n"
       "uint8 INT32   = 5\nuint8 UINT32  = 6\nuint8 FLOAT32 = 7\nuint8 FLOAT64 = 8\n"
       "string name\nuint32 offset\nuint8  datatype\nuint32 count\n"},
      {"sensor_msgs/PointCloud2",
       "std_msgs/Header header\nuint32 height\nuint32 width\nPointField[] fields\n"
       "bool    is_bigendian\nuint32  point_step\nuint32  row_step\nuint8[] data\n"
       "bool is_dense\n"},
      {"geometry_msgs/Vector3", "float64 x\nfloat64 y\nfloat64 z\n"},
      {"geometry_msgs/Quaternion", "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n"},
      {"geometry_msgs/Transform", "Vector3 translation\nQuaternion rotation\n"},
      {"geometry_msgs/TransformStamped",
       "std_msgs/Header header\nstring child_frame_id\nTransform transform\n"},
      {"tf2_msgs/TFMessage", "geometry_msgs/TransformStamped[] transforms\n"},
      {"veltrax_protocol/Trash", "sensor_msgs/Image image\nfloat32 x\nfloat32 y\n"},
      {"veltrax_protocol/Trashes", "std_msgs/Header header\nTrash[] trashes\n"},
  };
  return texts;
}

const std::set<std::string> kPrimitives = {"bool",   "byte",  "char",   "float32", "float64",
                                           "int8",   "uint8", "int16",  "uint16",  "int32",
                                           "uint32", "int64", "uint64", "string"};

// "pkg/msg/Type" and "pkg/Type" name the same .msg file.
std::string short_name(const std::string & type)
{
  const std::size_t first = type.find('/');
  const std::size_t last = type.rfind('/');
  if (first == std::string::npos || type.compare(first, last - first + 1, "/msg/") != 0) {
    return type;
  }
  return type.substr(0, first) + type.substr(last);
}

const std::string & msg_text(const std::string & type)
{
  const auto found = msg_texts().find(type);
  if (found == msg_texts().end()) {
    throw BagError("no message definition for type " + type);
  }
  return found->second;
}

// The field types a .msg text names, as written, a bare name completed with `package`.
std::set<std::string> dependencies(const std::string & text, const std::string & package)
{
  std::set<std::string> types;
  std::istringstream lines(text);
  std::string field_type;
  std::string rest;
  while (lines >> field_type && std::getline(lines, rest)) {
    field_type = field_type.substr(0, field_type.find('['));
    if (kPrimitives.count(field_type) == 0) {
      if (field_type.find('/') == std::string::npos) {
        field_type.insert(0, package + "/");
      }
      types.insert(field_type);
    }
  }
  return types;
}

}  // namespace

std::string ros2msg_definition(const std::string & type)
{
  const std::string root = short_name(type);
  std::string definition;
  std::set<std::string> seen{root};
  const std::function<void(const std::string &)> append = [&](const std::string & name) {
    const std::string & text = msg_text(name);
    if (!definition.empty()) {
      definition += "\n" + std::string(80, '=') + "\nMSG: " + name + "\n";
    }
    definition += text;
    for (const std::string & dependency : dependencies(text, name.substr(0, name.find('/')))) {
      if (seen.insert(dependency).second) {
        append(dependency);
      }
    }
  };
  append(root);
  return definition;
}

}  // namespace veltrax_bag
