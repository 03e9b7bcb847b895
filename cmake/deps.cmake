# Third-party libraries of the engine, gathered in one interface target.
add_library(corvane_deps INTERFACE)
find_package(Threads REQUIRED)
if(WIN32)
    # Cross build: OpenSSL's libcrypto, a static Schannel libcurl and the JSON header come from the
    # prefix that scripts/deps.sh fills.
    set(CORVANE_WIN_PREFIX "${CMAKE_SOURCE_DIR}/.deps/win64" CACHE PATH "Windows dependency prefix")
    foreach(lib libcurl.a libcrypto.a)
        if(NOT EXISTS "${CORVANE_WIN_PREFIX}/lib/${lib}")
            message(FATAL_ERROR "${CORVANE_WIN_PREFIX}/lib/${lib} is missing: run scripts/deps.sh first")
        endif()
    endforeach()
    target_include_directories(corvane_deps SYSTEM INTERFACE "${CORVANE_WIN_PREFIX}/include")
    target_compile_definitions(corvane_deps INTERFACE CURL_STATICLIB WIN32_LEAN_AND_MEAN NOMINMAX
        _WIN32_WINNT=0x0601)
    # Static archives first, then the system libraries they call: curl (sockets, Schannel
    # certificates, bcrypt random), libcrypto (sockets, CryptoAPI, the window station check), and
    # the platform layer (shell, user, COM).
    target_link_libraries(corvane_deps INTERFACE
        "${CORVANE_WIN_PREFIX}/lib/libcurl.a"
        "${CORVANE_WIN_PREFIX}/lib/libcrypto.a"
        ws2_32 crypt32 secur32 bcrypt advapi32 gdi32 user32 shell32 ole32
        Threads::Threads)
else()
    find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
    find_package(CURL REQUIRED)
    find_package(nlohmann_json 3 REQUIRED)
    target_link_libraries(corvane_deps INTERFACE OpenSSL::Crypto CURL::libcurl nlohmann_json::nlohmann_json
        Threads::Threads)
endif()
