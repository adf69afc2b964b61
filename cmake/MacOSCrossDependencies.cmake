# The dependencies of the macOS cross-build (cmake/macos-cross.cmake), defined under the names the
# native build's find_package and pkg_check_modules give them.
#
# Header-only dependencies come from the host, each through its own folder of links, so that no
# other host header reaches the compile. Everything else the macOS programs use is the SDK's own:
# no symbol is left undefined for a library that a Mac would have to install.
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

qor_host_header_target(Boost::headers boost /usr/include/boost)
qor_host_header_target(nlohmann_json::nlohmann_json nlohmann /usr/include/nlohmann)

# @available's test lives in the compiler's Darwin runtime (libclang_rt.osx.a), which Debian's
# clang does not ship; on a Mac the compiler links it in.
add_link_options("LINKER:-U,___isPlatformVersionAtLeast")

# Debian's Boost.Asio predates its detection of std::invoke_result with libc++, whose C++20 mode
# no longer has std::result_of.
set_property(TARGET Boost::headers APPEND PROPERTY
  INTERFACE_COMPILE_DEFINITIONS BOOST_ASIO_HAS_STD_INVOKE_RESULT=1)
