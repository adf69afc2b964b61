# The dependencies of the macOS cross-build (cmake/macos-cross.cmake), defined under the names the
# native build's find_package and pkg_check_modules give them.
#
# Header-only dependencies come from the host, each through its own folder of links, so that no
# other host header reaches the compile.
#
# The Homebrew libraries that the SDK does not carry (OpenSSL, uriparser, libwebp, and ICU's
# collation headers) cannot be linked here. Until the macOS programs move onto the system's own
# frameworks, this build takes their headers from the host too and leaves exactly their entry
# points undefined, by name; any other unresolved symbol still fails the link.
set(QOR_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(REMOVE_RECURSE ${QOR_HOST_HEADERS})

function(qor_host_header_target target folder)
  foreach(entry IN LISTS ARGN)
    get_filename_component(name ${entry} NAME)
    if(NOT EXISTS ${entry})
      message(FATAL_ERROR "macos-cross: host header ${entry} is missing (scripts/install-deps.sh)")
    endif()
    file(MAKE_DIRECTORY ${QOR_HOST_HEADERS}/${folder})
    file(CREATE_LINK ${entry} ${QOR_HOST_HEADERS}/${folder}/${name} SYMBOLIC)
  endforeach()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  # Not -isystem: these must be searched before the SDK's own folders.
  set_target_properties(${target} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${QOR_HOST_HEADERS}/${folder})
endfunction()

# Leaves exactly these symbols undefined in the programs that link `target`.
function(qor_undefined_by_name target)
  foreach(symbol IN LISTS ARGN)
    target_link_options(${target} INTERFACE "LINKER:-U,_${symbol}")
  endforeach()
endfunction()

qor_host_header_target(Boost::headers boost /usr/include/boost)
qor_host_header_target(nlohmann_json::nlohmann_json nlohmann /usr/include/nlohmann)

# --- Homebrew libraries, left for the move onto system frameworks ---------------------------------
qor_host_header_target(PkgConfig::URIPARSER uriparser /usr/include/uriparser)
qor_undefined_by_name(PkgConfig::URIPARSER uriParseSingleUriExA uriFreeUriMembersA)

qor_host_header_target(PkgConfig::WEBP webp /usr/include/webp)
qor_undefined_by_name(PkgConfig::WEBP WebPGetInfo)

qor_host_header_target(PkgConfig::STB stb /usr/include/stb/stb_image.h)

# ICU is loaded at run time: only its collation headers are needed (the SDK has the others).
file(GLOB QOR_HOST_ICU_HEADERS /usr/include/unicode/*.h)
qor_host_header_target(QorHostICUHeaders icu/unicode ${QOR_HOST_ICU_HEADERS})
set(ICU_INCLUDE_DIRS ${QOR_HOST_HEADERS}/icu)
set(ICU_icu-i18n_VERSION 72)

file(GLOB QOR_HOST_OPENSSL_HEADERS /usr/include/openssl/*.h
     /usr/include/*-linux-gnu/openssl/*.h)
qor_host_header_target(OpenSSL::SSL ssl/openssl ${QOR_HOST_OPENSSL_HEADERS})
set_target_properties(OpenSSL::SSL PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${QOR_HOST_HEADERS}/ssl)
add_library(OpenSSL::Crypto INTERFACE IMPORTED GLOBAL)
qor_undefined_by_name(OpenSSL::SSL
  BIO_free BIO_new_bio_pair ERR_clear_error ERR_get_error ERR_reason_error_string SSL_CTX_ctrl
  SSL_CTX_get_verify_callback SSL_CTX_new SSL_CTX_set_default_verify_paths SSL_CTX_set_options
  SSL_CTX_set_verify SSL_ctrl SSL_free SSL_get_ex_data SSL_set_bio SSL_set_ex_data
  TLS_client_method TLS_method TLS_server_method BIO_ctrl BIO_ctrl_pending BIO_read BIO_write
  CRYPTO_free SSL_CTX_free SSL_CTX_get_default_passwd_cb_userdata SSL_CTX_get_ex_data
  SSL_CTX_set_default_passwd_cb_userdata SSL_CTX_set_ex_data SSL_get_ex_data_X509_STORE_CTX_idx
  SSL_get_shutdown SSL_get_verify_mode SSL_new SSL_set_verify X509_STORE_CTX_get_current_cert
  X509_STORE_CTX_get_error_depth X509_STORE_CTX_get_ex_data X509_check_host X509_check_ip_asc
  SSL_read SSL_write SSL_shutdown SSL_get_error SSL_accept SSL_connect)

# @available's test lives in the compiler's Darwin runtime (libclang_rt.osx.a), which Debian's
# clang does not ship; on a Mac the compiler links it in.
add_link_options("LINKER:-U,___isPlatformVersionAtLeast")

# Debian's Boost.Asio predates its detection of std::invoke_result with libc++, whose C++20 mode
# no longer has std::result_of.
set_property(TARGET Boost::headers APPEND PROPERTY
  INTERFACE_COMPILE_DEFINITIONS BOOST_ASIO_HAS_STD_INVOKE_RESULT=1)
