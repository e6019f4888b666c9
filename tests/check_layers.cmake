# Fails when a source includes a folder of ours above its own layer: core/
# includes only core/, driver/ also core/, tables/ also driver/, and plugin/
# may include them all while nothing includes plugin/.
set(layers core driver tables plugin)
set(allowed)
foreach(layer IN LISTS layers)
  list(APPEND allowed ${layer})
  file(GLOB sources ${ROOT}/${layer}/*.h ${ROOT}/${layer}/*.cpp)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} includes REGEX "^#include \"[a-z]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([a-z]+)/.*" "\\1" folder "${line}")
      list(FIND allowed ${folder} at)
      if(at LESS 0)
        message(SEND_ERROR "${source}: ${line} reaches above ${layer}/")
      endif()
    endforeach()
  endforeach()
endforeach()
