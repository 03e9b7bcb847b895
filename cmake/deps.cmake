# Third-party libraries of the engine, gathered in one interface target.
add_library(corvane_deps INTERFACE)
find_package(Threads REQUIRED)
if(WIN32)
    # Cross build: OpenSSL's libcrypto, a static Schannel libcurl, libsecp256k1 and the JSON header
    # come from the prefix that scripts/deps.sh fills.
    set(CORVANE_WIN_PREFIX "${CMAKE_SOURCE_DIR}/.deps/win64" CACHE PATH "Windows dependency prefix")
    foreach(lib libcurl.a libcrypto.a libsecp256k1.a)
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
        "${CORVANE_WIN_PREFIX}/lib/libsecp256k1.a"
        ws2_32 crypt32 secur32 bcrypt advapi32 gdi32 user32 shell32 ole32
        Threads::Threads)
else()
    find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
    find_package(CURL REQUIRED)
    find_package(nlohmann_json 3 REQUIRED)
    # Debian's libsecp256k1-dev, whose headers sit in /usr/include; it is built with the recovery
    # module that the message signatures need.
    find_path(CORVANE_SECP256K1_INCLUDE secp256k1_recovery.h REQUIRED)
    find_library(CORVANE_SECP256K1 secp256k1 REQUIRED)
    target_link_libraries(corvane_deps INTERFACE OpenSSL::Crypto CURL::libcurl nlohmann_json::nlohmann_json
        "${CORVANE_SECP256K1}" Threads::Threads)
endif()
