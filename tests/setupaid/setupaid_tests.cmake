# Extra parts of setupaid_tests: a C program that loads libsetupaid.so by name
# as an installer does, the built library and tool, and the stand-in services.
add_executable(setupaid_installer_check ${CMAKE_CURRENT_SOURCE_DIR}/setupaid/installer_check.c)
target_link_libraries(setupaid_installer_check PRIVATE ${CMAKE_DL_LIBS})
lw_harden(setupaid_installer_check)
add_dependencies(setupaid_tests setupaid setupaid-tool setupaid_installer_check)
target_compile_definitions(setupaid_tests PRIVATE
  LW_SETUPAID_LIBRARY="$<TARGET_FILE:setupaid>"
  LW_SETUPAID_TOOL="$<TARGET_FILE:setupaid-tool>"
  LW_SETUPAID_INSTALLER_CHECK="$<TARGET_FILE:setupaid_installer_check>"
  LW_SETUPAID_FAKE_SERVICES="${CMAKE_CURRENT_SOURCE_DIR}/setupaid/fake_system_services.py")
