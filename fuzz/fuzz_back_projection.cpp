// Back-projection of random depth buffers: image geometry, encodings, buffer lengths and
// alignment, rectangles, intrinsics and leaf sizes from the input. Refusals leave the cloud
// empty; every point produced is finite.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.hpp"
#include "veltrax_cv_model/back_projection.hpp"

namespace vcm = veltrax_cv_model;

namespace
{

using fuzz_support::check;
using fuzz_support::pick_float;
using fuzz_support::pick_int;
using fuzz_support::raw_float;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, std::size_t size)
{
  FuzzedDataProvider fdp(data, size);
  const bool wide = fdp.ConsumeBool();

  vcm::DepthImageView depth;
  depth.width = pick_int(fdp, wide, 0, 48);
  depth.height = pick_int(fdp, wide, 0, 48);
  const int row_length = fdp.ConsumeBool() ? depth.width : pick_int(fdp, wide, -1, 50);
  depth.row_step_bytes = fdp.ConsumeBool()
                             ? 2 * static_cast<std::size_t>(static_cast<unsigned>(depth.width))
                             : fdp.ConsumeIntegral<std::size_t>();
  static const char * const kEncodings[] = {"16UC1", "mono16", "8UC1", "32FC1", "", "16UC1 "};
  const std::string encoding = fdp.ConsumeBool() ? std::string(fdp.PickValueInArray(kEncodings))
                                                 : fdp.ConsumeRandomLengthString(8);
  depth.encoding = encoding;

  vcm::PixelRect rect;
  rect.left = pick_int(fdp, wide, -2, 50);
  rect.right = pick_int(fdp, wide, -2, 50);
  rect.top = pick_int(fdp, wide, -2, 50);
  rect.bottom = pick_int(fdp, wide, -2, 50);

  vcm::CameraIntrinsics intrinsics;
  intrinsics.fx = pick_float(fdp, wide, -600.0f, 600.0f);
  intrinsics.fy = pick_float(fdp, wide, -600.0f, 600.0f);
  intrinsics.cx = pick_float(fdp, wide, -100.0f, 100.0f);
  intrinsics.cy = pick_float(fdp, wide, -100.0f, 100.0f);
  const float leaf_size_m = pick_float(fdp, wide, 0.0f, 0.5f);

  // The buffer is exactly as long as claimed, so ASan catches any read past it; an odd start
  // address exercises the unaligned 16-bit reads.
  const bool unaligned = fdp.ConsumeBool();
  const std::size_t length =
      fdp.ConsumeBool() && depth.width > 0 && depth.height > 0 && depth.width <= 256 &&
              depth.height <= 256
          ? 2 * static_cast<std::size_t>(depth.width) * static_cast<std::size_t>(depth.height) -
                fdp.ConsumeIntegralInRange<std::size_t>(0, 1)
          : fdp.ConsumeIntegralInRange<std::size_t>(0, 8192);
  std::unique_ptr<uint8_t[]> storage(new uint8_t[length + 1]);
  for (std::size_t i = 0; i < length; ++i) {
    storage[i + (unaligned ? 1 : 0)] = fdp.ConsumeIntegral<uint8_t>();
  }
  depth.data = storage.get() + (unaligned ? 1 : 0);
  depth.size_bytes = length;
  if (fdp.ConsumeBool()) {
    depth.data = nullptr;
  }

  pcl::PointCloud<pcl::PointXYZ> cloud;
  cloud.push_back(pcl::PointXYZ(1.0f, 2.0f, 3.0f));
  const vcm::BackProjectionResult result =
      vcm::back_project_depth(depth, row_length, rect, intrinsics, leaf_size_m, cloud);

  check(vcm::to_string(result.status) != nullptr, "vcm::to_string(result.status) != nullptr");
  check(cloud.height == 1 && cloud.width == cloud.size(),
        "cloud.height == 1 && cloud.width == cloud.size()");
  if (result.status != vcm::BackProjectionStatus::kOk) {
    check(cloud.empty(), "cloud.empty()");
    return 0;
  }
  const auto area = static_cast<std::size_t>(rect.right - rect.left) *
                    static_cast<std::size_t>(rect.bottom - rect.top);
  check(result.working_points <= area, "result.working_points <= area");
  check(cloud.size() <= area, "cloud.size() <= area");
  for (const pcl::PointXYZ & p : cloud) {
    check(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z),
          "std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)");
    // No point without a depth reading: nothing at (or behind) the camera's centre.
    check(p.z > 0.0f && p.z < vcm::kFarDepthLimitM + 1.0f,
          "p.z > 0.0f && p.z < vcm::kFarDepthLimitM + 1.0f");
  }
  return 0;
}
