# AsioUnderTsan.cmake: under ThreadSanitizer GCC warns (-Wtsan) at every std::atomic_thread_fence, and asio's
# fenced blocks use one, so with warnings as errors no asio user would build. TSan does not model fences;
# asio's queues synchronise through mutexes, which it does see. That one warning is silenced for the targets
# that use asio (those that carry ASIO_STANDALONE) and for whatever links them; every other warning stays an
# error there, and elsewhere nothing changes.
function(veltrix_silence_tsan_fence_warning_for_asio)
  if(NOT VELTRIX_TSAN)
    return()
  endif()
  set(dirs ${CMAKE_SOURCE_DIR})
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    list(APPEND dirs ${subdirs})
    foreach(target IN LISTS targets)
      get_target_property(own ${target} COMPILE_DEFINITIONS)
      get_target_property(passed ${target} INTERFACE_COMPILE_DEFINITIONS)
      if("ASIO_STANDALONE" IN_LIST own OR "ASIO_STANDALONE" IN_LIST passed)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "INTERFACE_LIBRARY")
          target_compile_options(${target} INTERFACE -Wno-tsan)
        else()
          target_compile_options(${target} PUBLIC -Wno-tsan)
        endif()
      endif()
    endforeach()
  endwhile()
endfunction()
