// bag_info DIR [--json]: what `ros2 bag info` prints about a rosbag2 bag directory, without
// ROS 2; counts come from the storage files, not from metadata.yaml.
#include <cstring>
#include <iostream>

#include "bag/bag_summary.hpp"

int main(int argc, char ** argv)
{
  const bool json = argc == 3 && std::strcmp(argv[2], "--json") == 0;
  if (argc != 2 && !json) {
    std::cerr << "usage: bag_info BAG_DIRECTORY [--json]\n";
    return 2;
  }
  try {
    veltrax_bag::BagReader bag(argv[1]);
    const veltrax_bag::BagSummary summary = veltrax_bag::summarize(bag);
    std::cout << (json ? veltrax_bag::summary_json(summary) : veltrax_bag::summary_text(summary));
  } catch (const veltrax_bag::BagError & error) {
    std::cerr << "bag_info: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
