// The MCAP writer read back by our reader, and the message definitions it stores as schemas.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "bag/bag_metadata.hpp"
#include "bag/mcap_writer.hpp"
#include "bag/message_definitions.hpp"
#include "bag/rosbag_reader.hpp"
#include "support/bag_test_support.hpp"

namespace
{

namespace fs = std::filesystem;
using veltrax_bag::BagError;
using veltrax_bag::BagReader;
using namespace veltrax_bag_test;

// Definitions and indexes are checked by an outside reader (tools/mcap_check); this holds our
// reader to what went in: small chunks, a topic declared after messages, times out of order.
TEST(McapWriter, WritesWhatTheReaderGivesBackInTimeOrder)
{
  ScratchDirectory scratch;
  const std::string qos = "- history: 3\n  depth: 0\n  reliability: 1\n  durability: 1";
  veltrax_bag::McapWriter writer(scratch.path() / "written.mcap", 64);
  const std::uint16_t images = writer.add_topic({"/image", "sensor_msgs/msg/Image", "cdr", qos});
  const Bytes late_image(70, 9);
  const Bytes early_image = {};
  writer.write(images, 30, 29, view(late_image));
  writer.write(images, 10, 9, view(early_image));
  const std::uint16_t transforms =
      writer.add_topic({"/tf_static", "tf2_msgs/msg/TFMessage", "cdr", qos});
  const Bytes transform = {0, 1, 0, 0, 5};
  writer.write(transforms, 20, 20, view(transform));
  EXPECT_THROW(writer.add_topic({"/other", "std_msgs/msg/Bool", "cdr", qos}), BagError);
  veltrax_bag::write_bag_metadata(scratch.path() / "metadata.yaml", writer.close());

  BagReader bag(scratch.path());
  const veltrax_bag::BagMetadata & metadata = bag.metadata();
  EXPECT_EQ(metadata.version, 5);
  EXPECT_EQ(metadata.starting_time_ns, 10);
  EXPECT_EQ(metadata.duration_ns, 20);
  EXPECT_EQ(metadata.message_count, 3U);
  ASSERT_EQ(metadata.topics_with_message_count.size(), 2U);
  EXPECT_EQ(metadata.topics_with_message_count[0].message_count, 2U);
  EXPECT_EQ(metadata.topics_with_message_count[1].topic.offered_qos_profiles, qos);
  ASSERT_EQ(bag.topics().size(), 2U);
  EXPECT_EQ(bag.topics()[1].type, "tf2_msgs/msg/TFMessage");
  EXPECT_EQ(bag.topics()[1].offered_qos_profiles, qos);
  const std::vector<veltrax_bag::BagMessage> messages = veltrax_bag::read_all_messages(bag);
  ASSERT_EQ(messages.size(), 3U);
  const std::vector<std::tuple<std::string, std::int64_t, Bytes>> expected = {
      {"/image", 10, early_image}, {"/tf_static", 20, transform}, {"/image", 30, late_image}};
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(std::tie(messages[i].topic, messages[i].receive_time_ns, messages[i].serialized),
              expected[i])
        << "message " << i;
  }
}

// The schema text is what lets Foxglove decode a message without ROS 2: the type's fields, then
// every type it depends on once, depth first in name order as the recorder writes them, each
// after a rule; our own types as their .msg files say.
TEST(McapWriter, DefinitionsCarryEveryDependencyOnceInTheRecordersOrder)
{
  const std::string rule = "\n" + std::string(80, '=') + "\nMSG: ";
  const auto dependencies = [&](const std::string & definition) {
    std::vector<std::string> names;
    for (std::size_t at = definition.find(rule); at != std::string::npos;
         at = definition.find(rule, at + 1)) {
      const std::size_t name = at + rule.size();
      names.push_back(definition.substr(name, definition.find('\n', name) - name));
    }
    return names;
  };
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"sensor_msgs/msg/CameraInfo",
       {"sensor_msgs/RegionOfInterest", "std_msgs/Header", "builtin_interfaces/Time"}},
      {"sensor_msgs/msg/PointCloud2",
       {"sensor_msgs/PointField", "std_msgs/Header", "builtin_interfaces/Time"}},
      {"tf2_msgs/msg/TFMessage",
       {"geometry_msgs/TransformStamped", "geometry_msgs/Transform", "geometry_msgs/Quaternion",
        "geometry_msgs/Vector3", "std_msgs/Header", "builtin_interfaces/Time"}},
      {"veltrax_protocol/msg/Trashes",
       {"std_msgs/Header", "builtin_interfaces/Time", "veltrax_protocol/Trash",
        "sensor_msgs/Image"}},
  };
  for (const auto & [type, expected] : cases) {
    SCOPED_TRACE(type);
    EXPECT_EQ(dependencies(veltrax_bag::ros2msg_definition(type)), expected);
  }

  const auto msg_file = [](const char * name) {
    std::ifstream in(fs::path(MSG_DIR) / name);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  const std::string trashes = veltrax_bag::ros2msg_definition("veltrax_protocol/msg/Trashes");
  EXPECT_EQ(trashes.substr(0, trashes.find(rule)), msg_file("Trashes.msg"));
  EXPECT_NE(trashes.find(rule + "veltrax_protocol/Trash\n" + msg_file("Trash.msg") + rule),
            std::string::npos)
      << trashes;
}

}  // namespace
