// The bag directory reader against recordings written by ROS 2's own recorder, hand-built MCAP
// files, and damaged copies of each.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>
#include <zstd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bag/bag_summary.hpp"
#include "bag/cdr_writer.hpp"
#include "bag/mcap_reader.hpp"
#include "bag/ros_messages.hpp"
#include "bag/rosbag_reader.hpp"
#include "support/bag_test_support.hpp"

namespace
{

namespace fs = std::filesystem;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using veltrax_bag::BagReader;
using veltrax_bag::CdrWriter;
using namespace veltrax_bag_test;

const fs::path kRecordings = BAG_TEST_DATA_DIR;

Bytes read_bytes(const fs::path & path)
{
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path & path, const Bytes & bytes)
{
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes zstd_compress(const Bytes & raw)
{
  Bytes out(ZSTD_compressBound(raw.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), 3));
  return out;
}

// The text of the BagError opening and reading the whole bag throws.
std::string read_error(const fs::path & directory)
{
  return bag_error_text([&] {
    BagReader bag(directory);
    veltrax_bag::read_all_messages(bag);
  });
}

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

// Records of one std_msgs/String channel (id 7): its schema and channel unless `declared`
// elsewhere, then a message per (time, payload).
Bytes string_topic_records(const std::vector<std::pair<std::uint64_t, Bytes>> & messages,
                           bool declared = false)
{
  McapBytes out;
  if (!declared) {
    out.record(0x03, McapBytes().u16(1).str("std_msgs/msg/String").str("ros2msg").str("").bytes);
    const Bytes qos = McapBytes().str("offered_qos_profiles").str("- depth: 10").bytes;
    McapBytes channel;
    channel.u16(7).u16(1).str("/chatter").str("cdr");
    out.record(0x04, channel.u32(static_cast<std::uint32_t>(qos.size())).append(qos).bytes);
  }
  for (const auto & [time_ns, payload] : messages) {
    out.record(0x05, McapBytes().u16(7).u32(0).u64(time_ns).u64(time_ns).append(payload).bytes);
  }
  return out.bytes;
}

Bytes chunk_record(const Bytes & records, const std::string & compression)
{
  const Bytes stored = compression == "zstd" ? zstd_compress(records) : records;
  McapBytes chunk;
  chunk.u64(0).u64(0).u64(records.size()).u32(veltrax_bag::crc32(view(records)));
  chunk.str(compression).u64(stored.size()).append(stored);
  return McapBytes().record(0x06, chunk.bytes).bytes;
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
      EXPECT_EQ(found["count"], entry["message_count"].as<std::uint64_t>());
      const auto declared = std::find_if(bag.topics().begin(), bag.topics().end(),
                                         [&](const auto & t) { return t.name == found["name"]; });
      ASSERT_NE(declared, bag.topics().end());
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

TEST(BagReader, ReadsAWholeFileCompressedSqliteBag)
{
  ScratchDirectory scratch;
  const Bytes database = read_bytes(kRecordings / "sqlite3/talker/talker.db3");
  write_bytes(scratch.path() / "talker.db3.zstd", zstd_compress(database));
  write_metadata(scratch.path(), "sqlite3", {"talker.db3.zstd"}, "FILE");
  BagReader bag(scratch.path());
  EXPECT_EQ(veltrax_bag::read_all_messages(bag).size(), 20U);
}

TEST(BagReader, MergesSplitFilesInTimeOrderThroughEveryChunkKind)
{
  const auto hello = [](int n) {
    return zstd_compress(CdrWriter().string("hello " + std::to_string(n)).bytes());
  };
  // Per-message compression; the two files overlap in time. The first has two zstd chunks
  // whose times interleave, so reading in time order goes back to a chunk already left; the
  // second has unchunked records and an uncompressed chunk.
  ScratchDirectory scratch;
  McapBytes first;
  first.append(chunk_record(string_topic_records({{10, hello(0)}, {30, hello(3)}}), "zstd"));
  first.append(chunk_record(string_topic_records({{25, hello(2)}}, true), "zstd"));
  write_bytes(scratch.path() / "bag_0.mcap", mcap_file(first.bytes));
  McapBytes second;
  second.append(string_topic_records({{20, hello(1)}}));
  second.append(chunk_record(string_topic_records({{40, hello(4)}}, true), ""));
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

// Each case damages a copy of a recording and expects a BagError whose text names the file
// and says what is wrong.
TEST(BagReader, RefusesDamagedRecordingsNamingFileAndFault)
{
  struct Case
  {
    const char * name;
    const char * storage;
    std::string compression_mode;
    std::string expected;  // a regular expression
    std::function<void(Bytes &)> damage;
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
      {"mcap truncated", "mcap", "", "talker.mcap: offset [0-9]+: .*runs past the end",
       [](Bytes & b) { b.resize(b.size() / 2); }},
      {"mcap without its footer", "mcap", "", "talker.mcap.*without a footer",
       [](Bytes & b) { b.resize(b.size() - 8 - 29); }},
      {"mcap wrong magic", "mcap", "", "talker.mcap: offset 0: .*wrong magic",
       [](Bytes & b) { b[1] = 'X'; }},
      {"mcap chunk larger than it declares", "mcap", "",
       "talker.mcap: zstd chunk at offset .*decompresses to more than 100 bytes",
       [&](Bytes & b) {
         std::fill_n(b.begin() + kChunkCrcOffset - 8, 8, 0);
         b[kChunkCrcOffset - 8] = 100;
       }},
      {"mcap chunk CRC", "mcap", "", "talker.mcap: offset [0-9]+: .*CRC mismatch",
       [&](Bytes & b) { b[kChunkCrcOffset] ^= 0xFF; }},
      {"mcap lz4 chunk", "mcap", "", "talker.mcap: offset [0-9]+: .*lz4!.*only zstd or none",
       [&](Bytes & b) {
         replace(b, std::string("\4\0\0\0zstd", 8), std::string("\4\0\0\0lz4!", 8));
       }},
      // The chunk's records start after magic (8), the header record (9 + 16), the chunk's
      // opcode and length (9) and its fields (44); the message's content after its opcode and
      // length.
      {"mcap message inside a chunk before its channel", "mcap", "",
       "talker.mcap: zstd chunk at offset 86, decompressed: offset 9: message on channel 7 "
       "before that channel is defined",
       [](Bytes & b) {
         b = mcap_file(chunk_record(string_topic_records({{1, {}}}, true), "zstd"));
       }},
      // Found by fuzz_mcap: such a message was given out first, with a negative time.
      {"mcap log time beyond the signed range", "mcap", "",
       "talker.mcap: offset [0-9]+: .*log time 9223372036854775808 ns lies beyond the year 2262",
       [](Bytes & b) {
         b = mcap_file(
             string_topic_records({{10, CdrWriter().string("a").bytes()},
                                   {std::uint64_t{1} << 63, CdrWriter().string("b").bytes()}}));
       }},
      {"sqlite wrong magic", "sqlite3", "", "talker.db3: sqlite3:.*not a database",
       [](Bytes & b) { b[0] = 'X'; }},
      {"sqlite missing table", "sqlite3", "", "talker.db3: sqlite3:.*messages",
       [&](Bytes & b) { replace(b, "TABLE messages(", "TABLE messagez("); }},
      {"zstd file cut short", "sqlite3", "FILE",
       "talker.db3: offset [0-9]+: .*zstd stream is truncated",
       [](Bytes & b) {
         b = zstd_compress(b);
         b.resize(b.size() - 10);
       }},
      {"plain file where zstd is declared", "sqlite3", "FILE", "talker.db3: offset [0-9]+: .*zstd",
       [](Bytes &) {}},
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
    EXPECT_THAT(read_error(scratch.path()), ContainsRegex(c.expected));
  }
}

TEST(BagReader, RefusesASqliteFileWithAnUncheckpointedWriteAheadLog)
{
  ScratchDirectory scratch;
  fs::copy(kRecordings / "sqlite3/talker", scratch.path(), fs::copy_options::recursive);
  write_bytes(scratch.path() / "talker.db3-wal", Bytes(32, 1));
  EXPECT_THAT(read_error(scratch.path()), HasSubstr("talker.db3-wal: holds messages"));
}

TEST(BagReader, RefusesMetadataWithMissingKeysOldVersionsOrBrokenYamlNamingTheFile)
{
  // Name, metadata.yaml, what the refusal says.
  const std::vector<std::tuple<const char *, std::string, std::string>> cases = {
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
  for (const auto & [name, text, expected] : cases) {
    SCOPED_TRACE(name);
    ScratchDirectory scratch;
    std::ofstream(scratch.path() / "metadata.yaml") << text;
    EXPECT_THAT(read_error(scratch.path()), ContainsRegex("metadata.yaml: .*" + expected));
  }
}

}  // namespace
