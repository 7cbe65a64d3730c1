# Installation: the extension with its headers, the stand-in kernel as a
# component of its own, qzio; a pkg-config file and a CMake package for each
# library. Libraries go to Debian's multiarch folder, so the 32-bit and the
# 64-bit builds install side by side.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(qzioe_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/qzioe)

target_include_directories(qzioe INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(qzioe PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
install(TARGETS qzioe EXPORT qzioeTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qz ${PROJECT_SOURCE_DIR}/include/qzioe
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT qzioeTargets NAMESPACE qzioe:: DESTINATION ${qzioe_cmake_dir} COMPONENT development)

# The stand-in's library (what qzio runs on) and its files for host builds
# are two components, so that packages can keep them apart.
target_include_directories(qzkernel INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(qzkernel PROPERTIES VERSION 1.0.0 SOVERSION 1)
install(TARGETS qzkernel EXPORT qzkernelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT standin NAMELINK_COMPONENT standin-dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/kernel/include/qzkernel
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT standin-dev)
install(EXPORT qzkernelTargets NAMESPACE qzioe:: DESTINATION ${qzioe_cmake_dir}
  COMPONENT standin-dev)

if(TARGET qzio)
  set_target_properties(qzio PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  target_compile_definitions(qzio PRIVATE QZIOE_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS qzio RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  # Manual pages are installed compressed, as Debian has them.
  set(qzio_man ${PROJECT_BINARY_DIR}/qzio.1.gz)
  add_custom_command(OUTPUT ${qzio_man}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/docs/qzio.1 > ${qzio_man}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/qzio.1 VERBATIM)
  add_custom_target(qzio_manual ALL DEPENDS ${qzio_man})
  install(FILES ${qzio_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
endif()

# Relative to the .pc file, so that an installed tree can move.
file(RELATIVE_PATH QZIOE_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
foreach(pc qzioe qzkernel)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/install/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/qzioe.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/qzkernel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT standin-dev)
configure_file(${PROJECT_SOURCE_DIR}/cmake/install/qzioeConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qzioeConfig.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qzioeConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qzioeConfig.cmake ${PROJECT_BINARY_DIR}/qzioeConfigVersion.cmake
  DESTINATION ${qzioe_cmake_dir} COMPONENT development)

include(${PROJECT_SOURCE_DIR}/cmake/Package.cmake)
