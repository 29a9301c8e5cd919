# Installed layout: the programs and their data files share one program
# directory, because the program looks for the log reader and the help file
# beside its own executable. The bin directory holds links to the programs.
include(GNUInstallDirs)
set(NATTER_PROGRAM_DIR "libexec/natter-duo" CACHE STRING "Installed program directory, relative to the prefix")
set(NATTER_FULL_PROGRAM_DIR "${CMAKE_INSTALL_PREFIX}/${NATTER_PROGRAM_DIR}")
# Directories the package creates are rwxr-xr-x whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# natter_install_link(<directory> <name> <target>): installs a relative
# link <directory>/<name> to <target>; both directories are relative to the
# prefix.
function(natter_install_link directory name target)
  file(RELATIVE_PATH relative "${CMAKE_INSTALL_PREFIX}/${directory}" "${CMAKE_INSTALL_PREFIX}/${target}")
  set(link "${CMAKE_CURRENT_BINARY_DIR}/links/${directory}/${name}")
  get_filename_component(folder "${link}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  file(CREATE_LINK "${relative}" "${link}" SYMBOLIC)
  install(FILES "${link}" DESTINATION "${directory}")
endfunction()

# natter_install_program(<target>): the program goes to the program
# directory, and a link to it to the bin directory.
function(natter_install_program target)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${NATTER_PROGRAM_DIR})
  natter_install_link(${CMAKE_INSTALL_BINDIR} ${name} "${NATTER_PROGRAM_DIR}/${name}")
endfunction()
