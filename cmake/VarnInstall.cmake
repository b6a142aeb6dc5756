# `cmake --install <build> --prefix <p>` installs the two libraries a host application links:
#   <p>/lib/libVarnCrypto.so, <p>/lib/libVarnAPIClient.so
#   <p>/include/varn/...               their public headers, under the paths the sources use
#   <p>/lib/cmake/Varn/                the CMake package Varn (components Crypto and APIClient)
#   <p>/lib/pkgconfig/varn-*.pc        the same for pkg-config
# The server (varn-mcp, libVarnMCPCore.so) is not installed: it runs from the source tree through
# scripts/run, and nothing outside the tree links it.
#
# The headers of support/ that the public headers include come along. Their inline code (the record
# codec, Uuid) calls functions of the static varn_support; those are linked into the shared
# libraries with default visibility and so reach a host through them (tests/host/run checks that
# a host links with nothing else). Hosts get the headers under include/varn, not include/, so that
# folders named crypto/, api/ and support/ do not land in a shared include folder.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(varn_crypto_headers
    crypto/vault/AgentBundle.hpp
    crypto/vault/Base64.hpp
    crypto/vault/Crypto.hpp
    crypto/vault/ItemPayload.hpp
    crypto/vault/KeyModels.hpp
    crypto/vault/SecretBytes.hpp
    crypto/vault/SecureEnclaveKeyStore.hpp
    crypto/vault/VarnCryptoError.hpp
    crypto/vault/VaultCrypto.hpp
    support/Json.hpp
    support/JsonRecord.hpp
    support/Uuid.hpp)
set(varn_apiclient_headers
    api/core/APIError.hpp
    api/core/Base64URL.hpp
    api/core/HttpSession.hpp
    api/core/InternetDate.hpp
    api/core/ServerURL.hpp
    api/VarnAPIClient.hpp
    api/core/WireTypes.hpp
    api/endpoints/AuthAPI.hpp
    api/endpoints/BootstrapAPI.hpp
    api/endpoints/InviteAPI.hpp
    api/endpoints/RequestRecords.hpp
    api/models/AccountRecords.hpp
    api/models/CryptoParamsDTO.hpp
    api/models/InviteRecords.hpp
    api/models/ItemRecords.hpp
    api/models/JSONValue.hpp
    api/models/WrappedKeyDTO.hpp
    support/CurlSession.hpp
    support/Uri.hpp)
set(varn_install_includedir ${CMAKE_INSTALL_INCLUDEDIR}/varn)
foreach(header IN LISTS varn_crypto_headers varn_apiclient_headers)
  cmake_path(GET header PARENT_PATH folder)
  install(FILES ${header} DESTINATION ${varn_install_includedir}/${folder})
endforeach()

# libVarnAPIClient.so finds libVarnCrypto.so beside itself wherever the prefix lies.
set_target_properties(VarnAPIClient PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS VarnCrypto VarnAPIClient LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The package files name everything relative to their own folder, so a prefix can be moved.
set(varn_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Varn)
configure_package_config_file(cmake/VarnConfig.cmake.in ${CMAKE_BINARY_DIR}/VarnConfig.cmake
                              INSTALL_DESTINATION ${varn_cmake_dir}
                              PATH_VARS CMAKE_INSTALL_LIBDIR varn_install_includedir)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VarnConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VarnConfig.cmake ${CMAKE_BINARY_DIR}/VarnConfigVersion.cmake
        DESTINATION ${varn_cmake_dir})

set(varn_pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
cmake_path(RELATIVE_PATH CMAKE_INSTALL_LIBDIR BASE_DIRECTORY ${varn_pkgconfig_dir}
           OUTPUT_VARIABLE varn_pc_libdir)
cmake_path(RELATIVE_PATH varn_install_includedir BASE_DIRECTORY ${varn_pkgconfig_dir}
           OUTPUT_VARIABLE varn_pc_includedir)
foreach(pc varn-crypto varn-apiclient)
  configure_file(cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${varn_pkgconfig_dir})
endforeach()
