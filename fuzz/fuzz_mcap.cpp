// Arbitrary bytes as an MCAP storage file: opening indexes it, then every message is read in
// time order. Either all goes through with messages in non-decreasing time on declared topics,
// or a BagError names the fault; any other exception, a crash or a sanitizer report is a
// finding.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bag/mcap_reader.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t * data, std::size_t size)
{
  try {
    const std::unique_ptr<veltrax_bag::StorageFile> storage = veltrax_bag::open_mcap_storage(
        veltrax_bag::FileBytes(std::vector<std::uint8_t>(data, data + size)), "fuzz.mcap");
    veltrax_bag::BagMessage message;
    std::int64_t previous_ns = std::numeric_limits<std::int64_t>::min();
    while (storage->next(message)) {
      fuzz_support::check(message.receive_time_ns >= previous_ns, "messages come in time order");
      previous_ns = message.receive_time_ns;
      const auto & topics = storage->topics();
      fuzz_support::check(
          std::any_of(topics.begin(), topics.end(),
                      [&](const veltrax_bag::TopicInfo & t) { return t.name == message.topic; }),
          "a message's topic is declared");
    }
  } catch (const veltrax_bag::BagError &) {
  }
  return 0;
}
