# Installation: the library (static `quodem` and shared `quodem_shared`, both libquodem), its
# public headers, a CMake package (find_package(Quodem) gives Quodem::quodem, the static
# library, and Quodem::quodem_shared), a pkg-config file and the quodem tool.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUODEM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quodem)

# The public headers need C++17 (the library itself is built as C++20); consumers of the
# installed targets get at least that.
target_compile_features(quodem INTERFACE cxx_std_17)
target_compile_features(quodem_shared INTERFACE cxx_std_17)

install(TARGETS quodem quodem_shared
  EXPORT QuodemTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/quodem
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

install(EXPORT QuodemTargets
  NAMESPACE Quodem::
  FILE QuodemTargets.cmake
  DESTINATION ${QUODEM_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuodemConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuodemConfig.cmake
  INSTALL_DESTINATION ${QUODEM_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuodemConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuodemConfig.cmake ${PROJECT_BINARY_DIR}/QuodemConfigVersion.cmake
  DESTINATION ${QUODEM_CMAKE_DIR})

# pkg-config: the file finds its prefix from where it lies (${pcfiledir}), so an install
# with `cmake --install --prefix DIR` into any folder gives a correct file.
file(RELATIVE_PATH QUODEM_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" QUODEM_PC_TO_PREFIX "${QUODEM_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quodem.pc.in ${PROJECT_BINARY_DIR}/quodem.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quodem.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET quodem_tool)
  install(TARGETS quodem_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
