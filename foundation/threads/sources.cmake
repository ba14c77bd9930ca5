# Threads, events, the thread pool and job API, job kernels, the locked ring buffer and
# command threads.
target_sources(tallow_foundation PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/thread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/spin_mutex.cpp
    ${CMAKE_CURRENT_LIST_DIR}/event.cpp
    ${CMAKE_CURRENT_LIST_DIR}/processor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/thread_registry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/thread_pool.cpp
    ${CMAKE_CURRENT_LIST_DIR}/job.cpp
)
target_sources(tallow_foundation PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/job_kernel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/locked_ring_buffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/command_thread.cpp
)
