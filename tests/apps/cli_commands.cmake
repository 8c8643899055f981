# The bus commands of busprobe-cli: in this process against the simulated
# station on pseudo-terminals, and the real programs as child processes.
busprobe_add_test(test_cli_commands
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/cli_commands_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/cli_binary_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/cli_tcp_test.cpp
  LIBS busprobe_cli_lib busprobe_sim
  LABELS threaded)
target_compile_definitions(test_cli_commands PRIVATE
  BUSPROBE_CLI_PATH="$<TARGET_FILE:busprobe-cli>"
  BUSPROBE_SIM_PATH="$<TARGET_FILE:busprobe-sim>")
add_dependencies(test_cli_commands busprobe-cli busprobe-sim)
