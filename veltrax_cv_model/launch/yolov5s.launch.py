"""Starts the Yolov5sPredictor node with the package's parameter file and the robot's model.

    ros2 launch veltrax_cv_model yolov5s.launch.py model_path:=/path/to/model.rknn

As its own process by default; with use_container:=true the node is loaded as a component into a
new container (container_name), with intra-process communication, so that camera drivers loaded
into the same container hand their images over without a copy.
"""
import os

from ament_index_python.packages import get_package_share_directory
from launch import LaunchDescription
from launch.actions import DeclareLaunchArgument
from launch.conditions import IfCondition, UnlessCondition
from launch.substitutions import LaunchConfiguration
from launch_ros.actions import ComposableNodeContainer, Node
from launch_ros.descriptions import ComposableNode, ParameterValue


def generate_launch_description():
    config_dir = os.path.join(get_package_share_directory('veltrax_cv_model'), 'config')
    params_file = LaunchConfiguration('params_file')
    model_path = LaunchConfiguration('model_path')
    log_level = LaunchConfiguration('log_level')
    use_sim_time = LaunchConfiguration('use_sim_time')
    use_container = LaunchConfiguration('use_container')
    # Typed explicitly: a model path or 'true' must not be guessed into another type.
    parameters = [params_file, {
        'rknn_model_path': ParameterValue(model_path, value_type=str),
        'use_sim_time': ParameterValue(use_sim_time, value_type=bool),
    }]
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
        DeclareLaunchArgument('use_sim_time', default_value='false',
                              description='Run on /clock, e.g. a recording played with '
                                          '`ros2 bag play --clock`'),
        DeclareLaunchArgument('use_container', default_value='false',
                              description='Load the node into a component container instead of '
                                          'running it as its own process'),
        DeclareLaunchArgument('container_name', default_value='yolov5s_container',
                              description='Name of the container started with use_container'),
        Node(
            package='veltrax_cv_model',
            executable='yolov5s_predictor',
            name='Yolov5sPredictor',
            output='screen',
            parameters=parameters,
            arguments=['--ros-args', '--log-level', log_level],
            condition=UnlessCondition(use_container),
        ),
        ComposableNodeContainer(
            package='rclcpp_components',
            # Single-threaded like the node's own process: its callbacks share one mutually
            # exclusive group and the heavy work runs on the node's own worker threads.
            executable='component_container',
            name=LaunchConfiguration('container_name'),
            namespace='',
            output='screen',
            arguments=['--ros-args', '--log-level', log_level],
            composable_node_descriptions=[
                ComposableNode(
                    package='veltrax_cv_model',
                    plugin='veltrax_cv_model::Yolov5sPredictor',
                    name='Yolov5sPredictor',
                    parameters=parameters,
                    extra_arguments=[{'use_intra_process_comms': True}],
                ),
            ],
            condition=IfCondition(use_container),
        ),
    ])
