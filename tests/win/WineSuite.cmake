# The Windows code run under wine64 (win64 preset), against virtual
# instruments on this machine's pseudo-terminals:
#   win.wine.start / win.wine.stop  the CTest fixture around everything:
#                    wine-harness.sh makes and ends the prefix, the X display,
#                    the wineserver and the instruments (state in ./wine)
#   win.unit         events, the lock and the device-change window, linked
#                    with the library's units
#   win.api.<Suite>  the DLL as an application uses it (LoadLibrary and
#                    GetProcAddress only), one process per test suite
# Every program runs through CMAKE_CROSSCOMPILING_EMULATOR (wine-run.sh),
# which bounds it; they share the instruments and run one at a time.

# The virtual instrument, built for the host with the host's compiler, unless
# one is named here.
set(ZERVON_HOST_SIM "" CACHE FILEPATH "zervon-sim built for this host (empty: build it here)")
if(ZERVON_HOST_SIM)
  set(_zervon_sim ${ZERVON_HOST_SIM})
else()
  include(ExternalProject)
  set(_zervon_sim ${CMAKE_CURRENT_BINARY_DIR}/hostsim/sim/zervon-sim)
  ExternalProject_Add(zervon_host_sim
    SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/hostsim
    BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/hostsim
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DZERVON_SOURCE_DIR=${PROJECT_SOURCE_DIR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${_zervon_sim})
endif()

# Test programs need no runtime DLL of the compiler's.
add_executable(win_unit_tests WinUnitTest.cpp)
target_link_libraries(win_unit_tests PRIVATE zervon_internal GTest::gtest GTest::gtest_main)
target_include_directories(win_unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(win_unit_tests PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_options(win_unit_tests PRIVATE -static)

# Only the public header, for the records and callback types. The program
# is built next to the DLL, where LoadLibrary finds it.
add_executable(win_api_tests ApiTest.cpp)
target_include_directories(win_api_tests PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(win_api_tests PRIVATE GTest::gtest GTest::gtest_main)
target_link_options(win_api_tests PRIVATE -static)
set_target_properties(win_api_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:zervon>)
add_dependencies(win_api_tests zervon)

add_executable(win_desktop_keeper DesktopKeeper.cpp)
target_link_options(win_desktop_keeper PRIVATE -static)

set(_wine_state ${CMAKE_CURRENT_BINARY_DIR}/wine)
add_test(NAME win.wine.start
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine-harness.sh start ${_wine_state} ${_zervon_sim}
    $<TARGET_FILE:win_desktop_keeper>)
set_tests_properties(win.wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 240 SKIP_RETURN_CODE 77)
add_test(NAME win.wine.stop COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine-harness.sh stop ${_wine_state})
set_tests_properties(win.wine.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120)

function(zervon_add_wine_test name)
  add_test(NAME ${name} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine RESOURCE_LOCK zervon_wine_instruments
    SKIP_RETURN_CODE 77 TIMEOUT 150
    ENVIRONMENT "ZERVON_WINE_STATE=${_wine_state};ZERVON_WINE_TIMEOUT=120")
endfunction()
zervon_add_wine_test(win.unit win_unit_tests)
foreach(suite Library Connect Operation Flash Faults Plugging SilentInstrument)
  zervon_add_wine_test(win.api.${suite} win_api_tests --gtest_filter=${suite}.*)
endforeach()
# The cases that need a silent instrument: under wine a read in which no byte
# arrives never ends on the library's port (see kWineGap in WinApiSupport.h),
# so they skip themselves there, and CTest lists the suite as skipped.
set_tests_properties(win.api.SilentInstrument PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
