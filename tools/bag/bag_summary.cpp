#include "bag/bag_summary.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>

namespace veltrax_bag
{
namespace
{

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

std::string utc_time(std::int64_t time_ns)
{
  const std::time_t seconds = static_cast<std::time_t>(time_ns / kNanosecondsPerSecond);
  std::tm calendar{};
  gmtime_r(&seconds, &calendar);
  char date[32];
  std::strftime(date, sizeof(date), "%b %e %Y %H:%M:%S", &calendar);
  char text[96];
  std::snprintf(text, sizeof(text), "%s.%03lld UTC (%lld.%09lld)", date,
                static_cast<long long>(time_ns % kNanosecondsPerSecond / 1000000),
                static_cast<long long>(seconds),
                static_cast<long long>(time_ns % kNanosecondsPerSecond));
  return text;
}

// Sizes as ros2 bag info prints them: one decimal and a binary unit.
std::string human_size(std::uint64_t bytes)
{
  const char * units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double size = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (size >= 1024.0 && unit + 1 < std::size(units)) {
    size /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", size, units[unit]);
  return text;
}

}  // namespace

BagSummary summarize(BagReader & bag)
{
  BagSummary summary;
  summary.storage = bag.metadata().storage_identifier;
  summary.files = bag.metadata().relative_file_paths;
  for (const std::string & file : summary.files) {
    summary.bag_size_bytes += std::filesystem::file_size(bag.directory() / file);
  }
  std::map<std::string, std::uint64_t> counts;
  BagMessage message;
  std::int64_t end_ns = 0;
  while (bag.read_next(message)) {
    // Messages come in receive-time order.
    if (summary.message_count == 0) {
      summary.start_ns = message.receive_time_ns;
    }
    end_ns = message.receive_time_ns;
    ++summary.message_count;
    ++counts[message.topic];
  }
  summary.duration_ns = summary.message_count == 0 ? 0 : end_ns - summary.start_ns;
  for (const TopicInfo & topic : bag.topics()) {
    summary.topics.push_back(
        {topic.name, topic.type, counts[topic.name], topic.serialization_format});
  }
  return summary;
}

std::string summary_json(const BagSummary & summary)
{
  nlohmann::json topics = nlohmann::json::array();
  for (const TopicSummary & topic : summary.topics) {
    topics.push_back({{"name", topic.name},
                      {"type", topic.type},
                      {"count", topic.count},
                      {"serialization_format", topic.serialization_format}});
  }
  const nlohmann::json document = {{"storage", summary.storage},
                                   {"duration_ns", summary.duration_ns},
                                   {"start_ns", summary.start_ns},
                                   {"message_count", summary.message_count},
                                   {"topics", topics}};
  return document.dump(2) + "\n";
}

std::string summary_text(const BagSummary & summary)
{
  std::ostringstream out;
  const char * indent = "                   ";
  out << "\nFiles:             ";
  for (std::size_t i = 0; i < summary.files.size(); ++i) {
    out << (i == 0 ? "" : indent) << summary.files[i] << "\n";
  }
  char duration[32];
  std::snprintf(duration, sizeof(duration), "%.3fs",
                static_cast<double>(summary.duration_ns) / kNanosecondsPerSecond);
  out << "Bag size:          " << human_size(summary.bag_size_bytes) << "\n";
  out << "Storage id:        " << summary.storage << "\n"
      << "Duration:          " << duration << "\n"
      << "Start:             " << utc_time(summary.start_ns) << "\n"
      << "End:               " << utc_time(summary.start_ns + summary.duration_ns) << "\n"
      << "Messages:          " << summary.message_count << "\n"
      << "Topic information: ";
  for (std::size_t i = 0; i < summary.topics.size(); ++i) {
    const TopicSummary & topic = summary.topics[i];
    out << (i == 0 ? "" : indent) << "Topic: " << topic.name << " | Type: " << topic.type
        << " | Count: " << topic.count << " | Serialization Format: " << topic.serialization_format
        << "\n";
  }
  if (summary.topics.empty()) {
    out << "\n";
  }
  return out.str();
}

}  // namespace veltrax_bag
