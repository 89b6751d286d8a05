# Install.cmake: what `cmake --install` lays under the prefix besides the product tree (which the components
# install themselves), the CMake package and pkg-config file of the host client, and the release archive.
#
#   bin/veltrix-perl, bin/veltrix-server
#   lib/libVeltrixHostClient.so.1.0.0 (.so.1, .so)     include/veltrix-perl/HostClient/PerlClient.h ...
#   lib/cmake/VeltrixPerl/                             lib/pkgconfig/veltrix-perl.pc
#   lib/veltrix-perl/Binaries/...                      the product tree, with Perl's runtime under
#                                                      Binaries/Perl/Windows/X64/runtime
#   share/doc/veltrix-perl/
include(CMakePackageConfigHelpers)

set(_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/VeltrixPerl)
set(_include_dir ${CMAKE_INSTALL_INCLUDEDIR}/veltrix-perl)

# Programs find the host client library beside them, wherever the prefix is moved.
file(RELATIVE_PATH _lib_from_bin /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
foreach(program veltrix-perl veltrix-server)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${_lib_from_bin}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(TARGETS veltrix_host_client EXPORT VeltrixPerlTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The public headers and the message definitions they use; nothing else of the native side.
file(GLOB _public_headers ${PROJECT_SOURCE_DIR}/HostClient/include/HostClient/*.h)
install(FILES ${_public_headers} DESTINATION ${_include_dir}/HostClient)
install(FILES ${PROJECT_SOURCE_DIR}/VeltrixNativeInterfaces/_common.h DESTINATION ${_include_dir})
install(FILES
  ${PROJECT_SOURCE_DIR}/VeltrixNative/Definitions/commandHeader.h
  ${PROJECT_SOURCE_DIR}/VeltrixNative/Definitions/commandTypes.h
  ${PROJECT_SOURCE_DIR}/VeltrixNative/Definitions/limits.h
  ${PROJECT_SOURCE_DIR}/VeltrixNative/Definitions/runtimes.h
  DESTINATION ${_include_dir}/Definitions)

# Other runtimes load the Perl bridge under its generic name: a relative link beside it in the native directory.
set(_native_dir "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VELTRIX_INSTALL_PRODUCTDIR}/${VELTRIX_NATIVE_REL}")
install(CODE "file(CREATE_LINK VeltrixPerl540RuntimeNative.dll \"${_native_dir}/VeltrixPerlRuntimeNative.dll\" SYMBOLIC)
message(STATUS \"Installing: ${_native_dir}/VeltrixPerlRuntimeNative.dll -> VeltrixPerl540RuntimeNative.dll\")")

# The Perl runtime: Perl's whole lib tree (core modules, their XS parts, libperl), as Perl's own prefix lays it.
if(VELTRIX_BUNDLE_PERL)
  install(DIRECTORY ${PERL_PREFIX}/lib/
    DESTINATION ${VELTRIX_INSTALL_PRODUCTDIR}/${VELTRIX_PERL_RUNTIME_REL}/lib USE_SOURCE_PERMISSIONS)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})

# CMake package: find_package(VeltrixPerl 1.0 CONFIG) gives Veltrix::HostClient and VeltrixPerl_PRODUCT_DIR.
install(EXPORT VeltrixPerlTargets NAMESPACE Veltrix:: DESTINATION ${_package_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VeltrixPerlConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VeltrixPerlConfig.cmake
  INSTALL_DESTINATION ${_package_dir}
  PATH_VARS VELTRIX_INSTALL_PRODUCTDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VeltrixPerlConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VeltrixPerlConfig.cmake ${PROJECT_BINARY_DIR}/VeltrixPerlConfigVersion.cmake
  DESTINATION ${_package_dir})

# pkg-config: paths relative to the .pc file, so that a moved prefix still answers right.
file(RELATIVE_PATH VELTRIX_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VELTRIX_PC_PREFIX "${VELTRIX_PC_PREFIX}")
if(VELTRIX_HOST_CLIENT_STATIC)
  set(VELTRIX_PC_LIBS "-ldl")
else()
  set(VELTRIX_PC_LIBS "-Wl,-rpath,\${libdir}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/veltrix-perl.pc.in ${PROJECT_BINARY_DIR}/veltrix-perl.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/veltrix-perl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Release archive: `cpack` in the build directory makes a .tar.gz of the installed tree (with a README at its top)
# and a .deb that installs it under /usr.
set(CPACK_PACKAGE_NAME veltrix-perl)
set(CPACK_PACKAGE_VENDOR Veltrix)
set(CPACK_PACKAGE_CONTACT "Veltrix <veltrix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Perl 5.40 bridge with its C++ host client, tools and Perl runtime")
set(CPACK_PACKAGE_FILE_NAME veltrix-perl-${PROJECT_VERSION}-Linux-x86_64)
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The bundled libperl comes from no package: dpkg-shlibdeps would refuse it, so the dependencies are named.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1, libssl3, libcrypt1")
set(CPACK_VELTRIX_README_DIR ${PROJECT_BINARY_DIR}/release-readme)
configure_file(${PROJECT_SOURCE_DIR}/cmake/release-README.in ${CPACK_VELTRIX_README_DIR}/README @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackProject.cmake)
include(CPack)
