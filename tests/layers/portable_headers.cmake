# Fails when a portable file of the platform layer (DIR/*.h, DIR/*.cpp; the
# system halves live in folders below) includes a system header or names a
# system type: the parts above include these headers on every port, and
# every port builds these files, so only the C++ library may appear in them.
#   cmake -DDIR=<folder> -P portable_headers.cmake
file(GLOB headers "${DIR}/*.h" "${DIR}/*.cpp")
if(NOT headers)
  message(FATAL_ERROR "no headers in ${DIR}")
endif()
set(failed "")
foreach(h IN LISTS headers)
  file(STRINGS "${h}" lines)
  foreach(line IN LISTS lines)
    # C++ library headers have neither a suffix nor a folder; <sys/x.h>,
    # <unistd.h> and their kind have both or one.
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<([^>]*[./][^>]*)>")
      list(APPEND failed "${h}: includes <${CMAKE_MATCH_1}>")
    endif()
    if(line MATCHES "(^|[^A-Za-z0-9_])(uid_t|gid_t|pid_t|ssize_t|mode_t|off_t|socklen_t)([^A-Za-z0-9_]|$)")
      list(APPEND failed "${h}: names ${CMAKE_MATCH_2}")
    endif()
  endforeach()
endforeach()
if(failed)
  list(JOIN failed "\n" text)
  message(FATAL_ERROR "${text}")
endif()
