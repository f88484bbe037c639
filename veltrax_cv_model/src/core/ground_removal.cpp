#include "veltrax_cv_model/ground_removal.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace veltrax_cv_model
{
namespace
{

constexpr double kPi = 3.14159265358979323846;
constexpr float kBinWidth = static_cast<float>(kGroundBinWidthM);
// Quantile of a cell's candidate heights taken as the bottom of its ground layer: low enough to
// sit under objects standing in the cell, high enough to ignore a few points below the floor.
constexpr double kLowQuantile = 0.1;
// A sector needs this many accepted samples to own a line; one sample fixes no slope.
constexpr int kMinSamples = 2;
// Sectors farther than this (each 5 degrees) do not lend their profile.
constexpr int kBorrowReach = 3;
// Two samples closer in range than this define no slope worth trusting, metres.
constexpr float kMinSlopeBaseM = 0.5f * kBinWidth;
// Pairs are drawn from at most about this many samples per sector.
constexpr std::size_t kMaxPairSamples = 64;
// Upper bound on smoothing taps either side of a bin.
constexpr int kMaxHalfTaps = 50;

double finite_or(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

int sector_of(float x, float y)
{
  const double angle = std::atan2(static_cast<double>(y), static_cast<double>(x));  // [-pi, pi]
  const int sector = static_cast<int>((angle + kPi) / (2.0 * kPi) * kGroundSectorCount);
  return std::clamp(sector, 0, kGroundSectorCount - 1);
}

struct Sample
{
  int bin;
  float r;
  float z;
};

struct Line
{
  float a{0.0f};  // height at the robot origin
  float b{0.0f};  // slope along range
  float at(float r) const { return a + b * r; }
};

// Line through two samples, or none when their ranges are too close to fix a slope.
bool line_through(float r0, float z0, float r1, float z1, Line & line)
{
  if (std::fabs(r1 - r0) < kMinSlopeBaseM) {
    return false;
  }
  line.b = (z1 - z0) / (r1 - r0);
  line.a = z0 - line.b * r0;
  return true;
}

// Hypothesis search over sample pairs, every sample with the robot origin (the robot stands on
// the floor it sees) and the flat prior: the line with the most samples within `tol`, ties to
// the smaller residual sum. A 5 m sector holds at most 50 samples, so trying every pair is cheap
// and needs no random sampling; longer ranges thin the pairs to keep the cost bounded.
Line robust_line(const std::vector<Sample> & samples, float tol)
{
  Line best;
  int best_count = -1;
  double best_cost = std::numeric_limits<double>::infinity();
  const auto consider = [&](const Line & line) {
    int count = 0;
    double cost = 0.0;
    for (const Sample & s : samples) {
      const float residual = std::fabs(s.z - line.at(s.r));
      if (residual <= tol) {
        ++count;
        cost += residual;
      }
    }
    if (count > best_count || (count == best_count && cost < best_cost)) {
      best = line;
      best_count = count;
      best_cost = cost;
    }
  };
  consider(Line{});
  Line line;
  const std::size_t stride = samples.size() / kMaxPairSamples + 1;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (line_through(0.0f, 0.0f, samples[i].r, samples[i].z, line)) {
      consider(line);
    }
    if (i % stride != 0) {
      continue;
    }
    for (std::size_t j = i + stride; j < samples.size(); j += stride) {
      if (line_through(samples[i].r, samples[i].z, samples[j].r, samples[j].z, line)) {
        consider(line);
      }
    }
  }
  return best;
}

// Least-squares line through the samples; flat through their mean height when their ranges
// are too close together to fix a slope.
Line fit_line(const std::vector<Sample> & samples)
{
  double sr = 0.0, sz = 0.0;
  for (const Sample & s : samples) {
    sr += s.r;
    sz += s.z;
  }
  const double n = static_cast<double>(samples.size());
  const double mr = sr / n;
  const double mz = sz / n;
  double srr = 0.0, srz = 0.0;
  float r_lo = samples.front().r, r_hi = samples.front().r;
  for (const Sample & s : samples) {
    srr += (s.r - mr) * (s.r - mr);
    srz += (s.r - mr) * (s.z - mz);
    r_lo = std::min(r_lo, s.r);
    r_hi = std::max(r_hi, s.r);
  }
  Line line;
  if (r_hi - r_lo < kMinSlopeBaseM || !(srr > 0.0)) {
    line.a = static_cast<float>(mz);
    return line;
  }
  line.b = static_cast<float>(srz / srr);
  line.a = static_cast<float>(mz - line.b * mr);
  return line;
}

}  // namespace

template <typename PointT>
GroundRemoval<PointT>::GroundRemoval(double rMin, double rMax, double tHmin, double tHmax,
                                     double tHDiff, double tSDiff, double hSensor, double thres,
                                     double gauss_sigma, int gauss_samples)
{
  // Non-finite settings degrade to "no grid" or "no smoothing", never to UB in the binning.
  params_.rMin = std::max(0.0, finite_or(rMin, 0.0));
  params_.rMax = std::min(kGroundMaxRangeM, finite_or(rMax, 0.0));
  params_.tHmin = finite_or(tHmin, 0.0);
  params_.tHmax = finite_or(tHmax, 0.0);
  params_.tHDiff = finite_or(tHDiff, 0.0);
  params_.tSDiff = finite_or(tSDiff, 0.0);
  params_.hSensor = finite_or(hSensor, params_.tHmax);
  params_.thres = finite_or(thres, 0.0);
  params_.gauss_sigma = finite_or(gauss_sigma, 0.0);
  params_.gauss_samples = gauss_samples;

  bin_count_ =
      params_.rMax > 0.0 ? static_cast<int>(std::ceil(params_.rMax / kGroundBinWidthM)) : 0;
  band_low_ = static_cast<float>(params_.tHmin);
  band_high_ = static_cast<float>(std::min(params_.tHmax, params_.hSensor));
  profile_.assign(static_cast<std::size_t>(kGroundSectorCount) * bin_count_, 0.0f);
}

template <typename PointT>
GroundRemoval<PointT>::GroundRemoval(const GroundRemovalParams & p)
    : GroundRemoval(p.rMin, p.rMax, p.tHmin, p.tHmax, p.tHDiff, p.tSDiff, p.hSensor, p.thres,
                    p.gauss_sigma, p.gauss_samples)
{
}

template <typename PointT>
void GroundRemoval<PointT>::set_input_cloud(const Cloud & scene)
{
  std::fill(profile_.begin(), profile_.end(), 0.0f);
  own_model_sectors_ = 0;
  if (bin_count_ == 0) {
    return;
  }
  const std::size_t cell_count = profile_.size();
  const float r_min = static_cast<float>(params_.rMin);
  const float r_max = static_cast<float>(params_.rMax);
  const float layer = static_cast<float>(params_.tHDiff);
  const float tol = static_cast<float>(params_.thres);
  const float slope_tol = static_cast<float>(params_.tSDiff);

  // Bucket the candidates by cell (counting sort keeps this linear in the scene size).
  struct Candidate
  {
    std::size_t cell;
    float r;
    float z;
  };
  std::vector<Candidate> candidates;
  candidates.reserve(scene.size());
  std::vector<std::size_t> cell_start(cell_count + 1, 0);
  for (const PointT & p : scene.points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
      continue;
    }
    if (!(p.z >= band_low_ && p.z <= band_high_)) {
      continue;
    }
    const float r = std::hypot(p.x, p.y);
    if (r < r_min || r > r_max) {
      continue;
    }
    const int bin = std::min(static_cast<int>(r / kBinWidth), bin_count_ - 1);
    const std::size_t cell =
        static_cast<std::size_t>(sector_of(p.x, p.y)) * bin_count_ + static_cast<std::size_t>(bin);
    candidates.push_back({cell, r, p.z});
    ++cell_start[cell + 1];
  }
  for (std::size_t c = 0; c < cell_count; ++c) {
    cell_start[c + 1] += cell_start[c];
  }
  std::vector<float> r_sorted(candidates.size());
  std::vector<float> z_sorted(candidates.size());
  {
    std::vector<std::size_t> fill(cell_start.begin(), cell_start.end() - 1);
    for (const Candidate & c : candidates) {
      const std::size_t at = fill[c.cell]++;
      r_sorted[at] = c.r;
      z_sorted[at] = c.z;
    }
  }

  const int half_taps = (params_.gauss_samples > 1 && params_.gauss_sigma > 0.0)
                            ? std::min(params_.gauss_samples / 2, kMaxHalfTaps)
                            : 0;
  std::vector<float> weights(static_cast<std::size_t>(half_taps) + 1, 1.0f);
  for (int t = 1; t <= half_taps; ++t) {
    const double offset = t * kGroundBinWidthM;
    weights[static_cast<std::size_t>(t)] = static_cast<float>(
        std::exp(-offset * offset / (2.0 * params_.gauss_sigma * params_.gauss_sigma)));
  }

  std::vector<bool> own(kGroundSectorCount, false);
  std::vector<Sample> samples;
  std::vector<Sample> inliers;
  std::vector<float> layer_z;
  std::vector<float> residual(static_cast<std::size_t>(bin_count_));
  std::vector<bool> accepted(static_cast<std::size_t>(bin_count_));
  for (int sector = 0; sector < kGroundSectorCount; ++sector) {
    samples.clear();
    for (int bin = 0; bin < bin_count_; ++bin) {
      const std::size_t cell = static_cast<std::size_t>(sector) * bin_count_ + bin;
      const std::size_t begin = cell_start[cell];
      const std::size_t end = cell_start[cell + 1];
      if (begin == end) {
        continue;
      }
      layer_z.assign(z_sorted.begin() + static_cast<std::ptrdiff_t>(begin),
                     z_sorted.begin() + static_cast<std::ptrdiff_t>(end));
      const auto q = layer_z.begin() + static_cast<std::ptrdiff_t>(
                                           kLowQuantile * static_cast<double>(end - begin - 1));
      std::nth_element(layer_z.begin(), q, layer_z.end());
      const float top = *q + layer;
      double sum_r = 0.0, sum_z = 0.0;
      int n = 0;
      for (std::size_t i = begin; i < end; ++i) {
        if (z_sorted[i] >= *q && z_sorted[i] <= top) {
          sum_r += r_sorted[i];
          sum_z += z_sorted[i];
          ++n;
        }
      }
      if (n > 0) {
        samples.push_back({bin, static_cast<float>(sum_r / n), static_cast<float>(sum_z / n)});
      }
    }
    if (static_cast<int>(samples.size()) < kMinSamples) {
      continue;
    }

    Line line = robust_line(samples, tol);
    inliers.clear();
    for (const Sample & s : samples) {
      if (std::fabs(s.z - line.at(s.r)) <= tol) {
        inliers.push_back(s);
      }
    }
    if (static_cast<int>(inliers.size()) < kMinSamples) {
      continue;
    }
    line = fit_line(inliers);

    // Keep a sample when it joins a neighbouring inlier at close to the sector's ground slope.
    // Samples come in bin order, so t lies farther out than s.
    const auto joins = [&](const Sample & s, const Sample & t) {
      const float run = std::max(t.r - s.r, kMinSlopeBaseM);
      return std::fabs((t.z - s.z) / run - line.b) <= slope_tol;
    };
    std::fill(accepted.begin(), accepted.end(), false);
    int accepted_count = 0;
    for (std::size_t i = 0; i < inliers.size(); ++i) {
      const bool prev_ok = i > 0 && joins(inliers[i - 1], inliers[i]);
      const bool next_ok = i + 1 < inliers.size() && joins(inliers[i], inliers[i + 1]);
      if (prev_ok || next_ok) {
        const auto bin = static_cast<std::size_t>(inliers[i].bin);
        accepted[bin] = true;
        residual[bin] = inliers[i].z - line.at(inliers[i].r);
        ++accepted_count;
      }
    }
    if (accepted_count < kMinSamples) {
      continue;
    }

    own[static_cast<std::size_t>(sector)] = true;
    ++own_model_sectors_;
    float * row = profile_.data() + static_cast<std::size_t>(sector) * bin_count_;
    for (int bin = 0; bin < bin_count_; ++bin) {
      double weighted = 0.0, weight_sum = 0.0;
      for (int t = -half_taps; t <= half_taps; ++t) {
        const int other = bin + t;
        if (other < 0 || other >= bin_count_ || !accepted[static_cast<std::size_t>(other)]) {
          continue;
        }
        const double w = weights[static_cast<std::size_t>(std::abs(t))];
        weighted += w * residual[static_cast<std::size_t>(other)];
        weight_sum += w;
      }
      const float centre = (static_cast<float>(bin) + 0.5f) * kBinWidth;
      float height = line.at(centre);
      if (weight_sum > 0.0) {
        height += static_cast<float>(weighted / weight_sum);
      }
      row[bin] = std::clamp(height, band_low_, std::max(band_low_, band_high_));
    }
  }

  // Sectors without samples of their own (edges of the field of view, occluded wedges) take
  // the nearest neighbour's profile; a scene with no ground at all keeps the flat prior.
  for (int sector = 0; sector < kGroundSectorCount; ++sector) {
    if (own[static_cast<std::size_t>(sector)]) {
      continue;
    }
    for (int d = 1; d <= kBorrowReach; ++d) {
      int donor = -1;
      for (const int candidate : {sector - d, sector + d}) {
        const int wrapped = (candidate + kGroundSectorCount) % kGroundSectorCount;
        if (own[static_cast<std::size_t>(wrapped)]) {
          donor = wrapped;
          break;
        }
      }
      if (donor >= 0) {
        std::copy_n(profile_.begin() + static_cast<std::ptrdiff_t>(donor) * bin_count_, bin_count_,
                    profile_.begin() + static_cast<std::ptrdiff_t>(sector) * bin_count_);
        break;
      }
    }
  }
}

template <typename PointT>
float GroundRemoval<PointT>::ground_height_at(float x, float y) const
{
  if (bin_count_ == 0 || !std::isfinite(x) || !std::isfinite(y)) {
    return 0.0f;
  }
  const float * row = profile_.data() + static_cast<std::size_t>(sector_of(x, y)) * bin_count_;
  const float t = std::hypot(x, y) / kBinWidth - 0.5f;
  if (!(t > 0.0f)) {
    return row[0];
  }
  if (t >= static_cast<float>(bin_count_ - 1)) {
    return row[bin_count_ - 1];
  }
  const int lo = static_cast<int>(t);
  const float frac = t - static_cast<float>(lo);
  return row[lo] + frac * (row[lo + 1] - row[lo]);
}

template <typename PointT>
void GroundRemoval<PointT>::groundRemove(const Cloud & input, std::shared_ptr<Cloud> non_ground_out,
                                         std::shared_ptr<Cloud> ground_out) const
{
  // Filled locally so that an output sharing its owner with the other never sees half a result.
  Cloud non_ground;
  Cloud ground;
  non_ground.header = input.header;
  ground.header = input.header;
  const float tolerance = static_cast<float>(params_.tHDiff);
  for (const PointT & p : input.points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
      continue;
    }
    if (p.z - ground_height_at(p.x, p.y) <= tolerance) {
      ground.points.push_back(p);
    } else {
      non_ground.points.push_back(p);
    }
  }
  for (Cloud * cloud : {&non_ground, &ground}) {
    cloud->width = static_cast<std::uint32_t>(cloud->points.size());
    cloud->height = 1;
    cloud->is_dense = true;
  }
  if (non_ground_out) {
    *non_ground_out = std::move(non_ground);
  }
  if (ground_out) {
    *ground_out = std::move(ground);
  }
}

template class GroundRemoval<pcl::PointXYZ>;

}  // namespace veltrax_cv_model
