# Read by cpack for each package kind: the .deb installs under /usr, the
# tarball unpacks to a folder of its own (bin/, share/).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
