// The rosbag2 reader against recordings written by ROS 2's own recorder, hand-built MCAP files
// and CDR messages, and damaged copies of each; the MCAP writer read back.
#include <gtest/gtest.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>
#include <zstd.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bag/bag_summary.hpp"
#include "bag/cdr_writer.hpp"
#include "bag/compressed_image.hpp"
#include "bag/mcap_reader.hpp"
#include "bag/mcap_writer.hpp"
#include "bag/message_definitions.hpp"
#include "bag/ros_messages.hpp"
#include "bag/rosbag_reader.hpp"

namespace
{

namespace fs = std::filesystem;
using veltrax_bag::BagError;
using veltrax_bag::BagReader;
using veltrax_bag::CdrWriter;
using Bytes = std::vector<std::uint8_t>;

const fs::path kRecordings = BAG_TEST_DATA_DIR;

Bytes read_bytes(const fs::path & path)
{
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path & path, const Bytes & bytes)
{
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

veltrax_bag::ByteView view(const Bytes & bytes) { return {bytes.data(), bytes.size()}; }

Bytes zstd_compress(const Bytes & raw)
{
  Bytes out(ZSTD_compressBound(raw.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), 3));
  return out;
}

// A fresh directory per test under the system temp directory.
class ScratchDirectory
{
public:
  ScratchDirectory()
      : path_(fs::temp_directory_path() /
              ("test_bag_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
               std::to_string(::getpid())))
  {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~ScratchDirectory() { fs::remove_all(path_); }
  const fs::path & path() const { return path_; }

private:
  fs::path path_;
};

// MCAP records built field by field, to exercise the reader beyond what the recorder wrote.
struct McapBytes
{
  Bytes bytes;
  McapBytes & u8(std::uint8_t v) { return raw(&v, 1); }
  McapBytes & u16(std::uint16_t v) { return raw(&v, 2); }
  McapBytes & u32(std::uint32_t v) { return raw(&v, 4); }
  McapBytes & u64(std::uint64_t v) { return raw(&v, 8); }
  McapBytes & str(const std::string & s)
  {
    u32(static_cast<std::uint32_t>(s.size()));
    return raw(s.data(), s.size());
  }
  McapBytes & append(const Bytes & b) { return raw(b.data(), b.size()); }
  McapBytes & record(std::uint8_t opcode, const Bytes & content)
  {
    return u8(opcode).u64(content.size()).append(content);
  }
  McapBytes & raw(const void * data, std::size_t size)
  {
    const auto * p = static_cast<const std::uint8_t *>(data);
    bytes.insert(bytes.end(), p, p + size);
    return *this;
  }
};

const Bytes kMcapMagic = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

Bytes string_topic_records(const std::vector<std::pair<std::uint64_t, Bytes>> & messages)
{
  McapBytes out;
  out.record(0x03, McapBytes().u16(1).str("std_msgs/msg/String").str("ros2msg").str("").bytes);
  const Bytes qos = McapBytes().str("offered_qos_profiles").str("- depth: 10").bytes;
  out.record(0x04, McapBytes()
                       .u16(7)
                       .u16(1)
                       .str("/chatter")
                       .str("cdr")
                       .u32(static_cast<std::uint32_t>(qos.size()))
                       .append(qos)
                       .bytes);
  for (const auto & [time_ns, payload] : messages) {
    out.record(0x05, McapBytes().u16(7).u32(0).u64(time_ns).u64(time_ns).append(payload).bytes);
  }
  return out.bytes;
}

Bytes chunk_record(const Bytes & records, const std::string & compression)
{
  const Bytes stored = compression == "zstd" ? zstd_compress(records) : records;
  return McapBytes()
      .record(0x06, McapBytes()
                        .u64(0)
                        .u64(0)
                        .u64(records.size())
                        .u32(veltrax_bag::crc32(view(records)))
                        .str(compression)
                        .u64(stored.size())
                        .append(stored)
                        .bytes)
      .bytes;
}

Bytes mcap_file(const Bytes & data_section)
{
  return McapBytes()
      .append(kMcapMagic)
      .record(0x01, McapBytes().str("ros2").str("test").bytes)
      .append(data_section)
      .record(0x02, McapBytes().u64(0).u64(0).u32(0).bytes)
      .append(kMcapMagic)
      .bytes;
}

void write_metadata(const fs::path & directory, const std::string & storage,
                    const std::vector<std::string> & files, const std::string & compression_mode)
{
  std::ofstream out(directory / "metadata.yaml");
  out << "rosbag2_bagfile_information:\n  version: 5\n  storage_identifier: " << storage
      << "\n  relative_file_paths:\n";
  for (const std::string & file : files) {
    out << "    - " << file << "\n";
  }
  out << "  duration: {nanoseconds: 0}\n  starting_time: {nanoseconds_since_epoch: 0}\n"
      << "  message_count: 0\n  topics_with_message_count: []\n"
      << "  compression_format: \"" << (compression_mode.empty() ? "" : "zstd") << "\"\n"
      << "  compression_mode: \"" << compression_mode << "\"\n";
}

TEST(BagReader, RecorderBagsAgreeWithTheirMetadataAndDecodeEveryString)
{
  for (const std::string storage : {"sqlite3", "mcap"}) {
    SCOPED_TRACE(storage);
    const fs::path directory = kRecordings / storage / "talker";
    const YAML::Node metadata =
        YAML::LoadFile((directory / "metadata.yaml").string())["rosbag2_bagfile_information"];
    BagReader bag(directory);
    const nlohmann::json info =
        nlohmann::json::parse(veltrax_bag::summary_json(veltrax_bag::summarize(bag)));

    EXPECT_EQ(info["storage"], metadata["storage_identifier"].as<std::string>());
    EXPECT_EQ(info["duration_ns"], metadata["duration"]["nanoseconds"].as<std::int64_t>());
    EXPECT_EQ(info["start_ns"],
              metadata["starting_time"]["nanoseconds_since_epoch"].as<std::int64_t>());
    EXPECT_EQ(info["message_count"], metadata["message_count"].as<std::uint64_t>());

    std::map<std::string, nlohmann::json> reported;
    for (const nlohmann::json & topic : info["topics"]) {
      reported[topic["name"]] = topic;
    }
    ASSERT_EQ(reported.size(), metadata["topics_with_message_count"].size());
    for (const YAML::Node & entry : metadata["topics_with_message_count"]) {
      const YAML::Node topic = entry["topic_metadata"];
      const nlohmann::json & found = reported[topic["name"].as<std::string>()];
      SCOPED_TRACE(topic["name"].as<std::string>());
      EXPECT_EQ(found["type"], topic["type"].as<std::string>());
      EXPECT_EQ(found["serialization_format"], topic["serialization_format"].as<std::string>());
      EXPECT_EQ(found["count"], entry["message_count"].as<std::uint64_t>());
      const auto declared = std::find_if(bag.topics().begin(), bag.topics().end(),
                                         [&](const auto & t) { return t.name == found["name"]; });
      // The MCAP recording's file spells the unset deadline and lifespan differently from its
      // metadata.yaml, so compare the policies a subscriber matches on.
      const YAML::Node stored_qos = YAML::Load(declared->offered_qos_profiles)[0];
      const YAML::Node metadata_qos =
          YAML::Load(topic["offered_qos_profiles"].as<std::string>())[0];
      for (const char * policy : {"history", "depth", "reliability", "durability"}) {
        EXPECT_EQ(stored_qos[policy].as<int>(), metadata_qos[policy].as<int>()) << policy;
      }
    }

    std::vector<std::string> strings;
    std::int64_t previous_time_ns = 0;
    BagReader again(directory);
    for (const veltrax_bag::BagMessage & message : veltrax_bag::read_all_messages(again)) {
      EXPECT_GE(message.receive_time_ns, previous_time_ns);
      previous_time_ns = message.receive_time_ns;
      if (message.topic == "/topic") {
        strings.push_back(veltrax_bag::decode_string(view(message.serialized), message.topic));
      }
    }
    ASSERT_EQ(strings.size(), 10U);
    for (std::size_t i = 0; i < strings.size(); ++i) {
      EXPECT_EQ(strings[i], "Hello, world! " + std::to_string(i));
    }
  }
}

TEST(BagReader, MergesSplitFilesInTimeOrderThroughEveryChunkKind)
{
  const auto hello = [](int n) { return CdrWriter().string("hello " + std::to_string(n)).bytes(); };
  const auto message_record = [&](std::uint64_t time_ns, int n) {
    return McapBytes()
        .record(0x05, McapBytes()
                          .u16(7)
                          .u32(0)
                          .u64(time_ns)
                          .u64(time_ns)
                          .append(zstd_compress(hello(n)))
                          .bytes)
        .bytes;
  };
  // Per-message compression; the two files overlap in time. The first has two zstd chunks
  // whose times interleave, so reading in time order goes back to a chunk already left; the
  // second has unchunked records and an uncompressed chunk.
  ScratchDirectory scratch;
  McapBytes first;
  first.append(chunk_record(
      string_topic_records({{10, zstd_compress(hello(0))}, {30, zstd_compress(hello(3))}}),
      "zstd"));
  first.append(chunk_record(message_record(25, 2), "zstd"));
  write_bytes(scratch.path() / "bag_0.mcap", mcap_file(first.bytes));
  McapBytes second;
  second.append(string_topic_records({{20, zstd_compress(hello(1))}}));
  second.append(chunk_record(message_record(40, 4), ""));
  write_bytes(scratch.path() / "bag_1.mcap", mcap_file(second.bytes));
  write_metadata(scratch.path(), "mcap", {"bag_0.mcap", "bag_1.mcap"}, "MESSAGE");

  BagReader bag(scratch.path());
  const std::vector<veltrax_bag::BagMessage> messages = veltrax_bag::read_all_messages(bag);
  ASSERT_EQ(bag.topics().size(), 1U);
  EXPECT_EQ(bag.topics()[0].type, "std_msgs/msg/String");
  EXPECT_EQ(bag.topics()[0].offered_qos_profiles, "- depth: 10");
  const std::vector<std::int64_t> expected_times_ns = {10, 20, 25, 30, 40};
  ASSERT_EQ(messages.size(), expected_times_ns.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i].topic, "/chatter");
    EXPECT_EQ(messages[i].receive_time_ns, expected_times_ns[i]);
    EXPECT_EQ(veltrax_bag::decode_string(view(messages[i].serialized), "message"),
              "hello " + std::to_string(i));
  }
}

// Definitions and indexes are checked by an outside reader (tools/mcap_check); this holds our
// reader to what went in: small chunks, a topic declared after messages, times out of order.
TEST(McapWriter, WritesWhatTheReaderGivesBackInTimeOrder)
{
  ScratchDirectory scratch;
  const fs::path file = scratch.path() / "written.mcap";
  const std::string qos = "- history: 3\n  depth: 0\n  reliability: 1\n  durability: 1";
  veltrax_bag::McapWriter writer(file, 64);
  const std::uint16_t images = writer.add_topic({"/image", "sensor_msgs/msg/Image", "cdr", qos});
  const auto image_bytes = [](std::uint32_t nanosec, const Bytes & pixels) {
    return CdrWriter()
        .header(1, nanosec, "cam")
        .put<std::uint32_t>(1)
        .put<std::uint32_t>(static_cast<std::uint32_t>(pixels.size()))
        .string("mono8")
        .put<std::uint8_t>(0)
        .put<std::uint32_t>(static_cast<std::uint32_t>(pixels.size()))
        .byte_sequence(pixels)
        .bytes();
  };
  const std::vector<std::pair<std::uint64_t, Bytes>> sent_images = {{30, image_bytes(7, {9, 8})},
                                                                    {10, image_bytes(0, {})}};
  for (const auto & [time_ns, bytes] : sent_images) {
    writer.write(images, time_ns, time_ns - 1, view(bytes));
  }
  CdrWriter tf;
  tf.put<std::uint32_t>(1).header(2, 5, "base_footprint").string("camera");
  for (double value : {0.1, 0.2, 0.3, 0.0, 0.0, 0.0, 1.0}) {
    tf.put(value);
  }
  const std::uint16_t transforms =
      writer.add_topic({"/tf_static", "tf2_msgs/msg/TFMessage", "cdr", qos});
  writer.write(transforms, 20, 20, view(tf.bytes()));
  EXPECT_THROW(writer.add_topic({"/other", "std_msgs/msg/Bool", "cdr", qos}), BagError);
  veltrax_bag::write_bag_metadata(scratch.path() / "metadata.yaml", writer.close());

  BagReader bag(scratch.path());
  EXPECT_EQ(bag.metadata().version, 5);
  EXPECT_EQ(bag.metadata().starting_time_ns, 10);
  EXPECT_EQ(bag.metadata().duration_ns, 20);
  EXPECT_EQ(bag.metadata().message_count, 3U);
  ASSERT_EQ(bag.metadata().topics_with_message_count.size(), 2U);
  EXPECT_EQ(bag.metadata().topics_with_message_count[0].message_count, 2U);
  ASSERT_EQ(bag.topics().size(), 2U);
  EXPECT_EQ(bag.topics()[1].type, "tf2_msgs/msg/TFMessage");
  EXPECT_EQ(bag.topics()[1].offered_qos_profiles, qos);
  EXPECT_EQ(bag.metadata().topics_with_message_count[1].topic.offered_qos_profiles, qos);
  const std::vector<veltrax_bag::BagMessage> messages = veltrax_bag::read_all_messages(bag);
  ASSERT_EQ(messages.size(), 3U);
  EXPECT_EQ(messages[0].serialized, sent_images[1].second);
  EXPECT_EQ(messages[1].receive_time_ns, 20);
  EXPECT_DOUBLE_EQ(
      veltrax_bag::decode_tf_message(view(messages[1].serialized), "tf")[0].translation.z, 0.3);
  const veltrax_bag::Image image = veltrax_bag::decode_image(view(messages[2].serialized), "image");
  EXPECT_EQ(image.header.stamp_nanosec, 7U);
  EXPECT_EQ(image.width, 2U);
  EXPECT_EQ(image.data, (Bytes{9, 8}));
}

// The schema text is what lets Foxglove decode a message without ROS 2: dependencies depth
// first in name order, as the recorder writes them, and our own types as their .msg files say.
TEST(McapWriter, DefinitionsCarryEveryDependencyInTheRecordersOrder)
{
  const std::string rule = "\n" + std::string(80, '=') + "\nMSG: ";
  EXPECT_EQ(veltrax_bag::ros2msg_definition("sensor_msgs/msg/CameraInfo"),
            "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\n"
            "float64[] d\nfloat64[9]  k\nfloat64[9]  r\nfloat64[12] p\nuint32 binning_x\n"
            "uint32 binning_y\nRegionOfInterest roi\n" +
                rule +
                "sensor_msgs/RegionOfInterest\nuint32 x_offset\nuint32 y_offset\nuint32 height\n"
                "uint32 width\nbool do_rectify\n" +
                rule + "std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring frame_id\n" + rule +
                "builtin_interfaces/Time\nint32 sec\nuint32 nanosec\n");
  const std::string trashes = veltrax_bag::ros2msg_definition("veltrax_protocol/msg/Trashes");
  const auto msg_file = [](const char * name) {
    std::ifstream in(fs::path(MSG_DIR) / name);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(trashes.substr(0, trashes.find(rule)), msg_file("Trashes.msg"));
  EXPECT_NE(trashes.find(rule + "veltrax_protocol/Trash\n" + msg_file("Trash.msg") + rule +
                         "sensor_msgs/Image\n"),
            std::string::npos)
      << trashes;
  for (const char * type : {"sensor_msgs/msg/PointCloud2", "tf2_msgs/msg/TFMessage"}) {
    const std::string text = veltrax_bag::ros2msg_definition(type);
    EXPECT_EQ(text.find("MSG: builtin_interfaces/Time"),
              text.rfind("MSG: builtin_interfaces/Time"));
    EXPECT_NE(text.find("MSG: std_msgs/Header"), std::string::npos);
  }
}

TEST(BagReader, ReadsAWholeFileCompressedSqliteBag)
{
  ScratchDirectory scratch;
  const Bytes database = read_bytes(kRecordings / "sqlite3/talker/talker.db3");
  write_bytes(scratch.path() / "talker.db3.zstd", zstd_compress(database));
  write_metadata(scratch.path(), "sqlite3", {"talker.db3.zstd"}, "FILE");
  BagReader bag(scratch.path());
  EXPECT_EQ(veltrax_bag::read_all_messages(bag).size(), 20U);
}

TEST(BagReader, NamesTheCompressedChunkAndItsOffsetForAFaultInside)
{
  ScratchDirectory scratch;
  const Bytes orphan =
      McapBytes().record(0x05, McapBytes().u16(9).u32(0).u64(1).u64(1).bytes).bytes;
  write_bytes(scratch.path() / "bag.mcap", mcap_file(chunk_record(orphan, "zstd")));
  write_metadata(scratch.path(), "mcap", {"bag.mcap"}, "");
  try {
    BagReader bag(scratch.path());
    veltrax_bag::read_all_messages(bag);
    ADD_FAILURE() << "read without complaint";
  } catch (const BagError & error) {
    // The chunk's records start after magic (8), the header record (9 + 16), the chunk's opcode
    // and length (9) and its fields (44); the message's content after its opcode and length.
    EXPECT_NE(std::string(error.what())
                  .find("bag.mcap: zstd chunk at offset 86, decompressed: offset 9: message on "
                        "channel 9 before that channel is defined"),
              std::string::npos)
        << error.what();
  }
}

TEST(BagReader, RefusesASqliteFileWithAnUncheckpointedWriteAheadLog)
{
  ScratchDirectory scratch;
  fs::copy(kRecordings / "sqlite3/talker", scratch.path(), fs::copy_options::recursive);
  write_bytes(scratch.path() / "talker.db3-wal", Bytes(32, 1));
  try {
    BagReader bag(scratch.path());
    veltrax_bag::read_all_messages(bag);
    ADD_FAILURE() << "read without complaint";
  } catch (const BagError & error) {
    EXPECT_NE(std::string(error.what()).find("talker.db3-wal: holds messages"), std::string::npos)
        << error.what();
  }
}

// Each case damages a copy of a recording and expects a BagError whose text names the file
// and says what is wrong.
TEST(BagReader, RefusesDamagedRecordingsNamingFileAndFault)
{
  struct Case
  {
    const char * name;
    const char * storage;
    std::function<void(Bytes &)> damage;
    std::string compression_mode;
    std::vector<std::string> expected_text;
  };
  const auto replace = [](Bytes & bytes, const std::string & from, const std::string & to) {
    const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    ASSERT_NE(at, bytes.end()) << from;
    std::copy(to.begin(), to.end(), at);
  };
  // The chunk's CRC follows magic (8), header record (9 + 28), chunk opcode and length (9)
  // and the chunk's two times and size (24).
  constexpr std::size_t kChunkCrcOffset = 8 + 9 + 28 + 9 + 24;
  const std::vector<Case> cases = {
      {"mcap truncated",
       "mcap",
       [](Bytes & b) { b.resize(b.size() / 2); },
       "",
       {"talker.mcap: offset", "runs past the end"}},
      {"mcap without its footer",
       "mcap",
       [](Bytes & b) { b.resize(b.size() - 8 - 29); },
       "",
       {"talker.mcap", "without a footer"}},
      {"mcap wrong magic",
       "mcap",
       [](Bytes & b) { b[1] = 'X'; },
       "",
       {"talker.mcap: offset 0", "wrong magic"}},
      {"mcap chunk larger than it declares",
       "mcap",
       [&](Bytes & b) {
         std::fill_n(b.begin() + kChunkCrcOffset - 8, 8, 0);
         b[kChunkCrcOffset - 8] = 100;
       },
       "",
       {"talker.mcap: zstd chunk at offset", "decompresses to more than 100 bytes"}},
      {"mcap chunk CRC",
       "mcap",
       [&](Bytes & b) { b[kChunkCrcOffset] ^= 0xFF; },
       "",
       {"talker.mcap: offset", "CRC mismatch"}},
      {"mcap lz4 chunk",
       "mcap",
       [&](Bytes & b) {
         replace(b, std::string("\4\0\0\0zstd", 8), std::string("\4\0\0\0lz4!", 8));
       },
       "",
       {"talker.mcap: offset", "lz4!", "only zstd or none"}},
      // Found by fuzz_mcap: such a message was given out first, with a negative time.
      {"mcap log time beyond the signed range",
       "mcap",
       [](Bytes & b) {
         b = mcap_file(
             string_topic_records({{10, CdrWriter().string("a").bytes()},
                                   {std::uint64_t{1} << 63, CdrWriter().string("b").bytes()}}));
       },
       "",
       {"talker.mcap: offset", "log time 9223372036854775808 ns lies beyond the year 2262"}},
      {"sqlite wrong magic",
       "sqlite3",
       [](Bytes & b) { b[0] = 'X'; },
       "",
       {"talker.db3: sqlite3:", "not a database"}},
      {"sqlite missing table",
       "sqlite3",
       [&](Bytes & b) { replace(b, "TABLE messages(", "TABLE messagez("); },
       "",
       {"talker.db3: sqlite3:", "messages"}},
      {"zstd file cut short",
       "sqlite3",
       [](Bytes & b) {
         b = zstd_compress(b);
         b.resize(b.size() - 10);
       },
       "FILE",
       {"talker.db3: offset", "zstd stream is truncated"}},
      {"plain file where zstd is declared",
       "sqlite3",
       [](Bytes &) {},
       "FILE",
       {"talker.db3: offset", "zstd"}},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDirectory scratch;
    const std::string file =
        std::string("talker.") + (c.storage == std::string("mcap") ? "mcap" : "db3");
    Bytes bytes = read_bytes(kRecordings / c.storage / "talker" / file);
    c.damage(bytes);
    write_bytes(scratch.path() / file, bytes);
    write_metadata(scratch.path(), c.storage, {file}, c.compression_mode);
    try {
      BagReader bag(scratch.path());
      veltrax_bag::read_all_messages(bag);
      ADD_FAILURE() << "read without complaint";
    } catch (const BagError & error) {
      for (const std::string & text : c.expected_text) {
        EXPECT_NE(std::string(error.what()).find(text), std::string::npos)
            << error.what() << " lacks " << text;
      }
    }
  }
}

TEST(BagMetadata, RefusesMissingKeysOldVersionsAndBrokenYamlNamingTheFile)
{
  struct Case
  {
    const char * name;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"no root", "other: 1\n", "missing key rosbag2_bagfile_information"},
      {"no storage", "rosbag2_bagfile_information:\n  version: 4\n",
       "missing key rosbag2_bagfile_information.storage_identifier"},
      {"version 3", "rosbag2_bagfile_information:\n  version: 3\n", "version 3 is older"},
      {"count not a number",
       "rosbag2_bagfile_information:\n  version: 4\n  storage_identifier: mcap\n"
       "  relative_file_paths: []\n  duration: {nanoseconds: 0}\n"
       "  starting_time: {nanoseconds_since_epoch: 0}\n  message_count: many\n",
       "line 7: rosbag2_bagfile_information.message_count has the wrong type"},
      {"broken yaml", "rosbag2_bagfile_information: [\n", "line 2"},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDirectory scratch;
    std::ofstream(scratch.path() / "metadata.yaml") << c.text;
    try {
      veltrax_bag::read_bag_metadata(scratch.path() / "metadata.yaml");
      ADD_FAILURE() << "parsed without complaint";
    } catch (const BagError & error) {
      const std::string text = error.what();
      EXPECT_NE(text.find("metadata.yaml: "), std::string::npos) << text;
      EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    }
  }
}

// One buffer per type, with frame names whose lengths push the doubles off their natural
// alignment, so a reader aligning from the buffer start instead of the payload start fails.
TEST(Cdr, DecodesTheNodesInputTypesFromHandBuiltMessages)
{
  const Bytes image_bytes =
      CdrWriter()
          .header(12, 345, "cam")
          .put<std::uint32_t>(2)
          .put<std::uint32_t>(3)
          .string("rgb8")
          .put<std::uint8_t>(0)
          .put<std::uint32_t>(9)
          .byte_sequence({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18})
          .bytes();
  const veltrax_bag::Image image = veltrax_bag::decode_image(view(image_bytes), "image");
  EXPECT_EQ(image.header.stamp_sec, 12);
  EXPECT_EQ(image.header.stamp_nanosec, 345U);
  EXPECT_EQ(image.header.frame_id, "cam");
  EXPECT_EQ(image.height, 2U);
  EXPECT_EQ(image.width, 3U);
  EXPECT_EQ(image.encoding, "rgb8");
  EXPECT_EQ(image.step, 9U);
  ASSERT_EQ(image.data.size(), 18U);
  EXPECT_EQ(image.data.back(), 18);

  CdrWriter info_writer;
  info_writer.header(1, 2, "camera_color_optical_frame")
      .put<std::uint32_t>(480)
      .put<std::uint32_t>(640);
  info_writer.string("plumb_bob").put<std::uint32_t>(5);
  for (int i = 0; i < 5 + 9 + 9 + 12; ++i) {
    info_writer.put<double>(0.5 * i);
  }
  info_writer.put<std::uint32_t>(1).put<std::uint32_t>(2);
  info_writer.put<std::uint32_t>(3).put<std::uint32_t>(4).put<std::uint32_t>(5).put<std::uint32_t>(
      6);
  info_writer.put<std::uint8_t>(1);
  const veltrax_bag::CameraInfo info =
      veltrax_bag::decode_camera_info(view(info_writer.bytes()), "camera_info");
  EXPECT_EQ(info.width, 640U);
  EXPECT_EQ(info.distortion_model, "plumb_bob");
  ASSERT_EQ(info.d.size(), 5U);
  EXPECT_DOUBLE_EQ(info.d[4], 2.0);
  EXPECT_DOUBLE_EQ(info.k[0], 2.5);
  EXPECT_DOUBLE_EQ(info.r[8], 0.5 * 22);
  EXPECT_DOUBLE_EQ(info.p[11], 0.5 * 34);
  EXPECT_EQ(info.binning_y, 2U);
  EXPECT_EQ(info.roi_width, 6U);
  EXPECT_TRUE(info.roi_do_rectify);

  CdrWriter tf_writer;
  tf_writer.put<std::uint32_t>(2);
  for (const char * child : {"base_link", "camera_link"}) {
    tf_writer.header(7, 8, "odom").string(child);
    for (double value : {1.0, 2.0, 3.0, 0.0, 0.0, 0.6, 0.8}) {
      tf_writer.put(value);
    }
  }
  const std::vector<veltrax_bag::TransformStamped> transforms =
      veltrax_bag::decode_tf_message(view(tf_writer.bytes()), "tf");
  ASSERT_EQ(transforms.size(), 2U);
  EXPECT_EQ(transforms[1].header.frame_id, "odom");
  EXPECT_EQ(transforms[1].child_frame_id, "camera_link");
  EXPECT_DOUBLE_EQ(transforms[1].translation.z, 3.0);
  EXPECT_DOUBLE_EQ(transforms[1].rotation_xyzw[2], 0.6);
  EXPECT_DOUBLE_EQ(transforms[1].rotation_xyzw[3], 0.8);

  const Bytes twist_bytes =
      CdrWriter().put(0.25).put(0.0).put(0.0).put(0.0).put(0.0).put(-0.5).bytes();
  const veltrax_bag::Twist twist = veltrax_bag::decode_twist(view(twist_bytes), "twist");
  EXPECT_DOUBLE_EQ(twist.linear.x, 0.25);
  EXPECT_DOUBLE_EQ(twist.angular.z, -0.5);

  const Bytes compressed_bytes = CdrWriter()
                                     .header(3, 4, "cam")
                                     .string("16UC1; compressedDepth png")
                                     .byte_sequence({0x89, 'P'})
                                     .bytes();
  const veltrax_bag::CompressedImage compressed =
      veltrax_bag::decode_compressed_image(view(compressed_bytes), "compressed");
  EXPECT_EQ(compressed.format, "16UC1; compressedDepth png");
  EXPECT_EQ(compressed.data, (Bytes{0x89, 'P'}));

  // A big-endian writer (another middleware) is read too.
  const Bytes big_endian = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 'h', 'i', 0x00};
  EXPECT_EQ(veltrax_bag::decode_string(view(big_endian), "big endian"), "hi");
}

TEST(Cdr, RefusesMessagesShorterOrLongerThanTheirFieldsSayNamingTheOffset)
{
  struct Case
  {
    const char * name;
    Bytes message;
    std::string expected;
  };
  Bytes cut_image = CdrWriter()
                        .header(1, 2, "cam")
                        .put<std::uint32_t>(1)
                        .put<std::uint32_t>(4)
                        .string("mono8")
                        .put<std::uint8_t>(0)
                        .put<std::uint32_t>(4)
                        .put<std::uint32_t>(4)
                        .bytes();
  cut_image.insert(cut_image.end(), {1, 2});
  const Bytes mismatched_image = CdrWriter()
                                     .header(1, 2, "cam")
                                     .put<std::uint32_t>(2)
                                     .put<std::uint32_t>(4)
                                     .string("mono8")
                                     .put<std::uint8_t>(0)
                                     .put<std::uint32_t>(4)
                                     .put<std::uint32_t>(1)
                                     .put<std::uint8_t>(7)
                                     .bytes();
  const Bytes huge_tf = CdrWriter().put<std::uint32_t>(0x40000000).bytes();
  const std::vector<Case> cases = {
      {"string longer than the message",
       {0, 1, 0, 0, 20, 0, 0, 0, 'h', 'i', 0},
       "offset 8: needs 20 bytes, only 3 left"},
      {"string without its NUL", {0, 1, 0, 0, 2, 0, 0, 0, 'h', 'i'}, "lacks its terminating NUL"},
      {"no encapsulation header", {0, 1}, "offset 0: needs 4 bytes"},
      {"parameter-list encapsulation", {0, 3, 0, 0, 0, 0, 0, 0}, "is not plain CDR"},
      {"bytes after the last field", CdrWriter().string("hi").put<std::uint32_t>(5).bytes(),
       "5 bytes left after the last field"},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(
        {
          try {
            veltrax_bag::decode_string(view(c.message), "/topic");
          } catch (const BagError & error) {
            EXPECT_NE(std::string(error.what()).find("/topic: offset"), std::string::npos);
            EXPECT_NE(std::string(error.what()).find(c.expected), std::string::npos)
                << error.what();
            throw;
          }
        },
        BagError);
  }
  EXPECT_THROW(veltrax_bag::decode_image(view(cut_image), "image"), BagError);
  EXPECT_THROW(veltrax_bag::decode_image(view(mismatched_image), "image"), BagError);
  // A corrupt count must be refused before anything the size of the count is allocated.
  EXPECT_THROW(veltrax_bag::decode_tf_message(view(huge_tf), "tf"), BagError);
}

veltrax_bag::CompressedImage compressed(const std::string & format, const cv::Mat & pixels,
                                        const Bytes & prefix = {})
{
  std::vector<std::uint8_t> encoded;
  cv::imencode(format.find("jpeg") != std::string::npos ? ".jpg" : ".png", pixels, encoded);
  veltrax_bag::CompressedImage image;
  image.format = format;
  image.data = prefix;
  image.data.insert(image.data.end(), encoded.begin(), encoded.end());
  return image;
}

Bytes depth_header(float quant_a, float quant_b)
{
  Bytes header(12, 0);
  std::memcpy(header.data() + 4, &quant_a, sizeof(float));
  std::memcpy(header.data() + 8, &quant_b, sizeof(float));
  return header;
}

TEST(CompressedImage, DecodesColourAndBothDepthEncodingsToTheRecordedPixels)
{
  cv::Mat colour(4, 6, CV_8UC3);
  cv::randu(colour, cv::Scalar::all(0), cv::Scalar::all(255));  // OpenCV's fixed default seed
  cv::Mat rgb;
  cv::cvtColor(colour, rgb, cv::COLOR_BGR2RGB);
  const cv::Mat depth_mm = (cv::Mat_<std::uint16_t>(2, 3) << 0, 1, 500, 1000, 4000, 65535);
  // 32-bit depth: q = 100 / depth_m + 10, so q = 60 is 2 m and q = 110 is 1 m; 0 has no return.
  const cv::Mat inverse_depth = (cv::Mat_<std::uint16_t>(1, 3) << 60, 110, 0);

  const auto same = [](const cv::Mat & a, const cv::Mat & b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
  };
  const veltrax_bag::DecodedImage png =
      veltrax_bag::decode_compressed_pixels(compressed("bgr8; png compressed bgr8", colour), "png");
  EXPECT_EQ(png.encoding, "bgr8");
  EXPECT_TRUE(same(png.pixels, colour));
  const veltrax_bag::DecodedImage rgb_png =
      veltrax_bag::decode_compressed_pixels(compressed("rgb8; png compressed bgr8", colour), "rgb");
  EXPECT_EQ(rgb_png.encoding, "rgb8");
  EXPECT_TRUE(same(rgb_png.pixels, rgb));
  const veltrax_bag::DecodedImage jpeg = veltrax_bag::decode_compressed_pixels(
      compressed("jpeg", cv::Mat(8, 8, CV_8UC3, cv::Scalar(40, 120, 200))), "jpeg");
  EXPECT_EQ(jpeg.encoding, "bgr8");
  EXPECT_LE(cv::norm(jpeg.pixels, cv::Mat(8, 8, CV_8UC3, cv::Scalar(40, 120, 200)), cv::NORM_INF),
            4);

  const veltrax_bag::DecodedImage depth16 = veltrax_bag::decode_compressed_pixels(
      compressed("16UC1; compressedDepth png", depth_mm, depth_header(0, 0)), "depth16");
  EXPECT_EQ(depth16.encoding, "16UC1");
  EXPECT_TRUE(same(depth16.pixels, depth_mm));
  const veltrax_bag::DecodedImage depth32 = veltrax_bag::decode_compressed_pixels(
      compressed("32FC1; compressedDepth", inverse_depth, depth_header(100, 10)), "depth32");
  ASSERT_EQ(depth32.pixels.type(), CV_32FC1);
  EXPECT_FLOAT_EQ(depth32.pixels.at<float>(0, 0), 2.0F);
  EXPECT_FLOAT_EQ(depth32.pixels.at<float>(0, 1), 1.0F);
  EXPECT_TRUE(std::isnan(depth32.pixels.at<float>(0, 2)));
}

TEST(CompressedImage, RefusesDamagedDataAndUnknownFormatsNamingTheMessage)
{
  const cv::Mat depth_mm(2, 2, CV_16UC1, cv::Scalar(700));
  veltrax_bag::CompressedImage cut_png =
      compressed("bgr8; png compressed bgr8", cv::Mat(4, 4, CV_8UC3, cv::Scalar(9, 8, 7)));
  cut_png.data.resize(cut_png.data.size() / 2);
  veltrax_bag::CompressedImage short_header;
  short_header.format = "16UC1; compressedDepth png";
  short_header.data = {1, 2, 3};
  const std::vector<std::pair<veltrax_bag::CompressedImage, std::string>> cases = {
      {cut_png, "not a readable PNG or JPEG"},
      {short_header, "shorter than its 12-byte header"},
      {compressed("8UC1; compressedDepth png", depth_mm, depth_header(0, 0)),
       "\"8UC1\" is not supported"},
      {compressed("bgr8; tiff compressed bgr8", depth_mm),
       "\"bgr8; tiff compressed bgr8\" is not supported"},
  };
  for (const auto & [image, expected] : cases) {
    SCOPED_TRACE(expected);
    try {
      veltrax_bag::decode_compressed_pixels(image, "/camera/image/compressed at 5 ns");
      ADD_FAILURE() << "decoded without complaint";
    } catch (const BagError & error) {
      const std::string text = error.what();
      EXPECT_NE(text.find("/camera/image/compressed at 5 ns: "), std::string::npos) << text;
      EXPECT_NE(text.find(expected), std::string::npos) << text;
    }
  }
}

}  // namespace
