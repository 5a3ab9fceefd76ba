# cmake --install: programs to bin/, plug-ins to their private folder, the
# console's page to share/logrum2/web. The state folder (/var/lib/logrum2) is
# made at run time (systemd's StateDirectory= for the service), not here.
set(LOGRUM2_INSTALL_PROGRAMS recserver logrum-reg logrum-client logrum-logview logrum-segment
    logrum-capture)
# Every library a program or plug-in loads by file name at run time.
set(LOGRUM2_INSTALL_PLUGINS archsvc audiosrc audenc gpiolink ftpxfer diaglog traceprov)

foreach(target IN LISTS LOGRUM2_INSTALL_PROGRAMS LOGRUM2_INSTALL_PLUGINS)
  if(NOT TARGET ${target})
    message(FATAL_ERROR "install: no target ${target}")
  endif()
endforeach()

# Nothing of ours is linked as a shared library (plug-ins are loaded by path),
# so the run path only has to lead from each file to the plug-in folder.
set_target_properties(${LOGRUM2_INSTALL_PROGRAMS} PROPERTIES
  INSTALL_RPATH "$ORIGIN/${LOGRUM2_PLUGIN_FOLDER_FROM_BIN}")
set_target_properties(${LOGRUM2_INSTALL_PLUGINS} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS ${LOGRUM2_INSTALL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${LOGRUM2_INSTALL_PLUGINS} LIBRARY DESTINATION ${LOGRUM2_INSTALL_PLUGINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/Web/ DESTINATION ${LOGRUM2_INSTALL_WEBDIR})
