# The public C++ library quillbank::aztec (include/quillbank/aztec.hpp) on
# the core libraries, and its installation with a CMake package, so that a
# C++ project can find_package(quillbank_aztec CONFIG) and link it.  Built
# under pip as well, for the extension modules to link; installed only
# by CMake's own install, not into the wheel.
include(GNUInstallDirs)
add_library(quillbank_aztec STATIC
  core/aztec_options.cpp
  core/aztec_make.cpp
  core/aztec_steps.cpp
  core/aztec_pictures.cpp
  core/aztec_read.cpp
  core/packed_modules.cpp
)
add_library(quillbank::aztec ALIAS quillbank_aztec)
target_include_directories(quillbank_aztec PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(quillbank_aztec PRIVATE aztec_smallest aztec_batch aztec_reader)
target_compile_options(quillbank_aztec PRIVATE ${QUILLBANK_WARNINGS})
target_compile_features(quillbank_aztec PUBLIC cxx_std_17)
set_target_properties(quillbank_aztec PROPERTIES EXPORT_NAME aztec)
if(SKBUILD)
  return()
endif()

include(CMakePackageConfigHelpers)
# The version is __version__ in src/quillbank/aztec/__init__.py, as for pip.
file(STRINGS src/quillbank/aztec/__init__.py QUILLBANK_VERSION_LINE REGEX "^__version__ = ")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" QUILLBANK_VERSION "${QUILLBANK_VERSION_LINE}")
set(QUILLBANK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillbank_aztec)
# A static library carries its dependencies along: the core libraries
# are installed beside it (their headers are not).
install(TARGETS quillbank_aztec aztec_smallest aztec_optimal aztec_symbol_core aztec_core aztec_batch aztec_reader
        EXPORT quillbank_aztec_targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/quillbank/aztec.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillbank)
install(EXPORT quillbank_aztec_targets NAMESPACE quillbank:: FILE quillbank_aztecTargets.cmake
        DESTINATION ${QUILLBANK_CMAKE_DIR})
configure_package_config_file(cmake/quillbank_aztecConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quillbank_aztecConfig.cmake INSTALL_DESTINATION ${QUILLBANK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quillbank_aztecConfigVersion.cmake
  VERSION ${QUILLBANK_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quillbank_aztecConfig.cmake
              ${PROJECT_BINARY_DIR}/quillbank_aztecConfigVersion.cmake
        DESTINATION ${QUILLBANK_CMAKE_DIR})
