# Cluster extraction (k-means, grid components), split and merge, footprint polygons.
add_library(veltrax_clusters STATIC src/core/kmeans_1d.cpp src/core/cluster.cpp
  src/core/cluster_merge.cpp src/core/footprint.cpp)
target_link_libraries(veltrax_clusters PUBLIC veltrax_cv_core)
veltrax_strict_warnings(veltrax_clusters)
veltrax_add_test(test_kmeans_1d LIBS veltrax_clusters)
veltrax_add_test(test_cluster LIBS veltrax_clusters)
veltrax_add_test(test_cluster_merge LIBS veltrax_clusters)
veltrax_add_test(test_footprint LIBS veltrax_clusters)
