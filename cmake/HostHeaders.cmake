# The header-only libraries the program uses (nlohmann-json, CLI11), as targets
# nlohmann_json::nlohmann_json and CLI11::CLI11. A cross build cannot put the build machine's
# /usr/include on its include path, so it sees just these two folders through links.
if(CMAKE_CROSSCOMPILING)
    set(_host_headers ${CMAKE_BINARY_DIR}/host-headers)
    file(MAKE_DIRECTORY ${_host_headers})
    foreach(_name CLI nlohmann)
        if(NOT EXISTS /usr/include/${_name})
            message(FATAL_ERROR "/usr/include/${_name} is missing: install libcli11-dev and "
                                "nlohmann-json3-dev")
        endif()
        if(NOT EXISTS ${_host_headers}/${_name})
            file(CREATE_LINK /usr/include/${_name} ${_host_headers}/${_name} SYMBOLIC)
        endif()
    endforeach()
    add_library(flashwell_host_headers INTERFACE)
    target_include_directories(flashwell_host_headers SYSTEM INTERFACE ${_host_headers})
    add_library(nlohmann_json::nlohmann_json ALIAS flashwell_host_headers)
    add_library(CLI11::CLI11 ALIAS flashwell_host_headers)
else()
    find_package(nlohmann_json 3 REQUIRED)
    find_package(CLI11 CONFIG REQUIRED)
endif()
