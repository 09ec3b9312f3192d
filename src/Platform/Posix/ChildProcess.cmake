dravik_test(ChildProcessTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ChildProcessTest.cc
            LIBS DravikPlatformPosix)
