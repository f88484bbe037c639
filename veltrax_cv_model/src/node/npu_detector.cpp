// NPU detector: model loading, one batch for both cameras, decoding and overlays.
#include <cstdio>
#include <limits>
#include <new>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "cv_bridge/cv_bridge.h"
#include "rcutils/logging.h"
#include "veltrax_cv_model/class_table.hpp"
#include "veltrax_cv_model/yolov5s_predictor.hpp"

namespace veltrax_cv_model
{
namespace
{

// A runtime reporting more tensors than this is broken; refuse it instead of allocating for it.
constexpr uint32_t kMaxTensors = 16;

// Fault site of the per-cycle NPU calls (FaultLog).
const char * const kNpuSite = "NPU inference";

}  // namespace

void Yolov5sPredictor::initializeRKNNModel()
{
  RCLCPP_INFO(get_logger(), "initialize RKNN Model");
  const std::string & model_path = settings_.rknn_model_path;
  createRKNNContext(&rknn_ctx_, model_path);
  RCLCPP_INFO(get_logger(), "Load model from: %s", model_path.c_str());
}

int Yolov5sPredictor::createRKNNContext(rknn_context * context, const std::string & model_path)
{
  std::vector<unsigned char> model;
  if (FILE * file = std::fopen(model_path.c_str(), "rb"); file == nullptr) {
    std::printf("Open file %s failed.\n", model_path.c_str());
  } else {
    if (std::fseek(file, 0, SEEK_END) != 0) {
      std::puts("fseek seek_end failure.");
    } else {
      const long file_size = std::ftell(file);
      if (std::fseek(file, 0, SEEK_SET) != 0) {
        std::puts("fseek seek_set failure.");
      } else if (file_size < 0 || file_size > std::numeric_limits<int32_t>::max()) {
        std::puts("buffer malloc failure.");
      } else {
        try {
          model.resize(static_cast<std::size_t>(file_size));
          if (std::fread(model.data(), 1, model.size(), file) != model.size()) {
            // A model that cannot be read whole is no model: hand the runtime nothing.
            std::puts("fread failure.");
            model.clear();
          }
        } catch (const std::bad_alloc &) {
          std::puts("buffer malloc failure.");
          model.clear();
        }
      }
    }
    std::fclose(file);
  }

  int status = rknn_init(context, model.empty() ? nullptr : model.data(),
                         static_cast<uint32_t>(model.size()), 0, nullptr);
  if (status < 0) {
    std::printf("%d, rknn_init error!  status = %d\n", 123, status);
    std::fflush(stdout);
    return -1;
  }
  rknn_context_created_ = true;

  rknn_sdk_version version{};
  status = rknn_query(*context, RKNN_QUERY_SDK_VERSION, &version, sizeof(version));
  if (status < 0) {
    std::printf("%d, rknn_query_sdk  error!  status = %d\n", 129, status);
    std::fflush(stdout);
    return -1;
  }
  // The runtime writes these; make sure they end inside their arrays whatever it wrote.
  version.api_version[sizeof(version.api_version) - 1] = '\0';
  version.drv_version[sizeof(version.drv_version) - 1] = '\0';
  std::printf("sdk version: %s driver version: %s\n", version.api_version, version.drv_version);
  std::fflush(stdout);
  return 0;
}

void Yolov5sPredictor::initializeRKNNInputOutput()
{
  if (!rknn_context_created_) {
    RCLCPP_ERROR(get_logger(), "no NPU context: the model did not load, detection is disabled");
    return;
  }
  int status = rknn_query(rknn_ctx_, RKNN_QUERY_IN_OUT_NUM, &io_num_, sizeof(io_num_));
  if (status < 0) {
    RCLCPP_ERROR(get_logger(), "%d, rknn_query_in_out_num  error!  status = %d", 330, status);
    return;
  }
  RCLCPP_INFO(get_logger(), "rknn_io_num n_input=%d n_output=%d", io_num_.n_input,
              io_num_.n_output);
  if (io_num_.n_input < 1 || io_num_.n_output < static_cast<uint32_t>(kHeadCount) ||
      io_num_.n_input > kMaxTensors || io_num_.n_output > kMaxTensors) {
    RCLCPP_ERROR(get_logger(),
                 "model refused: it needs one image input and three output heads, it has %u "
                 "inputs and %u outputs; detection is disabled",
                 io_num_.n_input, io_num_.n_output);
    return;
  }

  input_attrs_.assign(io_num_.n_input, rknn_tensor_attr{});
  output_attrs_.assign(io_num_.n_output, rknn_tensor_attr{});
  for (uint32_t i = 0; i < io_num_.n_input; ++i) {
    input_attrs_[i].index = i;
    status =
        rknn_query(rknn_ctx_, RKNN_QUERY_INPUT_ATTR, &input_attrs_[i], sizeof(rknn_tensor_attr));
    if (status < 0) {
      RCLCPP_ERROR(get_logger(), "%d, rknn_query_input_attr  error!  status = %d", 345, status);
      return;
    }
  }

  const rknn_tensor_attr & input = input_attrs_[0];
  input_batch_ = static_cast<int32_t>(input.dims[0]);
  if (input.fmt == RKNN_TENSOR_NCHW) {
    model_channel_ = static_cast<int32_t>(input.dims[1]);
    model_height_ = static_cast<int32_t>(input.dims[2]);
    model_width_ = static_cast<int32_t>(input.dims[3]);
  } else {
    model_height_ = static_cast<int32_t>(input.dims[1]);
    model_width_ = static_cast<int32_t>(input.dims[2]);
    model_channel_ = static_cast<int32_t>(input.dims[3]);
  }
  RCLCPP_INFO(get_logger(),
              "model input shape: [%d, %d, %d, %d] [batch_size, channel, height, width] format=%d",
              input_batch_, model_channel_, model_height_, model_width_, input.fmt);
  if (input_batch_ != settings_.model_batch) {
    RCLCPP_ERROR(get_logger(), "batch except!,batch = %d of current, target batch = %d",
                 input_batch_, settings_.model_batch);
    return;
  }

  for (uint32_t i = 0; i < io_num_.n_output; ++i) {
    output_attrs_[i].index = i;
    status =
        rknn_query(rknn_ctx_, RKNN_QUERY_OUTPUT_ATTR, &output_attrs_[i], sizeof(rknn_tensor_attr));
    if (status < 0) {
      RCLCPP_ERROR(get_logger(), "%d, rknn_query_output_attr error!  status = %d", 377, status);
      return;
    }
  }

  DecoderSettings & decoder = settings_.decoder;
  decoder.model_width = model_width_;
  decoder.model_height = model_height_;
  for (int head = 0; head < kHeadCount; ++head) {
    head_quantization_[head] = {output_attrs_[head].zp, output_attrs_[head].scale};
  }

  // The input buffer is built from two interleaved 8-bit RGB images of the model size; a model
  // that expects anything else would make the runtime read past it.
  const std::size_t image_bytes = static_cast<std::size_t>(model_width_ > 0 ? model_width_ : 0) *
                                  (model_height_ > 0 ? model_height_ : 0) * 3;
  if (model_channel_ != 3 || image_bytes == 0 || input.size != 2 * image_bytes) {
    RCLCPP_ERROR(get_logger(),
                 "model refused: input must be a batch of two %dx%dx3 uint8 images "
                 "(%zu bytes), it takes %u bytes with %d channels; detection is disabled",
                 model_width_, model_height_, 2 * image_bytes, input.size, model_channel_);
    return;
  }
  for (int head = 0; head < kHeadCount; ++head) {
    const std::size_t needed = 2 * head_slot_elements(decoder, head);
    if (needed == 0 || output_attrs_[head].size < needed) {
      RCLCPP_ERROR(get_logger(),
                   "model refused: output %d holds %u values, the decoder needs %zu for two "
                   "images; detection is disabled",
                   head, output_attrs_[head].size, needed);
      return;
    }
    // Heads larger than the class count needs come from a model with more classes: decoded
    // with obj_class_num they would be read at the wrong stride.
    const std::size_t cells = 2 * head_geometry(decoder, head).cells();
    const int32_t wanted = kAnchorsPerHead * decoder.channels_per_anchor();
    if (output_attrs_[head].size != cells * static_cast<std::size_t>(wanted)) {
      RCLCPP_ERROR(get_logger(),
                   "model refused: output %d holds %.2f channels per cell, obj_class_num %d "
                   "needs %d; detection is disabled",
                   head, static_cast<double>(output_attrs_[head].size) / static_cast<double>(cells),
                   decoder.obj_class_num, wanted);
      return;
    }
  }
  npu_ready_ = true;
}

void Yolov5sPredictor::detectImagePair(DetectionFrame * frame1, DetectionFrame * frame2,
                                       const ImageConstPtr & color1, const ImageConstPtr & color2)
{
  // Shared when the driver sends rgb8, converted otherwise; a malformed message throws here.
  const cv_bridge::CvImageConstPtr rgb1 = cv_bridge::toCvShare(color1, "rgb8");
  const cv_bridge::CvImageConstPtr rgb2 = cv_bridge::toCvShare(color2, "rgb8");

  predict(rgb1->image, rgb2->image, frame1, frame2);

  rclcpp::Clock system_clock(RCL_SYSTEM_TIME);
  frame1->image = color1;
  frame1->header.frame_id = "frame";
  frame1->header.stamp = system_clock.now();
  frame2->image = color2;
  frame2->header.frame_id = "frame";
  frame2->header.stamp = system_clock.now();

  if (settings_.draw_result) {
    drawRes(cv_bridge::toCvCopy(color1, "bgr8")->image, frame1, "cam1");
    drawRes(cv_bridge::toCvCopy(color2, "bgr8")->image, frame2, "cam2");
  }
}

void Yolov5sPredictor::predict(const cv::Mat & rgb1, const cv::Mat & rgb2, DetectionFrame * frame1,
                               DetectionFrame * frame2)
{
  if (!npu_ready_) {
    if (!npu_skip_reported_) {
      RCLCPP_ERROR(get_logger(), "NPU not set up: detection skipped in every cycle");
      npu_skip_reported_ = true;
    }
    return;
  }
  const cv::Size model_size(model_width_, model_height_);
  const std::size_t plane_bytes = static_cast<std::size_t>(model_size.area());
  const std::size_t image_bytes = 3 * plane_bytes;
  std::vector<uint8_t> input_buffer;
  try {
    input_buffer.resize(2 * image_bytes);
  } catch (const std::bad_alloc &) {
    return;
  }
  // The buffer is labelled with the model's own layout, so it must be written in it: interleaved
  // RGB for NHWC (resized straight into the buffer), one plane per channel (RRR...GGG...BBB...)
  // for NCHW.
  const bool planar = input_attrs_[0].fmt == RKNN_TENSOR_NCHW;
  cv::Mat resized;
  for (const auto & [image, slot] : {std::pair{&rgb1, 0}, std::pair{&rgb2, 1}}) {
    uint8_t * const destination = input_buffer.data() + slot * image_bytes;
    if (planar) {
      cv::resize(*image, resized, model_size, 0, 0, cv::INTER_LINEAR);
      std::vector<cv::Mat> planes;
      planes.reserve(3);
      for (int channel = 0; channel < 3; ++channel) {
        planes.emplace_back(model_size, CV_8UC1, destination + channel * plane_bytes);
      }
      cv::split(resized, planes);
    } else {
      cv::Mat in_buffer(model_size, CV_8UC3, destination);
      cv::resize(*image, in_buffer, model_size, 0, 0, cv::INTER_LINEAR);
    }
  }

  std::vector<rknn_input> inputs(io_num_.n_input, rknn_input{});
  inputs[0].index = 0;
  inputs[0].buf = input_buffer.data();
  inputs[0].size = input_attrs_[0].size;
  inputs[0].pass_through = 0;
  inputs[0].type = RKNN_TENSOR_UINT8;
  inputs[0].fmt = input_attrs_[0].fmt;
  int status = rknn_inputs_set(rknn_ctx_, io_num_.n_input, inputs.data());
  if (status < 0) {
    log_fault(kNpuSite, format_text("%d, rknn_input_set fail! status = %d", 1350, status));
    return;
  }

  std::vector<rknn_output> outputs(io_num_.n_output, rknn_output{});
  status = rknn_run(rknn_ctx_, nullptr);
  if (status < 0) {
    log_fault(kNpuSite, format_text("%d, rknn_run error!  status = %d", 1362, status));
    return;
  }
  status = rknn_outputs_get(rknn_ctx_, io_num_.n_output, outputs.data(), nullptr);
  if (status < 0) {
    log_fault(kNpuSite, format_text("%d, rknn_outputs_get error!  status = %d", 1367, status));
    return;
  }

  bool outputs_complete = true;
  for (int head = 0; head < kHeadCount; ++head) {
    const std::size_t needed = 2 * head_slot_elements(settings_.decoder, head);
    if (outputs[head].buf == nullptr || outputs[head].size < needed) {
      log_fault(kNpuSite,
                format_text("NPU output %d holds %u bytes, expected %zu: frame not decoded", head,
                            outputs[head].size, needed));
      outputs_complete = false;
    }
  }
  if (outputs_complete) {
    log_recovery(kNpuSite);
    const std::array<const int8_t *, 3> heads{static_cast<const int8_t *>(outputs[0].buf),
                                              static_cast<const int8_t *>(outputs[1].buf),
                                              static_cast<const int8_t *>(outputs[2].buf)};
    postProcess(heads, frame1, 1, static_cast<float>(model_width_) / static_cast<float>(rgb1.cols),
                static_cast<float>(model_height_) / static_cast<float>(rgb1.rows));
    postProcess(heads, frame2, 2, static_cast<float>(model_width_) / static_cast<float>(rgb2.cols),
                static_cast<float>(model_height_) / static_cast<float>(rgb2.rows));
  }
  rknn_outputs_release(rknn_ctx_, io_num_.n_output, outputs.data());
  RCLCPP_DEBUG(get_logger(), "Clean up done");
}

void Yolov5sPredictor::postProcess(const std::array<const int8_t *, 3> & outputs,
                                   DetectionFrame * frame, int slot, float scale_w, float scale_h)
{
  // predict() has checked that each head holds both batch slots.
  std::array<HeadView, kHeadCount> heads;
  for (int head = 0; head < kHeadCount; ++head) {
    heads[head] = {outputs[head], 2 * head_slot_elements(settings_.decoder, head)};
  }
  // The trace lines cost formatting per candidate: only hooked in when DEBUG is on.
  DecodeTrace trace;
  if (rcutils_logging_logger_is_enabled_for(get_logger().get_name(), RCUTILS_LOG_SEVERITY_DEBUG)) {
    trace.candidate = [this](const CandidateCell & cell, const float * box) {
      RCLCPP_DEBUG(get_logger(), "a=%d, i=%d, j=%d, box x=%f, y=%f, w=%f, h=%f\n", cell.anchor,
                   cell.row, cell.col, box[0], box[1], box[2], box[3]);
    };
    trace.decoded = [this](int candidate_count) {
      RCLCPP_DEBUG(get_logger(), "\tdetect %d objects", candidate_count);
    };
    trace.kept = [this, scale_w, scale_h](int rank, float x1, float y1, float x2, float y2) {
      RCLCPP_DEBUG(get_logger(), "i=%d, x1=%f, y1=%f, x2=%f, y2=%f, scale_w=%f, scale_h=%f", rank,
                   x1, y1, x2, y2, scale_w, scale_h);
    };
  }
  SlotDetections detections =
      post_process(heads, head_quantization_, settings_.decoder, slot, scale_w, scale_h, &trace);
  frame->objects.insert(frame->objects.end(), detections.objects.begin(), detections.objects.end());
}

void Yolov5sPredictor::drawRes(cv::Mat & image, const DetectionFrame * frame,
                               const std::string & name)
{
  for (const DetectedObject & object : frame->objects) {
    // Flat litter is not drawn; classes beyond the label table are.
    const ClassInfo * info = class_info(object.class_id);
    if (info != nullptr && !info->drawn) {
      continue;
    }
    cv::rectangle(image, cv::Point(object.left, object.top), cv::Point(object.right, object.bottom),
                  cv::Scalar(0, 0, 255), 4, cv::LINE_8, 0);
    RCLCPP_DEBUG(get_logger(), "left, right, top, bottom, %4d, %4d, %4d, %4d", object.left,
                 object.right, object.top, object.bottom);
    cv::putText(image, info == nullptr ? std::string() : std::string(info->label),
                cv::Point((object.left + object.right) / 2, (object.top + object.bottom) / 2),
                cv::FONT_HERSHEY_PLAIN, 0.8, cv::Scalar(255, 0, 0), 2, cv::LINE_8, false);
  }
  if (!settings_.debug) return;
  sensor_msgs::msg::Image overlay;
  cv_bridge::CvImage(std_msgs::msg::Header(), "bgr8", image).toImageMsg(overlay);
  if (name == "cam1") {
    image1_pub_->publish(overlay);
  } else if (name == "cam2") {
    image2_pub_->publish(overlay);
  }
}

}  // namespace veltrax_cv_model
