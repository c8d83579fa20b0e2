# The Windows relay's own tests, under Wine: keltup-server.exe in a console with test clients,
# keltup-send.exe and keltup.exe. The test program sits beside the programs it starts.
keltup_add_test(server_win32_relay_test win32_relay_test.cpp
  LIBS keltup_relay keltup_win32_driver advapi32)
add_dependencies(server_win32_relay_test keltup-server keltup-send keltup)
set_target_properties(server_win32_relay_test PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/win32)
# keltup.exe is one running copy per desktop: the desktop tests take turns with this one.
set_tests_properties(server_win32_relay_test PROPERTIES RESOURCE_LOCK keltup_win32_desktop)
