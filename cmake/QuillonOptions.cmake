# One interface target carries everything every target of ours shares: the
# language standard, the warnings and Qt's strictness defines. Targets link it
# instead of setting flags per directory.
add_library(quillon_options INTERFACE)
add_library(Quillon::options ALIAS quillon_options)

target_compile_features(quillon_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)

if(MSVC)
    target_compile_options(quillon_options INTERFACE /W4 /utf-8 $<$<BOOL:${QUILLON_WERROR}>:/WX>)
else()
    target_compile_options(quillon_options INTERFACE -Wall -Wextra -Wpedantic
                           $<$<BOOL:${QUILLON_WERROR}>:-Werror>)
endif()

target_compile_definitions(quillon_options INTERFACE
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_FOREACH
    QT_NO_KEYWORDS
    QT_DISABLE_DEPRECATED_UP_TO=0x060400)

if(QUILLON_SANITIZE)
    target_compile_options(quillon_options INTERFACE -fsanitize=address,undefined
                           -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(quillon_options INTERFACE -fsanitize=address,undefined)
endif()

# The version numbers, for code that shows them.
set(QUILLON_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${QUILLON_GENERATED_DIR}/quillon_version.h @ONLY)
target_include_directories(quillon_options INTERFACE ${QUILLON_GENERATED_DIR} ${PROJECT_SOURCE_DIR})

# Product code spells out every conversion between bytes and text; the tests,
# full of literal expectations, may not. Linked PRIVATE so it does not spread.
add_library(quillon_qt_strict INTERFACE)
target_compile_definitions(quillon_qt_strict INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING)

# quillon_windows_manifest(TARGET): gives a Windows executable the manifest
# cmake/windows.manifest. MSVC's linker merges a .manifest source into the
# manifest it writes; with mingw-w64 it is resource 1 of type RT_MANIFEST (24),
# which windres compiles from a one-line resource script.
function(quillon_windows_manifest target)
    set(manifest ${PROJECT_SOURCE_DIR}/cmake/windows.manifest)
    if(MSVC)
        target_sources(${target} PRIVATE ${manifest})
        return()
    endif()
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}-manifest.rc)
    file(CONFIGURE OUTPUT ${script} CONTENT "1 24 \"${manifest}\"\n")
    # CMake sees a resource script's #include lines only.
    set_source_files_properties(${script} PROPERTIES OBJECT_DEPENDS ${manifest})
    target_sources(${target} PRIVATE ${script})
endfunction()
