# Replaces ExternalProject_Add in libyaml_vendor and shared_queues_vendor with local sources, so
# the ROS 2 build needs no network (scripts/ros2-humble.sh).
include(ExternalProject)
function(ExternalProject_Add name)
  if(name STREQUAL "libyaml-0.2.5")          # libyaml_vendor: git clone of yaml/libyaml 0.2.5
    _ExternalProject_Add(${name}
      URL ${ROS2_OFFLINE_VENDOR_DIR}/libyaml
      TIMEOUT 600
      CMAKE_ARGS
        -DCMAKE_INSTALL_PREFIX=${CMAKE_CURRENT_BINARY_DIR}/libyaml_install
        -DINSTALL_INCLUDE_DIR:STRING=include/${PROJECT_NAME}
        ${extra_cmake_args}
      PATCH_COMMAND
        ${CMAKE_COMMAND} -E chdir <SOURCE_DIR> git apply -p1 --ignore-space-change --whitespace=nowarn
          ${CMAKE_CURRENT_SOURCE_DIR}/0001-Install-yaml.h-to-INSTALL_INCLUDE_DIR.patch)
  elseif(name STREQUAL "ext-singleproducerconsumer")   # shared_queues_vendor: moodycamel zips
    _ExternalProject_Add(${name} PREFIX singleproducerconsumer
      URL /usr/include/readerwriterqueue
      CONFIGURE_COMMAND "" BUILD_COMMAND "" INSTALL_COMMAND "")
  elseif(name STREQUAL "ext-concurrentqueue")
    _ExternalProject_Add(${name} PREFIX concurrentqueue
      URL /usr/include/concurrentqueue
      CONFIGURE_COMMAND "" BUILD_COMMAND "" INSTALL_COMMAND "")
  else()
    message(FATAL_ERROR "offline-vendor.cmake: no local source for ExternalProject '${name}'")
  endif()
endfunction()
