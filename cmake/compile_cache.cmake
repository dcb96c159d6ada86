# Every compiler call goes through ccache when it is installed, so a new build
# tree or a new clone of the same sources compiles only what changed. Its cache
# folder (CCACHE_DIR, ~/.cache/ccache by default) outlives build trees and
# checkouts. -DKELVO_CCACHE=OFF compiles without it.
#
# (Precompiled headers were measured and left out: the heavy part of the
# slowest sources is instantiating Asio's coroutine templates, not parsing
# headers, and a full tree built with them took as long as without.)
option(KELVO_CCACHE "Compile through ccache when it is installed" ON)
find_program(KELVO_CCACHE_PROGRAM ccache)
if(KELVO_CCACHE AND KELVO_CCACHE_PROGRAM AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  # Paths are hashed relative to the checkout, so that another clone of the
  # same sources finds the same entries.
  set(CMAKE_CXX_COMPILER_LAUNCHER
      ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} ${KELVO_CCACHE_PROGRAM})
endif()
