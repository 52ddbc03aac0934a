# What a host must link beside the static library, and the pkg-config file that says so.

# The C++ compiler's own run-time libraries that the C compiler does not link by itself
# (libstdc++ and libm with GCC): a C host links the static library with the C compiler.
function(ostrel_cxx_runtime_libraries out_var)
  set(libs ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
  if(CMAKE_C_IMPLICIT_LINK_LIBRARIES)
    list(REMOVE_ITEM libs ${CMAKE_C_IMPLICIT_LINK_LIBRARIES})
  endif()
  # The unwinder is the C driver's to choose (static or shared libgcc); naming it here would
  # tie mingw-w64 programs built with -static-libgcc to libgcc_s_seh-1.dll.
  list(REMOVE_ITEM libs gcc_s)
  list(REMOVE_DUPLICATES libs)
  set(${out_var} ${libs} PARENT_SCOPE)
endfunction()

# Writes ostrel.pc. Its prefix is found from where the file lies, so an installed tree can be
# moved or installed under any --prefix and still give the right -I and -L.
function(ostrel_pkg_config_file out_file runtime_libs)
  set(pc_dir ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH prefix_from_pc_dir ${pc_dir} ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" prefix_from_pc_dir "${prefix_from_pc_dir}")
  file(RELATIVE_PATH OSTREL_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
  file(RELATIVE_PATH OSTREL_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
  set(OSTREL_PC_PREFIX "\${pcfiledir}/${prefix_from_pc_dir}")

  set(private "")
  foreach(lib IN LISTS runtime_libs)
    string(APPEND private " -l${lib}")
  endforeach()
  if(CMAKE_THREAD_LIBS_INIT)
    string(APPEND private " ${CMAKE_THREAD_LIBS_INIT}")
  endif()
  if(WIN32)
    string(APPEND private " -lws2_32")
  endif()
  string(STRIP "${private}" OSTREL_PC_LIBS_PRIVATE)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/ostrel.pc.in ${out_file} @ONLY)
endfunction()
