# Third-party libraries of the engine, gathered in one interface target.
add_library(corvane_deps INTERFACE)
find_package(Threads REQUIRED)
if(WIN32)
    # Cross build: OpenSSL, curl and the JSON header come from the prefix that scripts/deps.sh fills.
    set(CORVANE_WIN_PREFIX "${CMAKE_SOURCE_DIR}/.deps/win64" CACHE PATH "Windows dependency prefix")
    target_include_directories(corvane_deps INTERFACE "${CORVANE_WIN_PREFIX}/include")
    target_compile_definitions(corvane_deps INTERFACE CURL_STATICLIB WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    target_link_libraries(corvane_deps INTERFACE
        "${CORVANE_WIN_PREFIX}/lib/libcurl.a"
        "${CORVANE_WIN_PREFIX}/lib64/libcrypto.a"
        ws2_32 crypt32 secur32 bcrypt advapi32 user32 shell32 ole32 normaliz iphlpapi
        Threads::Threads)
    target_link_options(corvane_deps INTERFACE -static -static-libgcc -static-libstdc++)
else()
    find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
    find_package(CURL REQUIRED)
    find_package(nlohmann_json 3 REQUIRED)
    target_link_libraries(corvane_deps INTERFACE OpenSSL::Crypto CURL::libcurl nlohmann_json::nlohmann_json Threads::Threads)
endif()
