# Included from server/CMakeLists.txt, so paths are from server/ and the outputs stay there.
# keltup-server.exe and keltup-send.exe: static Windows programs, the relay with its service and
# event log messages, the sender on the tray client's own code.
enable_language(RC)
target_link_libraries(keltup_relay PUBLIC ws2_32 advapi32)

# The event log's message table, from the .mc text by windmc.
find_program(KELTUP_WINDMC NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-windmc windmc REQUIRED)
set(messages_dir ${CMAKE_CURRENT_BINARY_DIR}/generated/server)
add_custom_command(
  OUTPUT ${messages_dir}/keltup-server-messages.h ${messages_dir}/keltup-server-messages.rc
         ${messages_dir}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${messages_dir}
  COMMAND ${KELTUP_WINDMC} -h ${messages_dir} -r ${messages_dir}
          ${CMAKE_CURRENT_SOURCE_DIR}/win32/keltup-server-messages.mc
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win32/keltup-server-messages.mc
  VERBATIM)

add_executable(keltup-server keltup_server_main.cpp win32/serve.cpp win32/control.cpp control_common.cpp
  win32/service.cpp
  ${messages_dir}/keltup-server-messages.rc ${messages_dir}/keltup-server-messages.h)
target_include_directories(keltup-server PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated
                           ${messages_dir})
target_link_libraries(keltup-server PRIVATE keltup_relay advapi32)
# windows.h without its rarely used parts, whose macros (nb30.h's GROUP_NAME) clash with the
# relay's names.
target_compile_definitions(keltup-server PRIVATE WIN32_LEAN_AND_MEAN)
set_target_properties(keltup-server PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/win32)

# keltup-send sends with the tray client's own endpoint and send-with-receipt code: the core
# alone, with an arrivals sink of its own.
add_executable(keltup-send keltup_send_main.cpp)
target_link_libraries(keltup-send PRIVATE keltup_core)
set_target_properties(keltup-send PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/win32)
