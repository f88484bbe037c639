// Plain records shared by the bag directory, its storage readers and bag_info.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veltrax_bag
{

/// One topic as the recorder declared it.
struct TopicInfo
{
  std::string name;
  std::string type;                  ///< e.g. "std_msgs/msg/String"
  std::string serialization_format;  ///< "cdr" for Humble's default middleware
  std::string offered_qos_profiles;  ///< the recorder's YAML text, kept verbatim
};

/// One recorded message.
struct BagMessage
{
  std::string topic;
  std::int64_t receive_time_ns = 0;      ///< when the recorder received it, ns since the epoch
  std::vector<std::uint8_t> serialized;  ///< serialized bytes, decompressed if the bag was
};

/// One storage file of a bag, read one message at a time.
class StorageFile
{
public:
  virtual ~StorageFile() = default;
  /// Every topic the file declares, whether or not it holds messages on it.
  virtual const std::vector<TopicInfo> & topics() const = 0;
  /// Fills `message` with the file's next message in receive-time order (equal times in file
  /// order); false after the last. Throws BagError on a fault met on the way.
  virtual bool next(BagMessage & message) = 0;
};

}  // namespace veltrax_bag
