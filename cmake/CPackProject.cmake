# CPackProject.cmake (read by cpack for each generator): the .tar.gz carries its own README at its top; the .deb
# installs under /usr and leaves it out.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_INSTALLED_DIRECTORIES "${CPACK_VELTRIX_README_DIR};.")
endif()
