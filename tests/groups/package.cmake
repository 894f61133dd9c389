# The Debian package, unpacked into a fresh root and run there. Needs the whole
# build (clbview, clbtool, metersim, the manual pages) and dpkg, cpack, gzip,
# desktop-file-validate and man.
add_test(NAME PackageInstalledIntoAFreshRoot
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package/install_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
set_tests_properties(PackageInstalledIntoAFreshRoot PROPERTIES LABELS package TIMEOUT 300)
