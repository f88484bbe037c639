#include "veltrax_cv_model/ground_removal.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
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
// Floor levelling: refits of the plane, the cell samples it needs, and its steepest slope (10
// degrees: far beyond a mounting error, well short of a wall).
constexpr int kLevelRounds = 3;
constexpr double kMinLevelSamples = 10.0;
constexpr float kMaxLevelSlope = 0.1763f;

double finite_or(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

int exact_sector_of(double x, double y)
{
  const double angle = std::atan2(y, x);  // [-pi, pi]
  const int sector = static_cast<int>((angle + kPi) / (2.0 * kPi) * kGroundSectorCount);
  return std::clamp(sector, 0, kGroundSectorCount - 1);
}

// A monotone stand-in for the angle of (u, v) in [0, 2 pi): [0, 4), one unit per quadrant,
// one division instead of an arc tangent.
double diamond_angle(double u, double v)
{
  if (v >= 0.0) {
    return u >= 0.0 ? v / (u + v) : 1.0 - u / (v - u);
  }
  return u < 0.0 ? 2.0 - v / (-u - v) : 3.0 + u / (u - v);
}

// Sector k holds the angles of (-x, -y) in [k, k + 1) * 5 degrees; its bounds as diamond angles,
// and per 1/64 of a diamond unit the first sector reaching into it (a sector spans more than
// 1/64, so at most one bound falls in each slice).
struct SectorTable
{
  static constexpr int kSlices = 256;
  std::array<double, kGroundSectorCount + 1> bound{};
  std::array<std::uint8_t, kSlices> first{};

  SectorTable()
  {
    for (int k = 0; k < kGroundSectorCount; ++k) {
      const double angle = 2.0 * kPi * k / kGroundSectorCount;
      bound[static_cast<std::size_t>(k)] = diamond_angle(std::cos(angle), std::sin(angle));
    }
    bound[0] = 0.0;
    bound[kGroundSectorCount] = 4.0;
    int k = 0;
    for (int slice = 0; slice < kSlices; ++slice) {
      while (bound[static_cast<std::size_t>(k) + 1] <= slice / 64.0) {
        ++k;
      }
      first[static_cast<std::size_t>(slice)] = static_cast<std::uint8_t>(k);
    }
  }
};
const SectorTable kSectorTable;

// hypot(x, y) for finite input, as glibc's hypotf computes it (squares and sum in double, where
// the squares are exact), without the library call.
float horizontal_range(float x, float y)
{
  const double xd = x;
  const double yd = y;
  return static_cast<float>(std::sqrt(xd * xd + yd * yd));
}

struct Sample
{
  int bin;
  float r;
  float z;
};

// The lowest-layer mean of one cell's candidates; z relative to the floor plane in use.
struct CellSample
{
  float x;
  float y;
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

// Least-squares plane z = c + gx x + gy y through the cell samples within `tol` of the previous
// estimate, starting from the flat floor z = 0 and refitted a few times so that samples of
// objects drop out. Stays flat when too few samples support it or when it leans more than
// kMaxLevelSlope (that is no mounting error but a wall or a ramp).
FloorPlane fit_floor_plane(const std::vector<CellSample> & samples, float tol)
{
  FloorPlane plane;
  for (int round = 0; round < kLevelRounds; ++round) {
    // Normal equations of [1 x y] . (c, gx, gy) = z, accumulated about the samples' mean.
    double n = 0.0, mx = 0.0, my = 0.0, mz = 0.0;
    for (const CellSample & s : samples) {
      if (std::fabs(s.z - plane.at(s.x, s.y)) <= tol) {
        n += 1.0;
        mx += s.x;
        my += s.y;
        mz += s.z;
      }
    }
    if (n < kMinLevelSamples) {
      return FloorPlane{};
    }
    mx /= n;
    my /= n;
    mz /= n;
    double sxx = 0.0, sxy = 0.0, syy = 0.0, sxz = 0.0, syz = 0.0;
    for (const CellSample & s : samples) {
      if (std::fabs(s.z - plane.at(s.x, s.y)) <= tol) {
        const double dx = s.x - mx, dy = s.y - my, dz = s.z - mz;
        sxx += dx * dx;
        sxy += dx * dy;
        syy += dy * dy;
        sxz += dx * dz;
        syz += dy * dz;
      }
    }
    const double det = sxx * syy - sxy * sxy;
    // Samples along one line (a single narrow sector) fix no plane.
    if (!(det > 1e-9 * (sxx + syy) * (sxx + syy)) || !std::isfinite(det)) {
      return FloorPlane{};
    }
    FloorPlane next;
    next.gx = static_cast<float>((sxz * syy - syz * sxy) / det);
    next.gy = static_cast<float>((syz * sxx - sxz * sxy) / det);
    next.c = static_cast<float>(mz - next.gx * mx - next.gy * my);
    if (!(std::hypot(next.gx, next.gy) <= kMaxLevelSlope)) {
      return FloorPlane{};
    }
    plane = next;
  }
  return plane;
}

// Ground candidates bucketed by polar cell (counting sort keeps this linear in the scene size),
// heights relative to `plane`.
struct CellCandidates
{
  std::vector<std::size_t> start;  // cell c holds entries start[c] .. start[c + 1] - 1
  std::vector<float> x, y, r, z;
};

template <typename PointT>
CellCandidates bucket_candidates(const pcl::PointCloud<PointT> & scene, const FloorPlane & plane,
                                 float band_low, float band_high, float r_min, float r_max,
                                 int bin_count)
{
  struct Candidate
  {
    std::size_t cell;
    float x, y, r, z;
  };
  const std::size_t cell_count = static_cast<std::size_t>(kGroundSectorCount) * bin_count;
  std::vector<Candidate> candidates;
  candidates.reserve(scene.size());
  CellCandidates cells;
  cells.start.assign(cell_count + 1, 0);
  for (const PointT & p : scene.points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
      continue;
    }
    const float z = p.z - plane.at(p.x, p.y);
    if (!(z >= band_low && z <= band_high)) {
      continue;
    }
    const float r = horizontal_range(p.x, p.y);
    if (r < r_min || r > r_max) {
      continue;
    }
    const int bin = std::min(static_cast<int>(r / kBinWidth), bin_count - 1);
    const std::size_t cell = static_cast<std::size_t>(ground_sector_of(p.x, p.y)) * bin_count +
                             static_cast<std::size_t>(bin);
    candidates.push_back({cell, p.x, p.y, r, z});
    ++cells.start[cell + 1];
  }
  for (std::size_t c = 0; c < cell_count; ++c) {
    cells.start[c + 1] += cells.start[c];
  }
  for (std::vector<float> * column : {&cells.x, &cells.y, &cells.r, &cells.z}) {
    column->resize(candidates.size());
  }
  std::vector<std::size_t> fill(cells.start.begin(), cells.start.end() - 1);
  for (const Candidate & c : candidates) {
    const std::size_t at = fill[c.cell]++;
    cells.x[at] = c.x;
    cells.y[at] = c.y;
    cells.r[at] = c.r;
    cells.z[at] = c.z;
  }
  return cells;
}

// Mean of a cell's candidates within `layer` above its kLowQuantile height: the lowest layer,
// so object points above the floor do not lift it. `n` is 0 for an empty cell.
struct LayerMean
{
  int n{0};
  float x{0.0f}, y{0.0f}, r{0.0f}, z{0.0f};
};

LayerMean lowest_layer(const CellCandidates & cells, std::size_t cell, float layer,
                       std::vector<float> & scratch)
{
  const std::size_t begin = cells.start[cell];
  const std::size_t end = cells.start[cell + 1];
  LayerMean mean;
  if (begin == end) {
    return mean;
  }
  scratch.assign(cells.z.begin() + static_cast<std::ptrdiff_t>(begin),
                 cells.z.begin() + static_cast<std::ptrdiff_t>(end));
  const auto q = scratch.begin() +
                 static_cast<std::ptrdiff_t>(kLowQuantile * static_cast<double>(end - begin - 1));
  std::nth_element(scratch.begin(), q, scratch.end());
  const float bottom = *q;
  const float top = bottom + layer;
  double sum_x = 0.0, sum_y = 0.0, sum_r = 0.0, sum_z = 0.0;
  for (std::size_t i = begin; i < end; ++i) {
    if (cells.z[i] >= bottom && cells.z[i] <= top) {
      sum_x += cells.x[i];
      sum_y += cells.y[i];
      sum_r += cells.r[i];
      sum_z += cells.z[i];
      ++mean.n;
    }
  }
  mean.x = static_cast<float>(sum_x / mean.n);
  mean.y = static_cast<float>(sum_y / mean.n);
  mean.r = static_cast<float>(sum_r / mean.n);
  mean.z = static_cast<float>(sum_z / mean.n);
  return mean;
}

}  // namespace

// The diamond angle decides wherever it lies clearly inside a sector; within kBoundMargin of a
// bound, where the rounding of either computation could tip the result, the arc tangent does.
int ground_sector_of(float x, float y)
{
  constexpr double kBoundMargin = 1e-9;
  const double d = diamond_angle(-static_cast<double>(x), -static_cast<double>(y));
  if (!(d >= 0.0 && d < 4.0)) {  // the origin and non-finite points
    return exact_sector_of(x, y);
  }
  auto k = static_cast<std::size_t>(kSectorTable.first[static_cast<std::size_t>(d * 64.0)]);
  if (d >= kSectorTable.bound[k + 1]) {
    ++k;
  }
  if (d - kSectorTable.bound[k] < kBoundMargin || kSectorTable.bound[k + 1] - d < kBoundMargin) {
    return exact_sector_of(x, y);
  }
  return static_cast<int>(k);
}

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
  plane_ = FloorPlane{};
  if (bin_count_ == 0) {
    return;
  }
  const std::size_t cell_count = profile_.size();
  const float r_min = static_cast<float>(params_.rMin);
  const float r_max = static_cast<float>(params_.rMax);
  const float layer = static_cast<float>(params_.tHDiff);
  const float tol = static_cast<float>(params_.thres);
  const float slope_tol = static_cast<float>(params_.tSDiff);

  // Level first: a camera mounted with a small tilt sees the floor as a tilted plane, which
  // leaves the height band within a few metres. The cells' lowest layers in the band as it
  // stands fix that plane; the model is then built on heights above it.
  std::vector<float> scratch;
  CellCandidates cells =
      bucket_candidates(scene, FloorPlane{}, band_low_, band_high_, r_min, r_max, bin_count_);
  std::vector<CellSample> cell_samples;
  for (std::size_t cell = 0; cell < cell_count; ++cell) {
    const LayerMean mean = lowest_layer(cells, cell, layer, scratch);
    if (mean.n > 0) {
      cell_samples.push_back({mean.x, mean.y, mean.z});
    }
  }
  plane_ = fit_floor_plane(cell_samples, tol);
  if (plane_.c != 0.0f || plane_.gx != 0.0f || plane_.gy != 0.0f) {
    cells = bucket_candidates(scene, plane_, band_low_, band_high_, r_min, r_max, bin_count_);
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
  std::vector<float> residual(static_cast<std::size_t>(bin_count_));
  std::vector<bool> accepted(static_cast<std::size_t>(bin_count_));
  for (int sector = 0; sector < kGroundSectorCount; ++sector) {
    samples.clear();
    for (int bin = 0; bin < bin_count_; ++bin) {
      const LayerMean mean =
          lowest_layer(cells, static_cast<std::size_t>(sector) * bin_count_ + bin, layer, scratch);
      if (mean.n > 0) {
        samples.push_back({bin, mean.r, mean.z});
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
  return plane_.at(x, y) + profile_height_at(x, y);
}

template <typename PointT>
float GroundRemoval<PointT>::profile_height_at(float x, float y) const
{
  const float * row =
      profile_.data() + static_cast<std::size_t>(ground_sector_of(x, y)) * bin_count_;
  const float t = horizontal_range(x, y) / kBinWidth - 0.5f;
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
  // Room for every point up front: grown point by point, the outputs would be copied over and
  // over, and a box cloud can hold a hundred thousand points.
  non_ground.points.reserve(input.size());
  if (ground_out) {
    ground.points.reserve(input.size());
  }
  const float tolerance = static_cast<float>(params_.tHDiff);
  // A point more than the tolerance above the plane plus the highest profile value is above the
  // ground wherever it lies, so only points near the floor need their sector and range. The
  // slack covers the rounding of the interpolated profile and of the sums.
  constexpr float kBoundSlackM = 1e-4f;
  const float clear_above_plane =
      bin_count_ == 0
          ? std::numeric_limits<float>::infinity()
          : *std::max_element(profile_.begin(), profile_.end()) + tolerance + kBoundSlackM;
  for (const PointT & p : input.points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
      continue;
    }
    // Far above the plane is never floor, whatever the profile says there.
    if (p.z - plane_.at(p.x, p.y) > clear_above_plane ||
        p.z - ground_height_at(p.x, p.y) > tolerance) {
      non_ground.points.push_back(p);
    } else if (ground_out) {  // a caller that drops the floor has its points not copied
      ground.points.push_back(p);
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
