# Debian packages of an installed build (cpack -G DEB in the build folder):
#   libqzioe3     the extension library
#   libqzkernel1  the stand-in kernel library that qzio and test hosts run on
#   libqzioe-dev  headers, pkg-config files and CMake packages of both
#                 libraries
#   qzio          the tool and its manual
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(qzioe_deb_arch i386)
else()
  set(qzioe_deb_arch amd64)
endif()
set(qzioe_deb_version ${PROJECT_VERSION})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qzioe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qzioe developers <qzioe@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${qzioe_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL runtime development standin-dev tool standin)

set(CPACK_COMPONENT_RUNTIME_GROUP libqzioe3)
set(CPACK_COMPONENT_DEVELOPMENT_GROUP libqzioe-dev)
set(CPACK_COMPONENT_STANDIN-DEV_GROUP libqzioe-dev)
set(CPACK_COMPONENT_TOOL_GROUP qzio)
set(CPACK_COMPONENT_STANDIN_GROUP libqzkernel1)

# Dependencies by hand: the symbol versions the binaries need (GLIBC_2.33
# for the extension, GLIBC_2.34,
# GLIBCXX_3.4.29, GCC_3.0) and the packages of this build, same version.
set(CPACK_DEBIAN_LIBQZIOE3_PACKAGE_NAME libqzioe3)
set(CPACK_DEBIAN_LIBQZIOE3_DESCRIPTION
  "file input/output extension of the QZ kernel\nThe shared library the kernel loads: record-oriented file handles with\ntranscoding, path expansion, file-system services and the kernel's\nsupport library.")
set(CPACK_DEBIAN_LIBQZIOE3_PACKAGE_DEPENDS "libc6 (>= 2.33), libgcc-s1 (>= 3.0)")

set(CPACK_DEBIAN_LIBQZKERNEL1_PACKAGE_NAME libqzkernel1)
set(CPACK_DEBIAN_LIBQZKERNEL1_DESCRIPTION
  "stand-in of the QZ kernel for the file extension\nThe kernel operations the extension uses (pools, locks, lists, transcoders,\njournals, sibling extensions) with counters and fault switches, for qzio\nand for hosts that test against the extension.")
set(CPACK_DEBIAN_LIBQZKERNEL1_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libstdc++6 (>= 11), libgcc-s1 (>= 3.0)")

set(CPACK_DEBIAN_LIBQZIOE-DEV_PACKAGE_NAME libqzioe-dev)
set(CPACK_DEBIAN_LIBQZIOE-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBQZIOE-DEV_DESCRIPTION
  "file input/output extension of the QZ kernel: development files\nC headers, pkg-config files (qzioe, qzkernel) and the CMake package\nqzioe for hosts that load the extension or link its support library.")
set(CPACK_DEBIAN_LIBQZIOE-DEV_PACKAGE_DEPENDS
  "libqzioe3 (= ${qzioe_deb_version}), libqzkernel1 (= ${qzioe_deb_version})")

set(CPACK_DEBIAN_QZIO_PACKAGE_NAME qzio)
set(CPACK_DEBIAN_QZIO_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QZIO_DESCRIPTION
  "command-line tool for the QZ kernel's file extension\nLoads the extension into the stand-in kernel as the kernel does and uses its\nservices: cat, convert, ls, cp, printf and more.")
set(CPACK_DEBIAN_QZIO_PACKAGE_DEPENDS
  "libqzioe3 (= ${qzioe_deb_version}), libqzkernel1 (= ${qzioe_deb_version}), libc6 (>= 2.34),\
 libstdc++6 (>= 11), libgcc-s1 (>= 3.0)")

include(CPack)
