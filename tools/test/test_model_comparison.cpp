// The onnx backend's generated key detector, run through the host NPU runtime and the node's
// decoder, against the colour-key model on the rendered demo scene.
#include <gtest/gtest.h>

#include "demo/model_comparison.hpp"
#include "scene/scene.hpp"

namespace
{

TEST(ModelComparison, KeyDetectorFindsEveryColourKeyBoxWithinTwoPixels)
{
  // The onnx backend's network runs in OpenCV's dnn, which a ThreadSanitizer build does not
  // instrument and where it takes longer than the test's limit.
  if (VELTRAX_THREAD_SANITIZER) {
    GTEST_SKIP() << "onnx network under ThreadSanitizer";
  }
  const veltrax_scene::Scene scene = veltrax_scene::make_demo_scene(veltrax_scene::DemoOptions{});
  std::vector<std::array<cv::Mat, 2>> frames;
  // Every third frame of the drive: objects from far to near, cut by the image borders.
  for (int k = 0; k < scene.frame_count(); k += 3) {
    const veltrax_scene::Frame frame = veltrax_scene::render_frame(scene, k);
    frames.push_back({frame.views[0].color_rgb, frame.views[1].color_rgb});
  }
  veltrax_cv_model::DecoderSettings settings;
  settings.obj_class_num = 8;
  const veltrax_demo::ModelComparison comparison =
      veltrax_demo::compare_models(VELTRAX_WORKSPACE_DIR "/host/rknn/models/colour_key_640.yaml",
                                   ONNX_MODELS_DIR "/key_detector_640.yaml", frames, settings);

  // Camera 1 sees six objects, camera 2 four (tools/README.md).
  EXPECT_EQ(comparison.matches.size(), frames.size() * 10);
  for (const veltrax_demo::BoxMatch & m : comparison.matches) {
    SCOPED_TRACE("frame " + std::to_string(3 * m.frame) + " camera " + std::to_string(m.camera) +
                 " class " + std::to_string(m.reference.class_id));
    EXPECT_TRUE(m.found) << "largest edge difference " << m.difference_px << " px";
  }
  EXPECT_EQ(comparison.found_within_limit, static_cast<int>(comparison.matches.size()));
  EXPECT_LE(comparison.max_difference_px, 2);
  EXPECT_EQ(comparison.unmatched, 0);
}

}  // namespace
