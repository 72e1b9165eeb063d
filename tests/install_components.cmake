# What an install places: by default the helper bundle alone; the devtools component the
# stand-in applications and the defaults command, nothing of the helper.
#   cmake -DBUILD_DIR=<build folder> -DPREFIX=<scratch folder> -P install_components.cmake
file(REMOVE_RECURSE "${PREFIX}")

function(install_into prefix)
  execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}" ${ARGN}
                  RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install ${ARGN} into ${prefix} failed: ${status}")
  endif()
endfunction()

function(expect prefix path present)
  if(present AND NOT EXISTS "${prefix}/${path}")
    message(SEND_ERROR "${prefix} lacks ${path}")
  elseif(NOT present AND EXISTS "${prefix}/${path}")
    message(SEND_ERROR "${prefix} holds ${path}")
  endif()
endfunction()

set(helper "share/pendra/PendraMacSandboxHelper.app/Contents/MacOS/PendraMacSandboxHelper")
set(devtools "Applications/PendraMac.app/Contents/MacOS/PendraMac"
             "Applications/PendraMac Development.app/Contents/Info.plist"
             "Applications/Sample Document.app/Contents/MacOS/SampleDocument"
             "bin/pendra-write-default")

install_into("${PREFIX}/default")
expect("${PREFIX}/default" "${helper}" TRUE)
expect("${PREFIX}/default" "Applications" FALSE)
expect("${PREFIX}/default" "bin" FALSE)

install_into("${PREFIX}/devtools" --component devtools)
expect("${PREFIX}/devtools" "share" FALSE)
foreach(path IN LISTS devtools)
  expect("${PREFIX}/devtools" "${path}" TRUE)
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
