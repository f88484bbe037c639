#include "bag/bag_metadata.hpp"

#include <yaml-cpp/yaml.h>

#include <fstream>

#include "bag/byte_cursor.hpp"

namespace veltrax_bag
{
namespace
{

constexpr int kOldestSupportedVersion = 4;

class MetadataParser
{
public:
  explicit MetadataParser(std::string source) : source_(std::move(source)) {}

  YAML::Node child(const YAML::Node & parent, const std::string & key, const std::string & path)
  {
    const YAML::Node node = parent[key];
    if (!node) {
      fail("missing key " + path + key);
    }
    return node;
  }

  template <typename T>
  T value(const YAML::Node & parent, const std::string & key, const std::string & path)
  {
    const YAML::Node node = child(parent, key, path);
    try {
      return node.as<T>();
    } catch (const YAML::Exception &) {
      fail("line " + std::to_string(node.Mark().line + 1) + ": " + path + key +
           " has the wrong type");
    }
  }

  [[noreturn]] void fail(const std::string & what) const { throw BagError(source_ + ": " + what); }

private:
  std::string source_;
};

}  // namespace

BagMetadata read_bag_metadata(const std::filesystem::path & metadata_path)
{
  MetadataParser parser(metadata_path.string());
  YAML::Node document;
  try {
    document = YAML::LoadFile(metadata_path.string());
  } catch (const YAML::BadFile &) {
    parser.fail("cannot open");
  } catch (const YAML::Exception & error) {
    parser.fail("line " + std::to_string(error.mark.line + 1) + ": " + error.msg);
  }
  const std::string root_path = "rosbag2_bagfile_information.";
  const YAML::Node root = parser.child(document, "rosbag2_bagfile_information", "");

  BagMetadata metadata;
  metadata.version = parser.value<int>(root, "version", root_path);
  if (metadata.version < kOldestSupportedVersion) {
    parser.fail("bag format version " + std::to_string(metadata.version) +
                " is older than the oldest supported (4)");
  }
  metadata.storage_identifier = parser.value<std::string>(root, "storage_identifier", root_path);
  metadata.relative_file_paths =
      parser.value<std::vector<std::string>>(root, "relative_file_paths", root_path);
  metadata.duration_ns = parser.value<std::int64_t>(parser.child(root, "duration", root_path),
                                                    "nanoseconds", root_path + "duration.");
  metadata.starting_time_ns =
      parser.value<std::int64_t>(parser.child(root, "starting_time", root_path),
                                 "nanoseconds_since_epoch", root_path + "starting_time.");
  metadata.message_count = parser.value<std::uint64_t>(root, "message_count", root_path);
  // Absent in bags written without compression by some versions; empty means none.
  if (root["compression_format"]) {
    metadata.compression_format = parser.value<std::string>(root, "compression_format", root_path);
  }
  if (root["compression_mode"]) {
    metadata.compression_mode = parser.value<std::string>(root, "compression_mode", root_path);
  }

  const std::string topics_path = root_path + "topics_with_message_count[].";
  for (const YAML::Node & entry : parser.child(root, "topics_with_message_count", root_path)) {
    const YAML::Node topic = parser.child(entry, "topic_metadata", topics_path);
    const std::string topic_path = topics_path + "topic_metadata.";
    TopicWithCount counted;
    counted.topic.name = parser.value<std::string>(topic, "name", topic_path);
    counted.topic.type = parser.value<std::string>(topic, "type", topic_path);
    counted.topic.serialization_format =
        parser.value<std::string>(topic, "serialization_format", topic_path);
    if (topic["offered_qos_profiles"]) {
      counted.topic.offered_qos_profiles =
          parser.value<std::string>(topic, "offered_qos_profiles", topic_path);
    }
    counted.message_count = parser.value<std::uint64_t>(entry, "message_count", topics_path);
    metadata.topics_with_message_count.push_back(std::move(counted));
  }
  return metadata;
}

void write_bag_metadata(const std::filesystem::path & metadata_path, const BagMetadata & metadata)
{
  YAML::Emitter out;
  const auto quoted = [&out](const std::string & text) { out << YAML::DoubleQuoted << text; };
  // Times and counts of the whole bag, and of its one file.
  const auto times = [&] {
    out << YAML::Key << "duration" << YAML::Value << YAML::BeginMap << YAML::Key << "nanoseconds"
        << YAML::Value << metadata.duration_ns << YAML::EndMap;
    out << YAML::Key << "starting_time" << YAML::Value << YAML::BeginMap << YAML::Key
        << "nanoseconds_since_epoch" << YAML::Value << metadata.starting_time_ns << YAML::EndMap;
    out << YAML::Key << "message_count" << YAML::Value << metadata.message_count;
  };
  out << YAML::BeginMap << YAML::Key << "rosbag2_bagfile_information" << YAML::Value
      << YAML::BeginMap;
  out << YAML::Key << "version" << YAML::Value << metadata.version;
  out << YAML::Key << "storage_identifier" << YAML::Value << metadata.storage_identifier;
  times();
  out << YAML::Key << "topics_with_message_count" << YAML::Value << YAML::BeginSeq;
  for (const TopicWithCount & counted : metadata.topics_with_message_count) {
    out << YAML::BeginMap << YAML::Key << "topic_metadata" << YAML::Value << YAML::BeginMap;
    out << YAML::Key << "name" << YAML::Value << counted.topic.name;
    out << YAML::Key << "type" << YAML::Value << counted.topic.type;
    out << YAML::Key << "serialization_format" << YAML::Value << counted.topic.serialization_format;
    out << YAML::Key << "offered_qos_profiles" << YAML::Value;
    quoted(counted.topic.offered_qos_profiles);
    out << YAML::EndMap << YAML::Key << "message_count" << YAML::Value << counted.message_count
        << YAML::EndMap;
  }
  out << YAML::EndSeq;
  out << YAML::Key << "compression_format" << YAML::Value;
  quoted(metadata.compression_format);
  out << YAML::Key << "compression_mode" << YAML::Value;
  quoted(metadata.compression_mode);
  out << YAML::Key << "relative_file_paths" << YAML::Value << metadata.relative_file_paths;
  out << YAML::Key << "files" << YAML::Value << YAML::BeginSeq;
  for (const std::string & path : metadata.relative_file_paths) {
    out << YAML::BeginMap << YAML::Key << "path" << YAML::Value << path;
    times();
    out << YAML::EndMap;
  }
  out << YAML::EndSeq << YAML::EndMap << YAML::EndMap;

  std::ofstream file(metadata_path);
  file << out.c_str() << "\n";
  if (!file) {
    throw BagError(metadata_path.string() + ": cannot be written");
  }
}

}  // namespace veltrax_bag
