# The installer's tests under Wine: the install logic on scratch folders, and
# TARNEX_Install.exe itself on an Xvfb display of its own. Only the x86_64
# build registers them, since Wine runs 64-bit programs only here (the i686
# build's run in the emulated PC of scripts/test_win32.sh). Both use one
# WINEPREFIX (KV_INSTALLER_WINEPREFIX, default /tmp/kv-installer-wine), so
# they never run at the same time.
if(WIN32 AND TARGET installer_logic_test AND TARGET installer_probe AND Python3_Interpreter_FOUND)
  add_test(NAME installer_logic
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/installer_wine.py run
                   $<TARGET_FILE:installer_logic_test>)
  add_test(NAME installer_program
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/installer_e2e.py
                   --installer $<TARGET_FILE:TARNEX_Install> --probe $<TARGET_FILE:installer_probe>)
  set_tests_properties(installer_logic installer_program PROPERTIES RESOURCE_LOCK kv_installer_wine TIMEOUT 900)
endif()
