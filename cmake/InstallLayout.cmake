# Where an installation puts each part (GNU install folders), and how a
# program finds its plug-ins and its page from its own folder: the program
# looks at run time, relative to where it was started from, so an installed
# tree can be moved to another prefix and the build tree works as it is.
include(GNUInstallDirs)

# Plug-ins are ours alone: a private folder, never the system's search path.
set(LOGRUM2_INSTALL_PLUGINDIR "${CMAKE_INSTALL_LIBDIR}/logrum2" CACHE STRING
    "Folder of the plug-in libraries, relative to the installation prefix")
set(LOGRUM2_INSTALL_WEBDIR "${CMAKE_INSTALL_DATADIR}/logrum2/web")

function(logrum_from_bin out dir)
  if(IS_ABSOLUTE "${dir}")
    set(full "${dir}")
  else()
    set(full "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  file(RELATIVE_PATH relative "${CMAKE_INSTALL_FULL_BINDIR}" "${full}")
  set(${out} "${relative}" PARENT_SCOPE)
endfunction()

# Compiled into the platform layer's library search (DynamicLibrary.cc).
logrum_from_bin(LOGRUM2_PLUGIN_FOLDER_FROM_BIN "${LOGRUM2_INSTALL_PLUGINDIR}")
# The console finds its page at <program folder>/../share/logrum2/web, in the
# build tree and installed alike.
logrum_from_bin(web_from_bin "${LOGRUM2_INSTALL_WEBDIR}")
if(NOT web_from_bin STREQUAL "../share/logrum2/web")
  message(FATAL_ERROR "recserver finds its page at BINDIR/../share/logrum2/web; "
    "CMAKE_INSTALL_BINDIR and CMAKE_INSTALL_DATADIR put it at BINDIR/${web_from_bin}")
endif()
