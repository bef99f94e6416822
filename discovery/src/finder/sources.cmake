# The finder path's sources, compiled into the discovery core library.
# Include this file; it sets SEEKWELL_FINDER_SOURCES and SEEKWELL_FINDER_LIBRARIES.
set(SEEKWELL_FINDER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/device_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seekwell_app.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform/finder_plugin.cpp
)
set(SEEKWELL_FINDER_LIBRARIES ${CMAKE_DL_LIBS})
