"""Starts the Yolov5sPredictor node with the package's parameter file."""
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
        DeclareLaunchArgument('model_path',
                              default_value=os.path.join(config_dir, 'models', 'colour_key_640.yaml'),
                              description='NPU model file (rknn_model_path)'),
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
