// Geometry shared by the scene's sources; not part of the library's interface.
#pragma once

#include <Eigen/Geometry>

#include <opencv2/core.hpp>

#include <optional>
#include <vector>

#include "scene/scene.hpp"

namespace veltrax_scene
{

/// Maps points from the object's own frame (origin at the footprint centre on the floor, z up)
/// into the world frame.
Eigen::Isometry3d object_to_world(const SceneObject & object);

/// Maps points from a camera's optical frame into the world frame at `frame`.
Eigen::Isometry3d camera_to_world(const Scene & scene, int frame, int camera);

/// Bottom ring then top ring of the object's outline, in its own frame, each counter-clockwise:
/// four corners for a box, `rim_samples` rim points for a cylinder.
std::vector<Eigen::Vector3d> outline_points(const SceneObject & object, int rim_samples);

/// Box of the projection of the object's outline (pixel centres at whole numbers); empty when
/// part of the object lies at or behind the camera plane.
std::optional<cv::Rect2d> project_object(const CameraModel & camera,
                                         const Eigen::Isometry3d & object_to_camera,
                                         const SceneObject & object);

}  // namespace veltrax_scene
