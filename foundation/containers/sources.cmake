# Containers are header-only templates: array.h, hash_map.h, hash_set.h, sort_map.h,
# ordered_map.h. This fragment lists their sources once any get one.
