/* Host stand-in for the NPU vendor's C API header rknn_api.h (the subset this project calls).
 * Same type names, field order and sizes, constants and function signatures as the vendor's
 * header on the robot; the record sizes below are checked at compile time.
 * Differs: only the calls, records and constants the node uses are declared, and the
 * implementation (host/rknn/src) runs on the PC from a small YAML model file instead of a
 * compiled NPU model (see host/rknn/README.md). */
#ifndef RKNN_API_H_
#define RKNN_API_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t rknn_context;

#define RKNN_SUCC 0
#define RKNN_ERR_FAIL -1
#define RKNN_ERR_TIMEOUT -2
#define RKNN_ERR_DEVICE_UNAVAILABLE -3
#define RKNN_ERR_MALLOC_FAIL -4
#define RKNN_ERR_PARAM_INVALID -5
#define RKNN_ERR_MODEL_INVALID -6
#define RKNN_ERR_CTX_INVALID -7
#define RKNN_ERR_INPUT_INVALID -8
#define RKNN_ERR_OUTPUT_INVALID -9
#define RKNN_ERR_DEVICE_UNMATCH -10

#define RKNN_MAX_DIMS 16
#define RKNN_MAX_NAME_LEN 256

typedef enum _rknn_query_cmd {
  RKNN_QUERY_IN_OUT_NUM = 0,
  RKNN_QUERY_INPUT_ATTR = 1,
  RKNN_QUERY_OUTPUT_ATTR = 2,
  RKNN_QUERY_PERF_DETAIL = 3,
  RKNN_QUERY_PERF_RUN = 4,
  RKNN_QUERY_SDK_VERSION = 5,
  RKNN_QUERY_CMD_MAX
} rknn_query_cmd;

typedef enum _rknn_tensor_type {
  RKNN_TENSOR_FLOAT32 = 0,
  RKNN_TENSOR_FLOAT16,
  RKNN_TENSOR_INT8,
  RKNN_TENSOR_UINT8,
  RKNN_TENSOR_INT16,
  RKNN_TENSOR_UINT16,
  RKNN_TENSOR_INT32,
  RKNN_TENSOR_UINT32,
  RKNN_TENSOR_INT64,
  RKNN_TENSOR_BOOL,
  RKNN_TENSOR_TYPE_MAX
} rknn_tensor_type;

typedef enum _rknn_tensor_qnt_type {
  RKNN_TENSOR_QNT_NONE = 0,
  RKNN_TENSOR_QNT_DFP,
  RKNN_TENSOR_QNT_AFFINE_ASYMMETRIC,
  RKNN_TENSOR_QNT_MAX
} rknn_tensor_qnt_type;

typedef enum _rknn_tensor_format {
  RKNN_TENSOR_NCHW = 0,
  RKNN_TENSOR_NHWC,
  RKNN_TENSOR_NC1HWC2,
  RKNN_TENSOR_UNDEFINED,
  RKNN_TENSOR_FORMAT_MAX
} rknn_tensor_format;

typedef struct _rknn_input_output_num
{
  uint32_t n_input;
  uint32_t n_output;
} rknn_input_output_num;

typedef struct _rknn_tensor_attr
{
  uint32_t index;
  uint32_t n_dims;
  uint32_t dims[RKNN_MAX_DIMS];
  char name[RKNN_MAX_NAME_LEN];
  uint32_t n_elems;
  uint32_t size;
  rknn_tensor_format fmt;
  rknn_tensor_type type;
  rknn_tensor_qnt_type qnt_type;
  int8_t fl;
  int32_t zp;
  float scale;
  uint32_t w_stride;
  uint32_t size_with_stride;
  uint8_t pass_through;
  uint32_t h_stride;
} rknn_tensor_attr;

typedef struct _rknn_sdk_version
{
  char api_version[256];
  char drv_version[256];
} rknn_sdk_version;

typedef struct _rknn_input
{
  uint32_t index;
  void * buf;
  uint32_t size;
  uint8_t pass_through;
  rknn_tensor_type type;
  rknn_tensor_format fmt;
} rknn_input;

typedef struct _rknn_output
{
  uint8_t want_float;
  uint8_t is_prealloc;
  uint32_t index;
  void * buf;
  uint32_t size;
} rknn_output;

typedef struct _rknn_init_extend
{
  rknn_context ctx;
  int32_t real_model_offset;
  uint32_t real_model_size;
  uint8_t reserved[120];
} rknn_init_extend;

typedef struct _rknn_run_extend
{
  uint64_t frame_id;
  int32_t non_block;
  int32_t timeout_ms;
  int32_t fence_fd;
} rknn_run_extend;

typedef struct _rknn_output_extend
{
  uint64_t frame_id;
} rknn_output_extend;

int rknn_init(rknn_context * context, void * model, uint32_t size, uint32_t flag,
              rknn_init_extend * extend);
int rknn_destroy(rknn_context context);
int rknn_query(rknn_context context, rknn_query_cmd cmd, void * info, uint32_t size);
int rknn_inputs_set(rknn_context context, uint32_t n_inputs, rknn_input inputs[]);
int rknn_run(rknn_context context, rknn_run_extend * extend);
int rknn_outputs_get(rknn_context context, uint32_t n_outputs, rknn_output outputs[],
                     rknn_output_extend * extend);
int rknn_outputs_release(rknn_context context, uint32_t n_outputs, rknn_output outputs[]);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
static_assert(sizeof(rknn_sdk_version) == 512, "rknn_sdk_version must match the vendor's layout");
static_assert(sizeof(rknn_input_output_num) == 8,
              "rknn_input_output_num must match the vendor's layout");
static_assert(sizeof(rknn_tensor_attr) == 376, "rknn_tensor_attr must match the vendor's layout");
#endif

#endif /* RKNN_API_H_ */
