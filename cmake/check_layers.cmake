# check_layers.cmake -- fails the build when a file of a subsystem folder
# includes a header of a folder above it. The layers run one way, lowest
# first (storage <- http <- api <- node); linking alone does not catch an
# include of a header that needs nothing linked, nor one hidden while a lower
# library still links a higher one.
#
# Run by the build with cmake -P and:
#   LAYERS      the folders, lowest first, separated by commas
#   CHECKED     the folders whose files are checked, separated by commas
#   SOURCE_DIR  the source tree
#   STAMP       the file touched when every checked file keeps to its layer
# Test programs (*_test.cpp) may include anything, to set up what they test.
string(REPLACE "," ";" layers "${LAYERS}")
string(REPLACE "," ";" checked "${CHECKED}")
set(failures "")
foreach(layer IN LISTS checked)
  list(FIND layers ${layer} position)
  math(EXPR first_above "${position} + 1")
  list(SUBLIST layers ${first_above} -1 above)
  file(GLOB files ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.h)
  list(FILTER files EXCLUDE REGEX "_test\\.cpp$")
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      foreach(higher IN LISTS above)
        if(line MATCHES "\"${higher}/")
          string(APPEND failures "  ${file}: ${line}\n")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "Includes of a higher folder (storage <- http <- api <- node):\n${failures}")
endif()
file(TOUCH ${STAMP})
