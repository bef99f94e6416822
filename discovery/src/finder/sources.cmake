# The finder path's sources, compiled into the discovery core library.
# Include this file; it sets SEEKWELL_FINDER_SOURCES and SEEKWELL_FINDER_LIBRARIES.
set(SEEKWELL_FINDER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/device_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_collection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/helper_device_finder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/helper_process.cpp
  ${CMAKE_CURRENT_LIST_DIR}/helper_stream_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seekwell_app.cpp
)
set(SEEKWELL_FINDER_LIBRARIES ${CMAKE_DL_LIBS})
