# The installer's install logic over its in-memory, case-ignoring disk; the
# same file also runs as a Windows program under Wine (installer/CMakeLists.txt).
if(NOT WIN32)  # the Windows build has it in installer_logic_test
  kv_unit_test(install_plan_test ${PROJECT_SOURCE_DIR}/installer/tests/install_plan_test.cpp LIBS kv_installer_logic)
endif()
