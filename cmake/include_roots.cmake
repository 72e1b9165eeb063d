# Include roots that hold only what a target may see. The source tree itself is never an include
# root: a target gets a folder of the build tree with links to the folders (or single headers) of
# the source tree it is granted, each at its own path, so that "helper/constants.h" is found
# from the helper and "platform/linux/linux_bus.h" is not. The contracts come from
# platform/include through pendra_platform, the Linux layer's installer from
# pendra_platform_linux; the layer's own headers are granted only where docs/architecture.md
# says they may be seen.
#
#   pendra_grant_folders(<target> <PUBLIC|PRIVATE|INTERFACE> <path in the source tree>...)
function(pendra_grant_folders target scope)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${target})
  set(wanted)
  foreach(item ${ARGN})
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${item})
      message(FATAL_ERROR "${target} is granted ${item}, which is not in the source tree")
    endif()
    list(APPEND wanted ${root}/${item})
  endforeach()
  # Links of an earlier grant that is no longer made go, so that a folder taken away is gone.
  # file(REMOVE) deletes a link itself, never what it points to.
  if(EXISTS ${root})
    file(GLOB_RECURSE entries LIST_DIRECTORIES true ${root}/*)
    foreach(entry ${entries})
      if(IS_SYMLINK ${entry} AND NOT entry IN_LIST wanted)
        file(REMOVE ${entry})
      endif()
    endforeach()
  endif()
  foreach(item ${ARGN})
    get_filename_component(parent ${root}/${item} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${item} ${root}/${item} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${root})
endfunction()
