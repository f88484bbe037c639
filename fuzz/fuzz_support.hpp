// Helpers shared by the fuzz targets: drawing values from the input and reporting findings.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz_support
{

/// Any bit pattern: NaN, infinities and denormals included.
inline float raw_float(FuzzedDataProvider & fdp)
{
  const auto bits = fdp.ConsumeIntegral<uint32_t>();
  float v = 0.0f;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

/// A float in [lo, hi], or any bit pattern when `wide`.
inline float pick_float(FuzzedDataProvider & fdp, bool wide, float lo, float hi)
{
  return wide ? raw_float(fdp) : fdp.ConsumeFloatingPointInRange<float>(lo, hi);
}

/// An int in [lo, hi], or any int when `wide`.
inline int32_t pick_int(FuzzedDataProvider & fdp, bool wide, int32_t lo, int32_t hi)
{
  return wide ? fdp.ConsumeIntegral<int32_t>() : fdp.ConsumeIntegralInRange<int32_t>(lo, hi);
}

/// A broken invariant is a finding: name it, then abort so libFuzzer keeps the input.
inline void check(bool condition, const char * what)
{
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace fuzz_support
