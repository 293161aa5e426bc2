# What a server developer builds against: the public headers with their folders, the version
# header, the CMake package and the pkg-config file. The headers need the standard library alone.
configure_file(${PROJECT_SOURCE_DIR}/interfaces/QNResourceAgentVersion.h.in ${PROJECT_BINARY_DIR}/interfaces/QNResourceAgentVersion.h @ONLY)

set(public_headers
  agent/XLoadMonitor.h agent/XLoadMonitorSettings.h agent/XProcessAgent.h agent/XProcessResourceObserverInstance.h
  emergency/QNServerEmergency.h emergency/XEmergencyHandlerHelper.h emergency/XResourceEmergencyHandler.h
  interfaces/QNComUtilities64.h interfaces/QNConvert64.h interfaces/QNError64.h interfaces/QNResourceAgentRecords.h
  interfaces/QNResourceObserverInterfaces.h interfaces/QNServerBaseLib64.h
  platform/Bstr.h platform/Com.h platform/Export.h platform/WinTypes.h)
foreach(header IN LISTS public_headers)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${QN_INCLUDE_DIR}/${folder} COMPONENT development)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/interfaces/QNResourceAgentVersion.h DESTINATION ${QN_INCLUDE_DIR}/interfaces COMPONENT development)

include(CMakePackageConfigHelpers)
set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/QNResourceAgent64)
install(EXPORT QNResourceAgent64Targets NAMESPACE QNResourceAgent64:: DESTINATION ${package_dir} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QNResourceAgent64Config.cmake.in
                              ${PROJECT_BINARY_DIR}/QNResourceAgent64Config.cmake INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QNResourceAgent64ConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QNResourceAgent64Config.cmake ${PROJECT_BINARY_DIR}/QNResourceAgent64ConfigVersion.cmake
        DESTINATION ${package_dir} COMPONENT development)

# Relative to its own folder, so that the file holds wherever the tree is installed.
file(RELATIVE_PATH QN_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QN_PC_TO_PREFIX "${QN_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/QNResourceAgent64.pc.in ${PROJECT_BINARY_DIR}/QNResourceAgent64.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/QNResourceAgent64.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
