// The NPU runtime's C API on the PC: contexts, queries, input binding, runs and output buffers
// with the vendor's status conventions; the "model" is a host model file (host/rknn/README.md)
// whose backend writes raw head values.
#include <rknn_api.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host_model.hpp"
#include "host_rknn/host_rknn.hpp"

namespace host_rknn
{
namespace
{

enum class Call {
  kQueryInOutNum,
  kQueryInputAttr,
  kQueryOutputAttr,
  kQuerySdkVersion,
  kInputsSet,
  kRun,
  kOutputsGet,
  kCount,
};

// The NPU: a run executes on the device's own thread while the caller waits, as the vendor's
// runtime waits for the NPU, so the model's work is never counted as the calling thread's CPU.
class Device
{
public:
  Device() : thread_([this] { serve(); }) {}

  ~Device()
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  Device(const Device &) = delete;
  Device & operator=(const Device &) = delete;

  // Runs `job` on the device thread and returns when it has finished, rethrowing what it threw.
  // One caller at a time: the context's mutex serialises its runs.
  void run(const std::function<void()> & job)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    job_ = &job;
    error_ = nullptr;
    wake_.notify_all();
    done_.wait(lock, [this] { return job_ == nullptr; });
    if (error_) {
      std::rethrow_exception(error_);
    }
  }

private:
  void serve()
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || job_ != nullptr; });
      if (job_ == nullptr) {
        return;
      }
      const std::function<void()> * job = job_;
      lock.unlock();
      std::exception_ptr error;
      try {
        (*job)();
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      error_ = error;
      job_ = nullptr;
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void()> * job_{nullptr};
  std::exception_ptr error_;
  bool stopping_{false};
  std::thread thread_;  // last: it starts serving once the members above exist
};

struct Context
{
  std::mutex mutex;  // one caller at a time per context, as the vendor's runtime requires
  ModelSpec model_spec;
  ModelGeometry geometry;
  std::vector<uint8_t> input;  // bound by rknn_inputs_set, as interleaved RGB per slot
  bool input_bound{false};
  std::vector<std::vector<int8_t>> results;  // per head, all slots, from the last run
  bool has_results{false};
  uint64_t runs{0};
  std::array<uint32_t, static_cast<std::size_t>(Call::kCount)> calls{};
  std::set<void *> handed_out;           // output buffers the caller has not released
  std::unique_ptr<OnnxNetwork> network;  // onnx backend only
  bool nan_reported{false};              // the NaN warning is printed once per context
  std::unique_ptr<Device> device;        // started by the first run

  ~Context()
  {
    for (void * p : handed_out) {
      std::free(p);
    }
  }

  // Counts the call and returns the injected status while the call is in the failing range.
  int injected(Call call, const Fault & fault)
  {
    const uint32_t n = ++calls[static_cast<std::size_t>(call)];
    const bool failing = n >= fault.from_call && (fault.until_call == 0 || n <= fault.until_call);
    return fault.status != 0 && failing ? fault.status : RKNN_SUCC;
  }
};

struct Registry
{
  std::mutex mutex;
  std::map<rknn_context, std::shared_ptr<Context>> contexts;
  rknn_context next{0x1000};  // handles are never reused, so a stale one stays invalid
};

Registry & registry()
{
  static Registry r;
  return r;
}

std::shared_ptr<Context> find(rknn_context handle)
{
  Registry & r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const auto it = r.contexts.find(handle);
  return it == r.contexts.end() ? nullptr : it->second;
}

void fill_input_attr(const Context & c, rknn_tensor_attr & attr)
{
  const uint32_t index = attr.index;
  std::memset(&attr, 0, sizeof(attr));
  attr.index = index;
  attr.n_dims = 4;
  for (std::size_t i = 0; i < 4; ++i) {
    attr.dims[i] = c.model_spec.input_dims[i];
  }
  std::strncpy(attr.name, "images", RKNN_MAX_NAME_LEN - 1);
  attr.n_elems = static_cast<uint32_t>(c.geometry.input_bytes);
  attr.size = static_cast<uint32_t>(c.geometry.input_bytes);
  attr.fmt = c.model_spec.input_fmt;
  attr.type = RKNN_TENSOR_UINT8;
  attr.qnt_type = RKNN_TENSOR_QNT_AFFINE_ASYMMETRIC;
  attr.zp = 0;
  attr.scale = 1.0f;
  attr.w_stride = c.geometry.width;
  attr.size_with_stride = attr.size;
}

void fill_output_attr(const Context & c, rknn_tensor_attr & attr)
{
  const uint32_t index = attr.index;
  const OutputGeometry & o = c.geometry.outputs[index];
  const OutputQuantization & q = c.model_spec.outputs[index];
  std::memset(&attr, 0, sizeof(attr));
  attr.index = index;
  attr.n_dims = 4;
  attr.dims[0] = c.geometry.batch;
  attr.dims[1] = static_cast<uint32_t>(kAnchorsPerHead * c.geometry.channels_per_anchor);
  attr.dims[2] = static_cast<uint32_t>(o.grid_h);
  attr.dims[3] = static_cast<uint32_t>(o.grid_w);
  const std::string name = "output" + std::to_string(index);
  std::strncpy(attr.name, name.c_str(), RKNN_MAX_NAME_LEN - 1);
  attr.n_elems = static_cast<uint32_t>(o.slot_elements * c.geometry.batch);
  attr.size = attr.n_elems;
  attr.fmt = RKNN_TENSOR_NCHW;
  attr.type = RKNN_TENSOR_INT8;
  attr.qnt_type = RKNN_TENSOR_QNT_AFFINE_ASYMMETRIC;
  attr.zp = q.zp;
  attr.scale = q.scale;
  attr.w_stride = static_cast<uint32_t>(o.grid_w);
  attr.size_with_stride = attr.size;
}

// Slot `slot` of the bound input as interleaved RGB, whatever layout it was bound in.
const uint8_t * slot_image(const Context & c, std::size_t slot)
{
  return c.input.data() + slot * c.geometry.height * c.geometry.width * 3;
}

// The vendor's runtime prints its own diagnostics to the console; so does this one.
void print_line(char level, const std::string & text)
{
  std::fprintf(stderr, "%c host_rknn: %s\n", level, text.c_str());
}

void run_backend(Context & c)
{
  const ModelGeometry & g = c.geometry;
  c.results.resize(g.outputs.size());
  for (std::size_t i = 0; i < g.outputs.size(); ++i) {
    c.results[i].resize(g.outputs[i].slot_elements * g.batch);
  }
  if (c.network) {
    const std::size_t nan_values = c.network->run(c.input.data(), c.results);
    if (nan_values > 0 && !c.nan_reported) {
      c.nan_reported = true;
      print_line('W', "onnx model " + c.model_spec.onnx.path + ": run " +
                          std::to_string(c.runs + 1) + " gave " + std::to_string(nan_values) +
                          " NaN output values, written as -128 (no detection there); further "
                          "NaN runs are not reported");
    }
    ++c.runs;
    c.has_results = true;
    return;
  }
  const ScriptedRun * script =
      c.model_spec.runs.empty() ? nullptr : &c.model_spec.runs[c.runs % c.model_spec.runs.size()];
  for (std::size_t slot = 0; slot < g.batch; ++slot) {
    std::vector<Detection> detections;
    if (c.model_spec.backend == Backend::kColourKey) {
      detections = find_key_regions(slot_image(c, slot), static_cast<int>(g.height),
                                    static_cast<int>(g.width), c.model_spec);
    } else if (script != nullptr && slot < 2) {
      detections = slot == 0 ? script->slot1 : script->slot2;
    }
    write_slot(c.model_spec, g, detections, slot, c.results);
  }
  ++c.runs;
  c.has_results = true;
}

}  // namespace

std::size_t outstanding_output_buffers(rknn_context context)
{
  const std::shared_ptr<Context> c = find(context);
  if (!c) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(c->mutex);
  return c->handed_out.size();
}

}  // namespace host_rknn

using host_rknn::Call;
using host_rknn::Context;

extern "C" {

int rknn_init(rknn_context * context, void * model, uint32_t size, uint32_t /*flag*/,
              rknn_init_extend * /*extend*/)
{
  if (context == nullptr) {
    return RKNN_ERR_PARAM_INVALID;
  }
  *context = 0;
  if (model == nullptr || size == 0) {
    return RKNN_ERR_PARAM_INVALID;
  }
  auto c = std::make_shared<Context>();
  try {
    c->model_spec = host_rknn::parse_model(std::string(static_cast<const char *>(model), size));
  } catch (const std::exception & e) {
    host_rknn::print_line('E', e.what());
    return RKNN_ERR_MODEL_INVALID;
  }
  if (c->model_spec.faults.init.status != 0) {
    return c->model_spec.faults.init.status;
  }
  c->geometry = host_rknn::geometry_of(c->model_spec);
  if (c->model_spec.backend == host_rknn::Backend::kOnnx) {
    try {
      c->network = std::make_unique<host_rknn::OnnxNetwork>(c->model_spec, c->geometry);
    } catch (const std::exception & e) {
      host_rknn::print_line('E', e.what());
      return RKNN_ERR_MODEL_INVALID;
    }
  }
  host_rknn::Registry & r = host_rknn::registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const rknn_context handle = r.next++;
  r.contexts.emplace(handle, std::move(c));
  *context = handle;
  return RKNN_SUCC;
}

int rknn_destroy(rknn_context context)
{
  host_rknn::Registry & r = host_rknn::registry();
  std::shared_ptr<Context> doomed;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.contexts.find(context);
    if (it == r.contexts.end()) {
      return RKNN_ERR_CTX_INVALID;
    }
    doomed = std::move(it->second);
    r.contexts.erase(it);
  }
  // A call still running on another thread keeps its own reference; wait for it to finish.
  std::lock_guard<std::mutex> lock(doomed->mutex);
  return RKNN_SUCC;
}

int rknn_query(rknn_context context, rknn_query_cmd cmd, void * info, uint32_t size)
{
  const std::shared_ptr<Context> c = host_rknn::find(context);
  if (!c) {
    return RKNN_ERR_CTX_INVALID;
  }
  std::lock_guard<std::mutex> lock(c->mutex);
  const host_rknn::Faults & faults = c->model_spec.faults;
  switch (cmd) {
    case RKNN_QUERY_IN_OUT_NUM: {
      if (const int s = c->injected(Call::kQueryInOutNum, faults.query_in_out_num)) {
        return s;
      }
      if (info == nullptr || size < sizeof(rknn_input_output_num)) {
        return RKNN_ERR_PARAM_INVALID;
      }
      auto * num = static_cast<rknn_input_output_num *>(info);
      num->n_input = c->model_spec.has_input ? 1u : 0u;
      num->n_output = static_cast<uint32_t>(c->model_spec.outputs.size());
      return RKNN_SUCC;
    }
    case RKNN_QUERY_INPUT_ATTR: {
      if (const int s = c->injected(Call::kQueryInputAttr, faults.query_input_attr)) {
        return s;
      }
      if (info == nullptr || size < sizeof(rknn_tensor_attr)) {
        return RKNN_ERR_PARAM_INVALID;
      }
      auto * attr = static_cast<rknn_tensor_attr *>(info);
      if (!c->model_spec.has_input || attr->index != 0) {
        return RKNN_ERR_PARAM_INVALID;
      }
      host_rknn::fill_input_attr(*c, *attr);
      return RKNN_SUCC;
    }
    case RKNN_QUERY_OUTPUT_ATTR: {
      if (const int s = c->injected(Call::kQueryOutputAttr, faults.query_output_attr)) {
        return s;
      }
      if (info == nullptr || size < sizeof(rknn_tensor_attr)) {
        return RKNN_ERR_PARAM_INVALID;
      }
      auto * attr = static_cast<rknn_tensor_attr *>(info);
      if (attr->index >= c->model_spec.outputs.size()) {
        return RKNN_ERR_PARAM_INVALID;
      }
      host_rknn::fill_output_attr(*c, *attr);
      return RKNN_SUCC;
    }
    case RKNN_QUERY_SDK_VERSION: {
      if (const int s = c->injected(Call::kQuerySdkVersion, faults.query_sdk_version)) {
        return s;
      }
      if (info == nullptr || size < sizeof(rknn_sdk_version)) {
        return RKNN_ERR_PARAM_INVALID;
      }
      auto * version = static_cast<rknn_sdk_version *>(info);
      std::memset(version, 0, sizeof(*version));
      std::strncpy(version->api_version, c->model_spec.sdk_version.c_str(),
                   sizeof(version->api_version) - 1);
      std::strncpy(version->drv_version, c->model_spec.driver_version.c_str(),
                   sizeof(version->drv_version) - 1);
      return RKNN_SUCC;
    }
    default:
      // Performance queries are not simulated.
      return RKNN_ERR_PARAM_INVALID;
  }
}

int rknn_inputs_set(rknn_context context, uint32_t n_inputs, rknn_input inputs[])
{
  const std::shared_ptr<Context> c = host_rknn::find(context);
  if (!c) {
    return RKNN_ERR_CTX_INVALID;
  }
  std::lock_guard<std::mutex> lock(c->mutex);
  if (const int s = c->injected(Call::kInputsSet, c->model_spec.faults.inputs_set)) {
    return s;
  }
  if (inputs == nullptr || !c->model_spec.has_input || n_inputs != 1u) {
    return RKNN_ERR_PARAM_INVALID;
  }
  const rknn_input & in = inputs[0];
  const host_rknn::ModelGeometry & g = c->geometry;
  if (in.index != 0 || in.buf == nullptr || in.size != g.input_bytes ||
      in.type != RKNN_TENSOR_UINT8) {
    return RKNN_ERR_PARAM_INVALID;
  }
  // pass_through hands over the model's own layout; otherwise the descriptor names it.
  const rknn_tensor_format fmt = in.pass_through != 0 ? c->model_spec.input_fmt : in.fmt;
  if (fmt != RKNN_TENSOR_NHWC && fmt != RKNN_TENSOR_NCHW) {
    return RKNN_ERR_PARAM_INVALID;
  }
  const auto * src = static_cast<const uint8_t *>(in.buf);
  c->input.resize(g.input_bytes);
  if (fmt == RKNN_TENSOR_NHWC || g.channels != 3) {
    std::memcpy(c->input.data(), src, g.input_bytes);
  } else {
    // Planar slots are interleaved once here so the backend reads one layout.
    const std::size_t plane = static_cast<std::size_t>(g.height) * g.width;
    for (std::size_t slot = 0; slot < g.batch; ++slot) {
      const uint8_t * planes = src + slot * 3 * plane;
      uint8_t * dst = c->input.data() + slot * 3 * plane;
      for (std::size_t p = 0; p < plane; ++p) {
        dst[3 * p] = planes[p];
        dst[3 * p + 1] = planes[plane + p];
        dst[3 * p + 2] = planes[2 * plane + p];
      }
    }
  }
  c->input_bound = true;
  return RKNN_SUCC;
}

int rknn_run(rknn_context context, rknn_run_extend * /*extend*/)
{
  const std::shared_ptr<Context> c = host_rknn::find(context);
  if (!c) {
    return RKNN_ERR_CTX_INVALID;
  }
  std::lock_guard<std::mutex> lock(c->mutex);
  if (const int s = c->injected(Call::kRun, c->model_spec.faults.run)) {
    return s;
  }
  if (!c->input_bound) {
    return RKNN_ERR_INPUT_INVALID;
  }
  try {
    if (!c->device) {
      c->device = std::make_unique<host_rknn::Device>();
    }
    c->device->run([&c] { host_rknn::run_backend(*c); });
  } catch (const std::exception & e) {
    host_rknn::print_line('E', e.what());
    return RKNN_ERR_FAIL;
  }
  return RKNN_SUCC;
}

int rknn_outputs_get(rknn_context context, uint32_t n_outputs, rknn_output outputs[],
                     rknn_output_extend * /*extend*/)
{
  const std::shared_ptr<Context> c = host_rknn::find(context);
  if (!c) {
    return RKNN_ERR_CTX_INVALID;
  }
  std::lock_guard<std::mutex> lock(c->mutex);
  if (const int s = c->injected(Call::kOutputsGet, c->model_spec.faults.outputs_get)) {
    return s;
  }
  if (outputs == nullptr || n_outputs != c->model_spec.outputs.size()) {
    return RKNN_ERR_PARAM_INVALID;
  }
  if (!c->has_results) {
    return RKNN_ERR_FAIL;
  }
  // Check every record before handing anything out, so a failure leaves nothing to release.
  for (uint32_t i = 0; i < n_outputs; ++i) {
    const std::size_t values = c->results[i].size();
    const std::size_t bytes = outputs[i].want_float != 0 ? values * sizeof(float) : values;
    if (outputs[i].is_prealloc != 0 && (outputs[i].buf == nullptr || outputs[i].size < bytes)) {
      return RKNN_ERR_PARAM_INVALID;
    }
  }
  // Record i receives output i; its index field is not read (callers commonly leave it 0).
  for (uint32_t i = 0; i < n_outputs; ++i) {
    rknn_output & out = outputs[i];
    const std::vector<int8_t> & values = c->results[i];
    const bool as_float = out.want_float != 0;
    const std::size_t bytes = as_float ? values.size() * sizeof(float) : values.size();
    if (out.is_prealloc == 0) {
      out.buf = std::malloc(std::max<std::size_t>(bytes, 1));
      if (out.buf == nullptr) {
        return RKNN_ERR_MALLOC_FAIL;
      }
      c->handed_out.insert(out.buf);
      out.size = static_cast<uint32_t>(bytes);
    }
    if (as_float) {
      const host_rknn::OutputQuantization & q = c->model_spec.outputs[i];
      auto * dst = static_cast<float *>(out.buf);
      for (std::size_t k = 0; k < values.size(); ++k) {
        dst[k] = (static_cast<float>(values[k]) - static_cast<float>(q.zp)) * q.scale;
      }
    } else if (bytes > 0) {  // an empty head has no data pointer to copy from
      std::memcpy(out.buf, values.data(), bytes);
    }
  }
  return RKNN_SUCC;
}

int rknn_outputs_release(rknn_context context, uint32_t n_outputs, rknn_output outputs[])
{
  const std::shared_ptr<Context> c = host_rknn::find(context);
  if (!c) {
    return RKNN_ERR_CTX_INVALID;
  }
  std::lock_guard<std::mutex> lock(c->mutex);
  if (outputs == nullptr && n_outputs > 0) {
    return RKNN_ERR_PARAM_INVALID;
  }
  int status = RKNN_SUCC;
  for (uint32_t i = 0; i < n_outputs; ++i) {
    rknn_output & out = outputs[i];
    if (out.is_prealloc != 0 || out.buf == nullptr) {
      continue;
    }
    // A buffer this context never handed out (or one released before) is refused rather than
    // freed: the vendor's runtime would corrupt its heap here.
    if (c->handed_out.erase(out.buf) == 0) {
      status = RKNN_ERR_PARAM_INVALID;
      continue;
    }
    std::free(out.buf);
  }
  return status;
}

}  // extern "C"
