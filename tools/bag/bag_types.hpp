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

/// Topics and messages of one storage file, in the file's own order.
struct StorageContents
{
  std::vector<TopicInfo> topics;
  std::vector<BagMessage> messages;
};

}  // namespace veltrax_bag
