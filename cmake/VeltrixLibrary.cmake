# VeltrixLibrary.cmake: shared objects that keep the product's file names and sit in the staged native directory.

# veltrix_product: the whole staged product tree (native libraries, Perl modules and XS parts).
add_custom_target(veltrix_product)

function(veltrix_native_library target file_name)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${file_name}
    SUFFIX ".dll"
    LIBRARY_OUTPUT_DIRECTORY ${VELTRIX_NATIVE_DIR}
    BUILD_RPATH "${PERL_CORE_DIR}")
  veltrix_perl_rpath(${target} ${VELTRIX_NATIVE_REL})
  if(NOT VELTRIX_SANITIZE AND NOT VELTRIX_TSAN)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  add_dependencies(veltrix_product ${target})
  if(VELTRIX_INSTALL)
    install(TARGETS ${target} LIBRARY DESTINATION ${VELTRIX_INSTALL_PRODUCTDIR}/${VELTRIX_NATIVE_REL})
  endif()
endfunction()

# Restricts a library's exported symbols to the names in its version script.
function(veltrix_export_map target map_file)
  target_link_options(${target} PRIVATE -Wl,--version-script=${map_file} -Wl,-Bsymbolic)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map_file})
endfunction()
