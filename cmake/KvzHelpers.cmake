# kvz_qt_target(<target>): switch on moc/uic/rcc for one Qt target only, so
# that the Qt-free libraries never go through Qt's generators.
function(kvz_qt_target target)
  set_target_properties(${target} PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
  if(CMAKE_CROSSCOMPILING)
    # The host's rcc compresses with zstd, which a cross-built Qt may lack
    # (the Windows one of scripts/windows-qt does).
    set_property(TARGET ${target} APPEND PROPERTY AUTORCC_OPTIONS --no-zstd)
  endif()
endfunction()

# kvz_add_gtest(<name> SOURCES ... LIBS ... [QT] [FILTER <gtest filter>]): one
# test executable, its cases (those of FILTER, all by default) discovered by
# CTest. QT tests run on the offscreen platform; their
# main() sets that default itself, since discovery runs without ENVIRONMENT.
function(kvz_add_gtest name)
  cmake_parse_arguments(T "QT" "FILTER" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(T_QT)
    kvz_qt_target(${name})
    target_link_libraries(${name} PRIVATE kvz_testsupport_qt kvz_resources)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_compile_definitions(${name} PRIVATE
    KVZ_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KVZ_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(CMAKE_CROSSCOMPILING)
    # The build machine cannot list the cases: one test per executable.
    add_test(NAME ${name} COMMAND ${name})
  else()
    set(_filter)
    if(T_FILTER)
      set(_filter TEST_FILTER ${T_FILTER})
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${_filter}
      PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
  endif()
endfunction()
