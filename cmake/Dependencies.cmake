# nb_public_dependency(CMAKE_PACKAGE PKG_CONFIG_MODULE): records a library that
# applications must link along with nb, for the installed CMake package and nb.pc.
function(nb_public_dependency cmake_package pc_module)
  set_property(GLOBAL APPEND PROPERTY NB_CMAKE_DEPENDENCIES ${cmake_package})
  set_property(GLOBAL APPEND PROPERTY NB_PC_REQUIRES ${pc_module})
endfunction()
