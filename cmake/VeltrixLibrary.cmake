# VeltrixLibrary.cmake: shared objects that keep the product's file names and sit in the staged native directory.
function(veltrix_native_library target file_name)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${file_name}
    SUFFIX ".dll"
    LIBRARY_OUTPUT_DIRECTORY ${VELTRIX_NATIVE_DIR}
    BUILD_RPATH "${PERL_CORE_DIR}"
    INSTALL_RPATH "${PERL_CORE_DIR}")
  if(NOT VELTRIX_SANITIZE AND NOT VELTRIX_TSAN)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION ${VELTRIX_NATIVE_REL})
endfunction()

# Restricts a library's exported symbols to the names in its version script.
function(veltrix_export_map target map_file)
  target_link_options(${target} PRIVATE -Wl,--version-script=${map_file} -Wl,-Bsymbolic)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map_file})
endfunction()
