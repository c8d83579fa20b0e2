# The Windows relay's own tests, under Wine: keltup-server.exe in a console with test clients,
# keltup-send.exe and keltup.exe. The test program sits beside the programs it starts.
keltup_add_test(server_win32_relay_test win32_relay_test.cpp
  LIBS keltup_relay keltup_win32_driver advapi32)
add_dependencies(server_win32_relay_test keltup-server keltup-send keltup)
set_target_properties(server_win32_relay_test PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/win32)
# keltup.exe is one running copy per desktop: the desktop tests take turns with this one.
set_tests_properties(server_win32_relay_test PROPERTIES RESOURCE_LOCK keltup_win32_desktop)
target_compile_definitions(server_win32_relay_test PRIVATE WIN32_LEAN_AND_MEAN)

# The service: installed, started and stopped through the service control manager. It is the
# one service of its name, as the installer's test installs it too.
keltup_add_test(server_win32_service_test win32_service_test.cpp
  LIBS keltup_relay keltup_win32_driver advapi32)
target_include_directories(server_win32_service_test PRIVATE ${CMAKE_BINARY_DIR}/server/generated)
add_dependencies(server_win32_service_test keltup-server)
target_compile_definitions(server_win32_service_test PRIVATE WIN32_LEAN_AND_MEAN)
set_target_properties(server_win32_service_test PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/win32)
set_tests_properties(server_win32_service_test PROPERTIES RESOURCE_LOCK keltup_relay_service)

# The same relay with the native Linux keltup-send, from the Linux build made before this one
# (scripts/test builds linux-debug first); skipped without it.
set(KELTUP_NATIVE_SEND ${CMAKE_SOURCE_DIR}/build/linux-debug/server/keltup-send
    CACHE FILEPATH "a Linux keltup-send for the Windows relay's tests")
add_test(NAME server_win32_native_send
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/win32_native_send.sh
                 $<TARGET_FILE:keltup-server> ${KELTUP_NATIVE_SEND}
                 ${CMAKE_SOURCE_DIR}/cmake/wine-run)
set_tests_properties(server_win32_native_send PROPERTIES SKIP_RETURN_CODE 77)

# The installer's test puts this in the place of netsh.exe to read back the firewall calls.
add_executable(keltup-record-call ${CMAKE_SOURCE_DIR}/tests/package/record_call.cpp)
target_link_libraries(keltup-record-call PRIVATE keltup_warnings)
set_target_properties(keltup-record-call PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/win32)
