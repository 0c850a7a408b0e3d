# End-to-end tests of the Windows programs under Wine: every test_*_wine.py
# module is one CTest test. They share one Xvfb and one WINEPREFIX, made by
# the wine_env fixture and removed after the last of them, and take turns on
# the one desktop (a probe must never find another test's window); the link
# module makes its own in network namespaces (root only, skipped otherwise)
# and leaves a screenshot of the status window in e2e-artifacts/. Only the
# x86_64 build runs here: 32-bit Windows programs run in the emulated PC of
# scripts/test_win32.sh, which picks some of these modules' cases.
if(WIN32 AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64" AND Python3_Interpreter_FOUND)
  set(kvWineState ${CMAKE_BINARY_DIR}/e2e-wine)
  set(kvWineEnv ${CMAKE_CURRENT_SOURCE_DIR}/wine_env.py)
  add_test(NAME wine_env_setup COMMAND ${Python3_EXECUTABLE} ${kvWineEnv} setup ${kvWineState})
  add_test(NAME wine_env_cleanup COMMAND ${Python3_EXECUTABLE} ${kvWineEnv} cleanup ${kvWineState})
  set_tests_properties(wine_env_setup PROPERTIES FIXTURES_SETUP wine_env TIMEOUT 300)
  set_tests_properties(wine_env_cleanup PROPERTIES FIXTURES_CLEANUP wine_env TIMEOUT 120)

  file(GLOB kvWineModules RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/test_*_wine.py)
  foreach(moduleFile ${kvWineModules})
    string(REGEX REPLACE "\\.py$" "" module ${moduleFile})
    string(REGEX REPLACE "^test_(.*)_wine$" "wine_\\1" testName ${module})
    add_test(NAME ${testName}
             COMMAND ${Python3_EXECUTABLE} -m unittest -v ${module}
             WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    set_tests_properties(${testName} PROPERTIES
      FIXTURES_REQUIRED wine_env
      RESOURCE_LOCK wine_desktop
      TIMEOUT 400
      ENVIRONMENT "KV_BIN_DIR=${CMAKE_BINARY_DIR}/bin;KV_WINE_STATE=${kvWineState};KV_ARTIFACT_DIR=${CMAKE_BINARY_DIR}/e2e-artifacts;PYTHONDONTWRITEBYTECODE=1")
  endforeach()
endif()
