"""Starts the Yolov5sPredictor node with the package's parameter file and the robot's model.

    ros2 launch veltrax_cv_model yolov5s.launch.py model_path:=/path/to/model.rknn
"""
import os

from ament_index_python.packages import get_package_share_directory
from launch import LaunchDescription
from launch.actions import DeclareLaunchArgument
from launch.substitutions import LaunchConfiguration
from launch_ros.actions import Node


def generate_launch_description():
    config_dir = os.path.join(get_package_share_directory('veltrax_cv_model'), 'config')
    params_file = LaunchConfiguration('params_file')
    model_path = LaunchConfiguration('model_path')
    log_level = LaunchConfiguration('log_level')
    return LaunchDescription([
        DeclareLaunchArgument('params_file', default_value=os.path.join(config_dir, 'params.yaml'),
                              description='Parameter file of the node'),
        # No default: the model is the robot's own compiled .rknn file, not part of the package.
        # Without it, launch stops with an error that names the missing argument.
        DeclareLaunchArgument('model_path',
                              description='NPU model file (rknn_model_path): the compiled batch-2 '
                                          '.rknn model, e.g. /opt/veltrax/yolov5s_batch2.rknn'),
        DeclareLaunchArgument('log_level', default_value='info',
                              description='Logger level: debug, info, warn, error'),
        Node(
            package='veltrax_cv_model',
            executable='yolov5s_predictor',
            name='Yolov5sPredictor',
            output='screen',
            parameters=[params_file, {'rknn_model_path': model_path}],
            arguments=['--ros-args', '--log-level', log_level],
        ),
    ])
