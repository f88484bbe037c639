// Host stand-in for rmw/qos_profiles.h (ROS 2 Humble rmw 6.1): the same profile constants,
// field by field, in the member order of rmw_qos_profile_t.
#pragma once

#include "rmw/types.h"

#ifdef __cplusplus
extern "C" {
#endif

static const rmw_qos_profile_t rmw_qos_profile_sensor_data = {
    RMW_QOS_POLICY_HISTORY_KEEP_LAST,
    5,
    RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT,
    RMW_QOS_POLICY_DURABILITY_VOLATILE,
    RMW_QOS_DEADLINE_DEFAULT,
    RMW_QOS_LIFESPAN_DEFAULT,
    RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
    RMW_QOS_LIVELINESS_LEASE_DURATION_DEFAULT,
    false};

static const rmw_qos_profile_t rmw_qos_profile_parameters = {
    RMW_QOS_POLICY_HISTORY_KEEP_LAST,
    1000,
    RMW_QOS_POLICY_RELIABILITY_RELIABLE,
    RMW_QOS_POLICY_DURABILITY_VOLATILE,
    RMW_QOS_DEADLINE_DEFAULT,
    RMW_QOS_LIFESPAN_DEFAULT,
    RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
    RMW_QOS_LIVELINESS_LEASE_DURATION_DEFAULT,
    false};

static const rmw_qos_profile_t rmw_qos_profile_default = {RMW_QOS_POLICY_HISTORY_KEEP_LAST,
                                                          10,
                                                          RMW_QOS_POLICY_RELIABILITY_RELIABLE,
                                                          RMW_QOS_POLICY_DURABILITY_VOLATILE,
                                                          RMW_QOS_DEADLINE_DEFAULT,
                                                          RMW_QOS_LIFESPAN_DEFAULT,
                                                          RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
                                                          RMW_QOS_LIVELINESS_LEASE_DURATION_DEFAULT,
                                                          false};

static const rmw_qos_profile_t rmw_qos_profile_services_default = {
    RMW_QOS_POLICY_HISTORY_KEEP_LAST,
    10,
    RMW_QOS_POLICY_RELIABILITY_RELIABLE,
    RMW_QOS_POLICY_DURABILITY_VOLATILE,
    RMW_QOS_DEADLINE_DEFAULT,
    RMW_QOS_LIFESPAN_DEFAULT,
    RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
    RMW_QOS_LIVELINESS_LEASE_DURATION_DEFAULT,
    false};

static const rmw_qos_profile_t rmw_qos_profile_parameter_events = {
    RMW_QOS_POLICY_HISTORY_KEEP_LAST,
    1000,
    RMW_QOS_POLICY_RELIABILITY_RELIABLE,
    RMW_QOS_POLICY_DURABILITY_VOLATILE,
    RMW_QOS_DEADLINE_DEFAULT,
    RMW_QOS_LIFESPAN_DEFAULT,
    RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
    RMW_QOS_LIVELINESS_LEASE_DURATION_DEFAULT,
    false};

static const rmw_qos_profile_t rmw_qos_profile_system_default = {
    RMW_QOS_POLICY_HISTORY_SYSTEM_DEFAULT,
    RMW_QOS_POLICY_DEPTH_SYSTEM_DEFAULT,
    RMW_QOS_POLICY_RELIABILITY_SYSTEM_DEFAULT,
    RMW_QOS_POLICY_DURABILITY_SYSTEM_DEFAULT,
    RMW_QOS_DEADLINE_DEFAULT,
    RMW_QOS_LIFESPAN_DEFAULT,
    RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
    RMW_QOS_LIVELINESS_LEASE_DURATION_DEFAULT,
    false};

static const rmw_qos_profile_t rmw_qos_profile_unknown = {RMW_QOS_POLICY_HISTORY_UNKNOWN,
                                                          RMW_QOS_POLICY_DEPTH_SYSTEM_DEFAULT,
                                                          RMW_QOS_POLICY_RELIABILITY_UNKNOWN,
                                                          RMW_QOS_POLICY_DURABILITY_UNKNOWN,
                                                          RMW_QOS_DEADLINE_DEFAULT,
                                                          RMW_QOS_LIFESPAN_DEFAULT,
                                                          RMW_QOS_POLICY_LIVELINESS_UNKNOWN,
                                                          RMW_QOS_LIVELINESS_LEASE_DURATION_DEFAULT,
                                                          false};

#ifdef __cplusplus
}
#endif
